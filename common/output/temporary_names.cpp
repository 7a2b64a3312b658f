// The handler that removes named temporary files before a signal ends the run. The
// signals are caught only once a name exists, and only where their default action stands.
#include "common/output/output_ways.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <linux/limits.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace suite::output {
namespace {

// A slot is filled before it is armed, so the handler never sees half a name.
struct pending_name {
    int folder = -1;
    int content = -1;   // emptied where the name cannot go
    char name[NAME_MAX + 1] = {};
    dev_t device = 0;
    ino_t inode = 0;
    volatile std::sig_atomic_t armed = 0;
};
pending_name pending_names[4];

// Every signal whose default action ends the process, but those in `kept`.
sigset_t terminating_signals_but(std::initializer_list<int> kept) {
    sigset_t set;
    sigfillset(&set);
    for (const int other : {SIGKILL, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT, SIGCHLD, SIGURG, SIGWINCH})
        sigdelset(&set, other);
    for (const int signal : kept)
        sigdelset(&set, signal);
    return set;
}
const sigset_t kTerminating = terminating_signals_but({});

void remove_pending_names(int signal) {
    for (const pending_name& pending : pending_names) {
        struct stat there {};
        if (pending.armed && fstatat(pending.folder, pending.name, &there, AT_SYMLINK_NOFOLLOW) == 0 &&
            there.st_dev == pending.device && there.st_ino == pending.inode &&
            unlinkat(pending.folder, pending.name, 0) != 0)
            ftruncate(pending.content, 0);
    }
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    raise(signal);   // delivered once the handler returns, so the status tells the signal
}

// Only where the default action stands: an ignored signal stays ignored, and a handler
// someone else set (a sanitizer's, a sandbox's) stays theirs.
void catch_signals_once() {
    static bool caught = false;
    if (std::exchange(caught, true))
        return;
    struct sigaction action {};
    action.sa_handler = remove_pending_names;
    action.sa_mask = kTerminating;
    for (int signal = 1; signal <= SIGRTMAX; ++signal) {
        struct sigaction old {};
        if (sigismember(&kTerminating, signal) == 1 && sigaction(signal, nullptr, &old) == 0 &&
            old.sa_handler == SIG_DFL && !(old.sa_flags & SA_SIGINFO))
            sigaction(signal, &action, nullptr);
    }
}

}  // namespace

// The terminating signals another process or the kernel's timers send, which may wait.
// The synchronous ones never do: the kernel ends a process that raises one it holds, and
// a sandbox serves its calls by SIGSYS.
const sigset_t kAsynchronous = terminating_signals_but({SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS, SIGABRT});

int remember_temporary(int folder, const char* name, int content, const file_info& holds) {
    catch_signals_once();
    for (pending_name& pending : pending_names) {
        if (pending.armed || std::strlen(name) >= sizeof pending.name)
            continue;
        std::strcpy(pending.name, name);
        pending.folder = folder;
        pending.content = content;
        pending.device = holds.device;
        pending.inode = holds.inode;
        pending.armed = 1;
        return static_cast<int>(&pending - pending_names);
    }
    return -1;
}

void forget_temporary(int slot) {
    if (slot >= 0)
        pending_names[slot].armed = 0;
}

}  // namespace suite::output
