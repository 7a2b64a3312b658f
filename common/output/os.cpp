// The output layer's calls, made to Linux, each through the hook.
#include "common/output/os.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <linux/limits.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <iterator>
#include <limits>

namespace suite {
namespace {

// An attribute's value or the list of names: neither is ever longer than this.
template <typename Get>
int fetch(std::string& out, Get get) {
    out.resize(XATTR_SIZE_MAX);
    const ssize_t size = get(out.data(), out.size());
    out.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
    return size < 0 ? errno : 0;
}

// Every byte, at the offset or at `at` when it is not negative, through interruptions.
int write_whole(int fd, const char* data, std::size_t size, off_t at) {
    while (size > 0) {
        const ssize_t put = at < 0 ? ::write(fd, data, size) : ::pwrite(fd, data, size, at);
        if (put <= 0 && !(put < 0 && errno == EINTR))
            return put < 0 ? errno : EIO;
        const std::size_t done = put < 0 ? 0 : static_cast<std::size_t>(put);
        data += done;
        size -= done;
        at += at < 0 ? 0 : static_cast<off_t>(done);
    }
    return 0;
}

// The installs' lock: an OFD write lock on one byte that no file reaches, so that only a
// lock over the whole file (fcntl's or lockf's to its end, an OFD lock) could meet it.
// It is told apart from those by its exact place, and waited for alone: an install
// holds it for a rename and a sync, so a holder stuck past the tries is let be.
constexpr off_t kInstallLockByte = std::numeric_limits<off_t>::max();
constexpr int kLockTries = 1000;
constexpr long kLockPause = 10'000'000;   // 10 ms

struct flock install_lock() {
    struct flock byte {};
    byte.l_type = F_WRLCK;
    byte.l_whence = SEEK_SET;
    byte.l_start = kInstallLockByte;
    byte.l_len = 1;
    return byte;
}

bool is_install_lock(const struct flock& held) {
    return held.l_type == F_WRLCK && held.l_pid == -1 && held.l_start == kInstallLockByte && held.l_len == 1;
}

}  // namespace

const char* call_name(call what) {
#define SUITE_OS_CALL_NAME(name) #name,
    static const char* const kNames[] = {SUITE_OS_CALLS(SUITE_OS_CALL_NAME)};
#undef SUITE_OS_CALL_NAME
    static_assert(std::size(kNames) == kCallCount);
    return kNames[static_cast<int>(what)];
}

int os::made(call what, const char* name, const std::function<bool()>& call) {
    return hook({what, name}, [&] { return call() ? 0 : errno; });
}

int os::open(int folder, const char* path, int flags, mode_t mode, int& fd) {
    return made(call::open, path, [&] { return (fd = ::openat(folder, path, flags, mode)) >= 0; });
}

int os::open_unnamed(int folder, const char* path, int flags, mode_t mode, int& fd) {
    return made(call::open_unnamed, path, [&] { return (fd = ::openat(folder, path, flags | O_TMPFILE, mode)) >= 0; });
}

int os::memory_file(int& fd) {
    return made(call::memory_file, "", [&] { return (fd = ::memfd_create("output", MFD_CLOEXEC)) >= 0; });
}

int os::stat(int folder, const char* path, bool follow, file_info& info) {
    return hook({call::stat, path, 0, &info}, [&] {
        struct statx x {};
        const int flags = (*path == '\0' ? AT_EMPTY_PATH : 0) | (follow ? 0 : AT_SYMLINK_NOFOLLOW);
        if (::statx(folder, path, flags, STATX_BASIC_STATS, &x) != 0)
            return errno;
        info = {makedev(x.stx_dev_major, x.stx_dev_minor), x.stx_ino, x.stx_mode, x.stx_uid, x.stx_gid,
                static_cast<off_t>(x.stx_size), (x.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0,
                (x.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0};
        return 0;
    });
}

int os::read_link(int folder, const char* path, std::string& text) {
    return hook({call::read_link, path, 0, nullptr, &text}, [&] {
        text.resize(PATH_MAX);
        const ssize_t size = ::readlinkat(folder, path, text.data(), text.size());
        text.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
        return size < 0 ? errno : text.size() == PATH_MAX ? ENAMETOOLONG : 0;
    });
}

int os::write(int fd, const char* data, std::size_t size) {
    return hook({call::write}, [&] { return write_whole(fd, data, size, -1); });
}

int os::write_at(int fd, const char* data, std::size_t size, off_t at) {
    return hook({call::write_at}, [&] { return write_whole(fd, data, size, at); });
}

int os::read_at(int fd, char* data, std::size_t size, off_t at, std::size_t& got) {
    // A private file is read from a disk or memory, which no signal interrupts.
    return hook({call::read_at}, [&] {
        const ssize_t taken = ::pread(fd, data, size, at);
        got = taken < 0 ? 0 : static_cast<std::size_t>(taken);
        return taken >= 0 ? 0 : errno;
    });
}

void os::start_writeback(int fd, off_t at, off_t size) {
    made(call::start_writeback, "", [&] { return ::sync_file_range(fd, at, size, SYNC_FILE_RANGE_WRITE) == 0; });
}

int os::reserve(int fd, off_t at, off_t size) {
    return made(call::reserve, "", [&] { return ::fallocate(fd, FALLOC_FL_KEEP_SIZE, at, size) == 0; });
}

int os::truncate(int fd, off_t size) { return made(call::truncate, "", [&] { return ::ftruncate(fd, size) == 0; }); }

int os::sync(int fd) { return made(call::sync, "", [&] { return ::fsync(fd) == 0; }); }

int os::sync_file_system(int fd) { return made(call::sync_file_system, "", [&] { return ::syncfs(fd) == 0; }); }

int os::link(int fd, int folder, const char* name) {
    return hook({call::link, name}, [&] {
        const std::string proc = "/proc/self/fd/" + std::to_string(fd);
        if (::linkat(AT_FDCWD, proc.c_str(), folder, name, AT_SYMLINK_FOLLOW) == 0)
            return 0;
        // Without /proc, the descriptor itself, which needs more privilege.
        return errno != ENOENT ? errno : ::linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0 ? 0 : errno;
    });
}

int os::rename(int folder, const char* from, const char* to, unsigned flags) {
    return hook({call::rename, to, flags}, [&] { return ::renameat2(folder, from, folder, to, flags) == 0 ? 0 : errno; });
}

int os::unlink(int folder, const char* name) {
    return made(call::unlink, name, [&] { return ::unlinkat(folder, name, 0) == 0; });
}

int os::change_owner(int fd, uid_t owner, gid_t group) {
    return made(call::change_owner, "", [&] { return ::fchown(fd, owner, group) == 0; });
}

int os::change_mode(int fd, mode_t mode) {
    return made(call::change_mode, "", [&] { return ::fchmod(fd, mode) == 0; });
}

int os::get_flags(int fd, unsigned& flags) {
    return made(call::get_flags, "", [&] { return ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0; });
}

int os::set_flags(int fd, unsigned flags) {
    return made(call::set_flags, "", [&] { return ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0; });
}

int os::list_attributes(int fd, std::string& names) {
    return hook({call::list_attributes, "", 0, nullptr, &names}, [&] {
        return fetch(names, [fd](char* data, std::size_t size) { return ::flistxattr(fd, data, size); });
    });
}

int os::get_attribute(int fd, const char* name, std::string& value) {
    return hook({call::get_attribute, name, 0, nullptr, &value}, [&] {
        return fetch(value, [fd, name](char* data, std::size_t size) { return ::fgetxattr(fd, name, data, size); });
    });
}

int os::set_attribute(int fd, const char* name, const std::string& value) {
    return made(call::set_attribute, name, [&] { return ::fsetxattr(fd, name, value.data(), value.size(), 0) == 0; });
}

int os::remove_attribute(int fd, const char* name) {
    return made(call::remove_attribute, name, [&] { return ::fremovexattr(fd, name) == 0; });
}

int os::duplicate(int fd, int& copy) {
    return made(call::duplicate, "", [&] { return (copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3)) >= 0; });
}

int os::lock(int fd) {
    return hook({call::lock}, [&] {
        for (int tries = 0; tries < kLockTries; ++tries) {
            struct flock byte = install_lock();
            if (::fcntl(fd, F_OFD_SETLK, &byte) == 0)
                return 0;
            if (errno != EAGAIN && errno != EACCES)
                return errno;
            byte = install_lock();
            if (::fcntl(fd, F_OFD_GETLK, &byte) != 0)
                return errno;
            // Another program's lock over that byte, a whole-file one: not waited for.
            if (byte.l_type != F_UNLCK && !is_install_lock(byte))
                return EAGAIN;
            const timespec pause{0, kLockPause};
            ::nanosleep(&pause, nullptr);
        }
        return EAGAIN;
    });
}

bool os::keeps_set_id_bits() {
    return hook({call::keeps_set_id}, [] {
               __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
               __user_cap_data_struct data[2]{};
               const bool kept =
                   ::syscall(SYS_capget, &header, data) == 0 && (data[0].effective & (1u << CAP_FSETID)) != 0;
               return kept ? 0 : EPERM;
           }) == 0;
}

os& system_os() {
    static os the_os;
    return the_os;
}

}  // namespace suite
