// Inside the output layer: one output as the kernel resolved it (resolve.cpp), and the
// three ways it is written, each with its own state (replace_beside.cpp, copy_over.cpp;
// write through needs none).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <variant>

#include "common/outcome.h"
#include "common/output/os.h"

namespace suite::output {

// A descriptor closed when it goes.
class descriptor {
  public:
    explicit descriptor(int fd = -1) : fd_(fd) {}
    descriptor(descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    descriptor& operator=(descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    int& out() { return fd_; }   // for a call that opens into it, while it holds none

  private:
    int fd_;
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

// Written straight into target::file, at its offset.
struct through {};

// A new file in the target's folder, swapped in by one rename.
struct beside {
    descriptor content;
    file_info content_info;       // which file the content is, to know it by
    std::string temporary;        // its name in the folder, while it has one
    int slot = -1;                // where a signal finds that name
    descriptor folder_to_sync;    // opened when prepared
};

// The content in a private file, then copied over the target.
struct over {
    descriptor content;
    std::string place;   // the folder it waits in; "" beside the target or in memory
};

using way = std::variant<through, beside, over>;

// Follows the path, opens the target as `>` would and decides the way, once.
int resolve(target& t, const std::string& path, way& how);
// Whether `name` in the target's folder holds `file`: 0, kChangedDuringRun for another
// file, or the look's error (ENOENT for none).
int holds(target& t, const std::string& name, const file_info& file);

// Each way's steps: open makes what the stream writes to; prepare makes the content
// whole on disk; install puts it in place. Each returns 0 or the error number, and
// install says in `result` what the output holds after a failure and what it left.
int open_beside(target& t, beside& b);
int prepare_beside(target& t, beside& b);
int install_beside(target& t, beside& b, outcome& result);
// Removes the content's name where it still holds the content; a name the folder keeps
// (append-only) is emptied and named in `result`.
void drop_beside(target& t, beside& b, outcome& result);
// Whether a rename's error says the kernel will not rename over this target at all.
bool rename_refused(int error);

int open_over(target& t, over& o);
// The content of `content` copied over the target, creating it for a new output.
// The content may move to memory on the way.
int install_over(target& t, descriptor& content, outcome& result);

// Named temporary files (temporary_names.cpp), which a signal that ends the run removes
// first. The asynchronous signals are held back while a name is made, swapped or removed
// and registered or forgotten with it; the synchronous ones are never held, since the
// kernel ends a process that raises one it holds.
class signals_held {
  public:
    signals_held();
    ~signals_held();
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;

  private:
    sigset_t before_;
};
// Registers `name` in `folder`, which stays open while it is registered, as holding the
// file `holds`, open as `content`: the slot to forget it by, or -1 when none is free. The
// clean-up removes the name only while it holds that file, and empties the file where
// the name cannot go.
int remember_temporary(int folder, const char* name, int content, const file_info& holds);
void forget_temporary(int slot);

}  // namespace suite::output
