// The file system calls the output layer makes: the seam. Most return 0 or an error
// number; start_writeback returns nothing (a hint) and keeps_set_id_bits a yes or no.
// Each passes through one hook, hook(): the programs leave it as it is, and a test
// overrides it to fail, watch or alter a call, or to change the world between two calls.
// Not here: the signal handler's calls (temporary_names.cpp), which may call no hook;
// getrandom and the signal mask's, which cannot fail a run; and close, since Linux
// releases a descriptor whatever close says.
#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace suite {

// What the layer asks of a file: which one it is, its type, owner and permissions.
struct file_info {
    dev_t device = 0;
    ino_t inode = 0;
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    off_t size = 0;
    bool mount_root = false;    // the root of a mount, such as a file bound onto another
    bool fixed_names = false;   // append-only or immutable: no name made in it can go again
};

inline bool same_file(const file_info& a, const file_info& b) {
    return a.device == b.device && a.inode == b.inode;
}

// The call `what` concerning `name`, whose success the expression tells; its error is errno's.
#define SUITE_MADE(what, name, ...) hook({#what, name}, [&] { return (__VA_ARGS__) ? 0 : errno; })

class os {
  public:
    virtual ~os() = default;

    // openat: a new descriptor in `fd`.
    int open(int folder, const char* path, int flags, mode_t mode, int& fd) {
        return SUITE_MADE(open, path, (fd = ::openat(folder, path, flags, mode)) >= 0);
    }
    // An unnamed file in the folder `path` of `folder`, opened with `flags` and O_TMPFILE.
    int open_unnamed(int folder, const char* path, int flags, mode_t mode, int& fd) {
        return SUITE_MADE(open_unnamed, path, (fd = ::openat(folder, path, flags | O_TMPFILE, mode)) >= 0);
    }
    // An unnamed file in memory, read-write.
    int memory_file(int& fd) {
        return SUITE_MADE(memory_file, "", (fd = ::memfd_create("output", MFD_CLOEXEC)) >= 0);
    }
    // statx of `path` in `folder`, or of `folder` itself when `path` is "".
    int stat(int folder, const char* path, bool follow, file_info& info);
    int read_link(int folder, const char* path, std::string& text);
    // The whole of `size` bytes, at the descriptor's offset or at `at`.
    int write(int fd, const char* data, std::size_t size);
    int write_at(int fd, const char* data, std::size_t size, off_t at);
    // Up to `size` bytes at `at`; `got` is 0 at the end of the file.
    int read_at(int fd, char* data, std::size_t size, off_t at, std::size_t& got);
    // Starts writing back the file's dirty pages: a hint, whose failure costs only time.
    void start_writeback(int fd) {
        SUITE_MADE(start_writeback, "", ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE) == 0);
    }
    // Disk space for `size` bytes from `at`, the file's size unchanged.
    int reserve(int fd, off_t at, off_t size) {
        return SUITE_MADE(reserve, "", ::fallocate(fd, FALLOC_FL_KEEP_SIZE, at, size) == 0);
    }
    int truncate(int fd, off_t size) { return SUITE_MADE(truncate, "", ::ftruncate(fd, size) == 0); }
    int sync(int fd) { return SUITE_MADE(sync, "", ::fsync(fd) == 0); }
    // Every file of the file system that holds `fd`.
    int sync_file_system(int fd) { return SUITE_MADE(sync_file_system, "", ::syncfs(fd) == 0); }
    // A name in `folder` for the open file `fd`, which may have none yet.
    int link(int fd, int folder, const char* name);
    // renameat2, with RENAME_NOREPLACE, RENAME_EXCHANGE or no flag.
    int rename(int folder, const char* from, const char* to, unsigned flags) {
        return hook({"rename", to, flags},
                    [&] { return ::renameat2(folder, from, folder, to, flags) == 0 ? 0 : errno; });
    }
    int unlink(int folder, const char* name) { return SUITE_MADE(unlink, name, ::unlinkat(folder, name, 0) == 0); }
    int change_owner(int fd, uid_t owner, gid_t group) {
        return SUITE_MADE(change_owner, "", ::fchown(fd, owner, group) == 0);
    }
    int change_mode(int fd, mode_t mode) { return SUITE_MADE(change_mode, "", ::fchmod(fd, mode) == 0); }
    // The inode flags lsattr shows.
    int get_flags(int fd, unsigned& flags) {
        return SUITE_MADE(get_flags, "", ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0);
    }
    int set_flags(int fd, unsigned flags) {
        return SUITE_MADE(set_flags, "", ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    }
    // Extended attributes: names each ended by a zero byte, and values.
    int list_attributes(int fd, std::string& names);
    int get_attribute(int fd, const char* name, std::string& value);
    int set_attribute(int fd, const char* name, const std::string& value) {
        return SUITE_MADE(set_attribute, name, ::fsetxattr(fd, name, value.data(), value.size(), 0) == 0);
    }
    int remove_attribute(int fd, const char* name) {
        return SUITE_MADE(remove_attribute, name, ::fremovexattr(fd, name) == 0);
    }
    // A copy of the descriptor, above the standard ones, closed on exec.
    int duplicate(int fd, int& copy) {
        return SUITE_MADE(duplicate, "", (copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3)) >= 0);
    }
    // The installs' lock on `fd`'s file, held until it is closed: waits only while another
    // install holds it, never for another program's lock (EAGAIN, and no lock).
    int lock(int fd);
    // Whether this process keeps set-id bits when it writes a file (CAP_FSETID).
    bool keeps_set_id_bits();

  protected:
    // One call as the hook sees it: what it is, the name it concerns ("" for none), and
    // the answer it gives, where a test may alter it after the real call.
    struct call_view {
        std::string_view what;        // the call's name: "open", "rename"...
        const char* name = "";
        unsigned flags = 0;           // rename's
        file_info* info = nullptr;    // stat
        std::string* text = nullptr;  // read_link, list_attributes, get_attribute
    };
    // Every call comes here; `real` makes it. A test overrides this alone.
    virtual int hook(const call_view& /*view*/, const std::function<int()>& real) { return real(); }
};

// The operating system itself.
os& system_os();

}  // namespace suite
