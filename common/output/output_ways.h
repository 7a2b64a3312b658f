// Inside the output layer: one output as classified once, and the three ways it is
// written (write_through.cpp, replace_beside.cpp, copy_over.cpp).
#pragma once

#include <signal.h>
#include <unistd.h>

#include <string>
#include <utility>

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

enum class way { write_through, replace_beside, copy_over };

// One output's target as the kernel resolved it, and what the way chosen for it holds.
struct target {
    explicit target(os& sys) : sys(sys) {}
    os& sys;
    way how = way::replace_beside;
    descriptor file;         // the target opened to write; none while it does not exist
    descriptor folder;       // the folder whose entry `name` is the target
    std::string name;
    file_info info;          // the target, or its folder while it does not exist
    bool exists = false;
    descriptor content;      // the new content, where it is not written into the target
    std::string temporary;   // replace beside: the content's name in the folder, if it has one
    int slot = -1;           // where a signal finds that name

    // What the stream writes to: the target itself when written through, else the content.
    int stream_fd() const { return how == way::write_through ? file.get() : content.get(); }
};

// Each way: open makes what the stream writes to; prepare does everything that can fail
// before the target changes; install puts the content in place. Each returns 0 or the
// error number.
int open_descriptor_path(target& t, const std::string& path, pid_t process, int fd);
int open_beside(target& t);
int prepare_beside(target& t);
int install_beside(target& t);
void drop_beside(target& t);   // removes the content's name, where it was not installed
// `blamed` becomes the temporary folder when no private file could be had there.
int open_over(target& t, std::string& blamed);
int prepare_over(target& t);
int install_over(target& t);

// Named temporary files (temporary_names.cpp), which a signal that ends the run removes
// first. The signals are held back while a name is made or removed and registered or
// forgotten with it.
class terminating_signals_held {
  public:
    terminating_signals_held();
    ~terminating_signals_held();
    terminating_signals_held(const terminating_signals_held&) = delete;
    terminating_signals_held& operator=(const terminating_signals_held&) = delete;

  private:
    sigset_t before_;
};
// Registers `name` in `folder`, which stays open while it is registered: the slot to
// forget it by, or -1 when none is free.
int remember_temporary(int folder, const char* name);
void forget_temporary(int slot);

}  // namespace suite::output
