// Inside the output layer: one output as the kernel resolved it (resolve.cpp), and the
// three ways it is written, each with its own state and steps (here for write through,
// replace_beside.cpp, copy_over.cpp).
#pragma once

#include <signal.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <variant>

#include "common/outcome.h"
#include "common/output/os.h"

namespace suite::output {

// A descriptor closed when it goes.
struct descriptor {
    int fd = -1;
    explicit descriptor(int fd = -1) : fd(fd) {}
    descriptor(descriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    descriptor& operator=(descriptor&& other) noexcept {
        std::swap(fd, other.fd);
        return *this;
    }
    ~descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

// The target as the kernel opened it: fixed at open for the whole run.
struct target {
    explicit target(os& sys) : sys(sys) {}
    os& sys;
    bool exists = false;   // the name stood for a file at open
    descriptor file;       // that file opened to write; for a new one, only once a copy over creates it
    file_info info;        // the file `file` holds
    descriptor folder;     // the folder whose entry `name` is the target (O_PATH)
    std::string name;
    file_info folder_info;
};

// Whether `name` in the target's folder holds `file`: 0, kChangedDuringRun for another
// file, or the look's error (ENOENT for none).
int holds(target& t, const std::string& name, const file_info& file);

// Each way's steps: open makes what the stream writes to, and write takes the stream's
// bytes; prepare makes the content whole on disk; install puts it in place. Each returns
// 0 or the error number, and install says in `result` what the output holds after a
// failure and what it left.

// Written straight into target::file, at its offset.
struct through {};
inline int open_way(target&, through&) { return 0; }
inline int write_way(target& t, through&, const char* data, std::size_t size) {
    return t.sys.write(t.file.fd, data, size);
}
inline int prepare_way(target&, through&) { return 0; }
inline int install_way(target&, through&, outcome&) { return 0; }

// A new file in the target's folder, swapped in by one rename.
struct beside {
    descriptor content;
    file_info content_info;       // which file the content is, to know it by
    std::string temporary;        // its name in the folder, while it has one
    int slot = -1;                // where a signal finds that name
    descriptor folder_to_sync;    // opened when prepared
    off_t unsent = 0;             // bytes written since the disk was last started on them
};
int open_way(target& t, beside& b);
int write_way(target& t, beside& b, const char* data, std::size_t size);
int prepare_way(target& t, beside& b);
int install_way(target& t, beside& b, outcome& result);
// Removes the content's name where it still holds the content; a name the folder keeps
// (append-only) is emptied and named in `result`.
void drop_beside(target& t, beside& b, outcome& result);
// Whether a rename's error says the kernel will not rename over this target at all.
bool rename_refused(int error);

// The content in a private file, then copied over the target.
struct over {
    descriptor content;
    std::string place;       // the folder it waits in; "" beside the target or in memory
    bool to_blame = false;   // that folder has no room for it, or takes no such file
};
int open_way(target& t, over& o);
int write_way(target& t, over& o, const char* data, std::size_t size);
inline int prepare_way(target&, over&) { return 0; }
// The content of `content` copied over the target, creating it for a new output. The
// content may move to memory on the way.
int install_over(target& t, descriptor& content, outcome& result);
inline int install_way(target& t, over& o, outcome& result) { return install_over(t, o.content, result); }

using way = std::variant<through, beside, over>;
// Follows the path, opens the target as `>` would and decides the way, once.
int resolve(target& t, const std::string& path, way& how);

// Named temporary files (temporary_names.cpp), which a signal that ends the run removes
// first. The asynchronous signals are held back while a name is made, swapped or removed
// and registered or forgotten with it; the synchronous ones are never held, since the
// kernel ends a process that raises one it holds.
extern const sigset_t kAsynchronous;
struct signals_held {
    sigset_t before;
    signals_held() { sigprocmask(SIG_BLOCK, &kAsynchronous, &before); }
    ~signals_held() { sigprocmask(SIG_SETMASK, &before, nullptr); }
};
// Registers `name` in `folder`, which stays open while it is registered, as holding the
// file `holds`, open as `content`: the slot to forget it by, or -1 when none is free. The
// clean-up removes the name only while it holds that file, and empties the file where
// the name cannot go.
int remember_temporary(int folder, const char* name, int content, const file_info& holds);
void forget_temporary(int slot);

}  // namespace suite::output
