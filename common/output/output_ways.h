// Inside the output layer: one output as the kernel resolved it, and the three ways it is
// written (write_through.cpp, replace_beside.cpp, copy_over.cpp).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
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
    bool exists = false;
    bool through_descriptor = false;   // the path's last part names a descriptor
    descriptor file;                   // the target opened to write; none while it does not exist
    file_info info;                    // the target, while it exists
    descriptor folder;                 // the folder whose entry `name` is the target (O_PATH)
    std::string name;
    file_info folder_info;
    descriptor content;                // the new content, where it is not written into the target
    file_info content_info;            // once prepared
    // Copy over: where the content waits, blamed when it fills; "" beside the target or in memory.
    std::string content_place;
    bool reserved = false;             // copy over: the space for the content is taken
    descriptor folder_to_sync;         // replace beside: opened before the swap
    std::string temporary;             // replace beside: the content's name in the folder, if it has one
    int slot = -1;                     // where a signal finds that name
    // A file the install left beside the target: what stood there before (left_error, if
    // any, says why it was not removed), or a file another process put on the content's name.
    std::string left_behind;
    int left_error = 0;
    bool left_foreign = false;

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
int open_over(target& t);
int prepare_over(target& t);
int install_over(target& t);
// Whether an error from the rename that would install says the kernel refuses to rename
// over this target at all: it is then copied over.
bool rename_refused(int error);
// 0 while the target's name stands for the file first opened; kChangedDuringRun once
// another process pointed it elsewhere.
int stands_as_opened(target& t);

// Named temporary files (temporary_names.cpp), which a signal that ends the run removes
// first. The asynchronous signals are held back while a name is made or removed and
// registered or forgotten with it; the synchronous ones are never held, since the kernel
// ends a process that raises one it holds.
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
// file `holds`: the slot to forget it by, or -1 when none is free. The clean-up removes
// the name only while it holds that file.
int remember_temporary(int folder, const char* name, const file_info& holds);
void forget_temporary(int slot);

}  // namespace suite::output
