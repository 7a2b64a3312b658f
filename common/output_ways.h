// Inside the output layer: the target as classified once, and the three ways an output
// is written (write_through.cpp, replace_beside.cpp, copy_over.cpp).
#pragma once

#include <signal.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>

#include "common/os.h"

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

// What the stream's writes reach: the descriptor, and the first error they met.
struct sink {
    os* sys = nullptr;
    int fd = -1;
    int error = 0;
    bool early_writeback = false;   // a new file, whose finished stretches go to disk early
    off_t written = 0;
    off_t handed_to_disk = 0;
};

enum class way { write_through, replace_beside, copy_over };

// The output as the kernel resolved its path.
struct target {
    way how = way::replace_beside;
    descriptor file;     // the target opened to write; none while it does not exist
    descriptor folder;   // replace_beside: the folder whose entry `name` is the target
    std::string name;
    file_info info;      // the target, or its folder while it does not exist
    bool exists = false;
};

// One way of writing, once the sink points at what the stream writes to. prepare() does
// everything that can fail before the target is touched; install() puts the content in
// place. The destructor drops whatever was not installed.
class writer {
  public:
    virtual ~writer() = default;
    virtual int prepare() = 0;
    virtual int install() = 0;
};

using writer_ptr = std::unique_ptr<writer>;

// Each points the sink at a descriptor and sets `out`, then returns 0; or returns the
// error number. The writer keeps a reference to the target.
int write_through(os& sys, target& t, sink& s, writer_ptr& out);
int replace_beside(os& sys, target& t, sink& s, writer_ptr& out);
// `blamed` becomes the temporary folder when no private file could be had there.
int copy_over(os& sys, target& t, sink& s, writer_ptr& out, std::string& blamed);

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
