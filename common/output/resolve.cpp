// Where an output's path leads, what the kernel opens there, and the way that follows,
// decided once.
//
// The last part of the path is followed link by link only to tell a descriptor path;
// what is written is always what the kernel opens: O_WRONLY, never O_TRUNC, with
// O_CREAT in a shared sticky folder, so that its rules judge the open as they judge `>`.
#include <charconv>
#include <climits>
#include <cstdio>

#include "common/output/output_ways.h"

namespace suite::output {
namespace {

constexpr int kMostLinks = 40;   // as many as the kernel follows in one path

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Whether the entry `name` of `folder` is the link of a process's descriptor: the kernel
// names such a folder /proc/PID/fd or /proc/PID/task/TID/fd. Without /proc there is none.
int descriptor_link(os& sys, const descriptor& folder, const std::string& name, pid_t& process, int& fd) {
    std::string where;
    const int error = sys.read_link(AT_FDCWD, ("/proc/self/fd/" + std::to_string(folder.fd)).c_str(), where);
    if (error != 0)
        return error == ENOENT ? 0 : error;
    unsigned pid = 0, thread = 0, number = 0;
    int end = 0;
    const bool named = (std::sscanf(where.c_str(), "/proc/%u/fd%n", &pid, &end) == 1 ||
                        std::sscanf(where.c_str(), "/proc/%u/task/%u/fd%n", &pid, &thread, &end) == 2) &&
                       where.size() == static_cast<std::size_t>(end);
    const auto [rest, failed] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (named && failed == std::errc() && rest == name.data() + name.size() && number <= INT_MAX) {
        fd = static_cast<int>(number);
        process = static_cast<pid_t>(pid);
    }
    return 0;
}

// Where the last part of a path leads through symbolic links: the folder holding the
// final entry and its name, or the descriptor a /proc/PID/fd/N link names. The parts
// before the last are the kernel's to follow, magic links among them.
int follow_last_part(target& t, std::string path, pid_t& process, int& fd) {
    descriptor from(AT_FDCWD);
    for (int links = 0; links <= kMostLinks; ++links) {
        descriptor folder;
        if (const int error =
                t.sys.open(from.fd, folder_of(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0, folder.fd))
            return error;
        const std::string name = path.substr(path.rfind('/') + 1);
        file_info entry;
        const int error = t.sys.stat(folder.fd, name.c_str(), false, entry);
        if (error != 0 && error != ENOENT)
            return error;
        // A missing entry can be a descriptor link too: /dev/fd/N of a closed N.
        const bool link = error == 0 && S_ISLNK(entry.mode);
        if (link || error == ENOENT)
            if (const int failed = descriptor_link(t.sys, folder, name, process, fd))
                return failed;
        if (fd >= 0)
            return 0;
        if (!link) {
            t.folder = std::move(folder);
            t.name = name;
            t.exists = error == 0;
            return 0;
        }
        if (const int failed = t.sys.read_link(folder.fd, name.c_str(), path))
            return failed;
        from = std::move(folder);
    }
    return ELOOP;
}

// Through this process's own descriptor, which the path names, or added to another
// process's file. A descriptor open only to read fails at the first write, as `>&N`.
int open_descriptor(target& t, const std::string& path, pid_t process, int fd) {
    t.exists = true;
    const int flags = O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC;
    const int error = process == getpid() ? t.sys.duplicate(fd, t.file.fd)
                                          : t.sys.open(AT_FDCWD, path.c_str(), flags, 0, t.file.fd);
    return error != 0 ? error : t.sys.stat(t.file.fd, "", true, t.info);
}

// The kernel opens the target as `>` would, only without truncating it. A name that was
// absent at the look-up must be absent still: a file that appeared is never written,
// whoever made it; in a shared sticky folder the kernel judges it first, as it judges `>`.
int open_named(target& t, const std::string& path) {
    if (const int error = t.sys.stat(t.folder.fd, "", true, t.folder_info))
        return error;
    const bool sticky = (t.folder_info.mode & S_ISVTX) != 0;
    if (!t.exists) {
        descriptor appeared, judged;
        int error = t.sys.open(AT_FDCWD, path.c_str(), O_PATH | O_CLOEXEC, 0, appeared.fd);
        if (error != 0)
            return error == ENOENT ? 0 : error;
        if (sticky)
            error = t.sys.open(AT_FDCWD, path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666,
                               judged.fd);
        return error != 0 && error != ENXIO ? error : kChangedDuringRun;   // ENXIO: a FIFO nobody reads
    }
    const int error = t.sys.open(AT_FDCWD, path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | (sticky ? O_CREAT : 0),
                                 0666, t.file.fd);
    if (error == ENOENT) {   // gone since the look-up: a new file
        t.exists = false;
        return 0;
    }
    return error != 0 ? error : t.sys.stat(t.file.fd, "", true, t.info);
}

}  // namespace

int resolve(target& t, const std::string& path, way& how) {
    pid_t process = 0;
    int fd = -1;
    int error = follow_last_part(t, path, process, fd);
    if (error == 0 && fd >= 0) {
        how.emplace<through>();
        return open_descriptor(t, path, process, fd);
    }
    if (error == 0)
        error = open_named(t, path);
    if (error != 0)
        return error;
    if (t.exists && !S_ISREG(t.info.mode))
        how.emplace<through>();   // a pipe, a terminal, /dev/null: nothing to keep
    else if (t.exists && (t.info.mount_root || t.folder_info.fixed_names))
        how.emplace<over>();   // a name the kernel will not rename over, or one made beside it could not go
    else
        how.emplace<beside>();
    return 0;
}

int holds(target& t, const std::string& name, const file_info& file) {
    file_info there;
    const int error = t.sys.stat(t.folder.fd, name.c_str(), false, there);
    return error != 0 ? error : same_file(there, file) ? 0 : kChangedDuringRun;
}

}  // namespace suite::output
