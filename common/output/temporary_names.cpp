// The handler that removes named temporary files before a signal ends the run. Only file
// systems without unnamed files make such names, so the signals are caught only once one
// exists.
#include "common/output/output_ways.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <iterator>
#include <utility>

namespace suite::output {
namespace {

// A slot is filled before it is armed, so the handler never sees half a name.
struct pending_name {
    int folder = -1;
    char name[32] = {};
    volatile std::sig_atomic_t armed = 0;
};
pending_name pending_names[4];

// Every signal whose default action ends the process: all but these.
sigset_t terminating_signals() {
    sigset_t set;
    sigfillset(&set);
    for (const int other : {SIGKILL, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT, SIGCHLD, SIGURG, SIGWINCH})
        sigdelset(&set, other);
    return set;
}
const sigset_t kTerminating = terminating_signals();

void remove_pending_names(int signal) {
    for (const pending_name& pending : pending_names)
        if (pending.armed)
            unlinkat(pending.folder, pending.name, 0);
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    raise(signal);   // delivered once the handler returns, so the status tells the signal
}

// Only where the default action stands: an ignored signal stays ignored, and a handler
// someone else set (a sanitizer's, say) stays theirs.
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

terminating_signals_held::terminating_signals_held() {
    sigprocmask(SIG_BLOCK, &kTerminating, &before_);
}

terminating_signals_held::~terminating_signals_held() {
    sigprocmask(SIG_SETMASK, &before_, nullptr);
}

int remember_temporary(int folder, const char* name) {
    catch_signals_once();
    for (pending_name& pending : pending_names) {
        if (pending.armed || std::strlen(name) >= sizeof pending.name)
            continue;
        std::strcpy(pending.name, name);
        pending.folder = folder;
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
