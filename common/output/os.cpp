// The seam's calls that take more than one line, made to Linux, each through the hook.
#include "common/output/os.h"

#include <linux/capability.h>
#include <linux/limits.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>

#include <ctime>
#include <limits>

namespace suite {
namespace {

// A text the kernel fills, up to `most` bytes: a link, an attribute or the list of names.
template <typename Get>
int fetch(std::string& out, std::size_t most, Get get) {
    out.resize(most);
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
constexpr timespec kLockPause{0, 10'000'000};   // 10 ms

bool try_install_lock(int fd, int command, struct flock& byte) {
    byte = {};
    byte.l_type = F_WRLCK;
    byte.l_start = kInstallLockByte;
    byte.l_len = 1;
    return ::fcntl(fd, command, &byte) == 0;
}

}  // namespace

int os::stat(int folder, const char* path, bool follow, file_info& info) {
    return hook({"stat", path, 0, &info}, [&] {
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
    return hook({"read_link", path, 0, nullptr, &text}, [&] {
        const int error =
            fetch(text, PATH_MAX, [&](char* to, std::size_t most) { return ::readlinkat(folder, path, to, most); });
        return error == 0 && text.size() == PATH_MAX ? ENAMETOOLONG : error;
    });
}

int os::write(int fd, const char* data, std::size_t size) {
    return hook({"write"}, [&] { return write_whole(fd, data, size, -1); });
}

int os::write_at(int fd, const char* data, std::size_t size, off_t at) {
    return hook({"write_at"}, [&] { return write_whole(fd, data, size, at); });
}

// A private file is read from a disk or memory, which no signal interrupts.
int os::read_at(int fd, char* data, std::size_t size, off_t at, std::size_t& got) {
    return hook({"read_at"}, [&] {
        const ssize_t taken = ::pread(fd, data, size, at);
        got = taken < 0 ? 0 : static_cast<std::size_t>(taken);
        return taken < 0 ? errno : 0;
    });
}

// Through /proc, or without it through the descriptor itself, which needs more privilege.
int os::link(int fd, int folder, const char* name) {
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    return SUITE_MADE(link, name, ::linkat(AT_FDCWD, proc.c_str(), folder, name, AT_SYMLINK_FOLLOW) == 0 ||
                                      (errno == ENOENT && ::linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0));
}

int os::list_attributes(int fd, std::string& names) {
    return hook({"list_attributes", "", 0, nullptr, &names}, [&] {
        return fetch(names, XATTR_LIST_MAX, [fd](char* to, std::size_t most) { return ::flistxattr(fd, to, most); });
    });
}

int os::get_attribute(int fd, const char* name, std::string& value) {
    return hook({"get_attribute", name, 0, nullptr, &value}, [&] {
        return fetch(value, XATTR_SIZE_MAX,
                     [&](char* to, std::size_t most) { return ::fgetxattr(fd, name, to, most); });
    });
}

int os::lock(int fd) {
    return hook({"lock"}, [&] {
        struct flock byte;
        for (int tries = 0; tries < kLockTries; nanosleep(&kLockPause, nullptr), ++tries) {
            if (try_install_lock(fd, F_OFD_SETLK, byte))
                return 0;
            if ((errno != EAGAIN && errno != EACCES) || !try_install_lock(fd, F_OFD_GETLK, byte))
                return errno;
            // Another program's lock over that byte, a whole-file one, is not waited for.
            // (The kernel tells a lock on the last byte as one to the end of the file.)
            if (byte.l_type != F_UNLCK && (byte.l_pid != -1 || byte.l_start != kInstallLockByte))
                return EAGAIN;
        }
        return EAGAIN;
    });
}

bool os::keeps_set_id_bits() {
    return hook({"keeps_set_id"}, [] {
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
