// The calls the output layer makes to the operating system, each returning 0 or an
// error number. The programs use this class as it is; a test derives from it to fail any
// call or to change the world between two calls. close is not among them: Linux releases
// a descriptor whatever close says, so it cannot fail a run.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

namespace suite {

// What the layer asks of a file: which one it is, its type, owner and permissions.
struct file_info {
    dev_t device = 0;
    ino_t inode = 0;
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    off_t size = 0;
    bool mount_root = false;   // the root of a mount, such as a file bound onto another
};

inline bool same_file(const file_info& a, const file_info& b) {
    return a.device == b.device && a.inode == b.inode;
}

class os {
  public:
    virtual ~os() = default;
    // openat: a new descriptor in `fd`.
    virtual int open(int folder, const char* path, int flags, mode_t mode, int& fd) {
        return result((fd = ::openat(folder, path, flags, mode)) >= 0);
    }
    // statx of `path` in `folder`, or of `folder` itself when `path` is "".
    virtual int stat(int folder, const char* path, bool follow, file_info& info);
    virtual int read_link(int folder, const char* path, std::string& text);
    // The whole of `size` bytes at `at`, or at the descriptor's offset when `at` < 0.
    virtual int write(int fd, const char* data, std::size_t size, off_t at);
    // Up to `size` bytes at `at`; `got` is 0 at the end of the file.
    virtual int read(int fd, char* data, std::size_t size, off_t at, std::size_t& got);
    // Starts writing back a stretch of the file: a hint, whose failure costs only time.
    virtual void start_writeback(int fd, off_t at, off_t size) {
        ::sync_file_range(fd, at, size, SYNC_FILE_RANGE_WRITE);
    }
    // Disk space for `size` bytes, the file's size unchanged.
    virtual int reserve(int fd, off_t size) { return result(::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0); }
    virtual int truncate(int fd, off_t size) { return result(::ftruncate(fd, size) == 0); }
    // fsync, or syncfs of the file system that holds the file.
    virtual int sync(int fd, bool whole_file_system = false) {
        return result((whole_file_system ? ::syncfs(fd) : ::fsync(fd)) == 0);
    }
    // A name in `folder` for the open file `fd`, which may have none yet.
    virtual int link(int fd, int folder, const char* name);
    // renameat2, with RENAME_NOREPLACE, RENAME_EXCHANGE or no flag.
    virtual int rename(int folder, const char* from, const char* to, unsigned flags) {
        return result(::renameat2(folder, from, folder, to, flags) == 0);
    }
    virtual int unlink(int folder, const char* name) { return result(::unlinkat(folder, name, 0) == 0); }
    virtual int change_owner(int fd, uid_t owner, gid_t group) { return result(::fchown(fd, owner, group) == 0); }
    virtual int change_mode(int fd, mode_t mode) { return result(::fchmod(fd, mode) == 0); }
    // Extended attributes: names each ended by a zero byte, and values.
    virtual int list_attributes(int fd, std::string& names);
    virtual int get_attribute(int fd, const char* name, std::string& value);
    virtual int set_attribute(int fd, const char* name, const std::string& value) {
        return result(::fsetxattr(fd, name, value.data(), value.size(), 0) == 0);
    }
    virtual int remove_attribute(int fd, const char* name) { return result(::fremovexattr(fd, name) == 0); }
    // fcntl with F_GETFL, F_SETFL or F_DUPFD_CLOEXEC: the flags or the copy in `answer`.
    virtual int control(int fd, int command, int argument, int& answer) {
        return result((answer = ::fcntl(fd, command, argument)) >= 0);
    }
    // An unnamed file in memory, read-write.
    virtual int memory_file(int& fd) { return result((fd = ::memfd_create("output", MFD_CLOEXEC)) >= 0); }
    // Whether this process keeps set-id bits when it writes a file (CAP_FSETID).
    virtual bool keeps_set_id_bits();

  protected:
    static int result(bool ok) { return ok ? 0 : errno; }
};

// The operating system itself.
os& system_os();

}  // namespace suite
