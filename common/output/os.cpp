// The output layer's calls, made to Linux.
#include "common/output/os.h"

#include <linux/capability.h>
#include <linux/limits.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>

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

}  // namespace

int os::stat(int folder, const char* path, bool follow, file_info& info) {
    struct statx x {};
    const int flags = (*path == '\0' ? AT_EMPTY_PATH : 0) | (follow ? 0 : AT_SYMLINK_NOFOLLOW);
    if (::statx(folder, path, flags, STATX_BASIC_STATS, &x) != 0)
        return errno;
    info = {makedev(x.stx_dev_major, x.stx_dev_minor), x.stx_ino, x.stx_mode, x.stx_uid, x.stx_gid,
            static_cast<off_t>(x.stx_size), (x.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0};
    return 0;
}

int os::read_link(int folder, const char* path, std::string& text) {
    text.resize(PATH_MAX);
    const ssize_t size = ::readlinkat(folder, path, text.data(), text.size());
    text.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
    return size < 0 ? errno : text.size() == PATH_MAX ? ENAMETOOLONG : 0;
}

int os::write(int fd, const char* data, std::size_t size, off_t at) {
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

int os::read(int fd, char* data, std::size_t size, off_t at, std::size_t& got) {
    ssize_t taken;
    while ((taken = ::pread(fd, data, size, at)) < 0 && errno == EINTR) {
    }
    got = taken < 0 ? 0 : static_cast<std::size_t>(taken);
    return result(taken >= 0);
}

int os::link(int fd, int folder, const char* name) {
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, proc.c_str(), folder, name, AT_SYMLINK_FOLLOW) == 0)
        return 0;
    // Without /proc, the descriptor itself, which needs more privilege.
    return errno != ENOENT ? errno : result(::linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0);
}

int os::list_attributes(int fd, std::string& names) {
    return fetch(names, [fd](char* data, std::size_t size) { return ::flistxattr(fd, data, size); });
}

int os::get_attribute(int fd, const char* name, std::string& value) {
    return fetch(value, [fd, name](char* data, std::size_t size) { return ::fgetxattr(fd, name, data, size); });
}

bool os::keeps_set_id_bits() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    return ::syscall(SYS_capget, &header, data) == 0 && (data[0].effective & (1u << CAP_FSETID)) != 0;
}

os& system_os() {
    static os the_os;
    return the_os;
}

}  // namespace suite
