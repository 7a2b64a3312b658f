// Writing straight into the target: a path whose last part names a descriptor, or a
// target that is no regular file.
//
// Invariant: the target is only ever written to, at the offset and with the O_APPEND of
// the descriptor written through; it is never truncated, renamed or synced, and nothing
// of what it held before is kept apart.
#include "common/output/output_ways.h"

namespace suite::output {

// Through this process's own descriptor, which the path names, or added to the file of
// another process's. A descriptor open only to read fails at the first write, as `>&N`.
int open_descriptor_path(target& t, const std::string& path, pid_t process, int fd) {
    t.through_descriptor = true;
    t.exists = true;
    if (process == getpid()) {
        const int error = t.sys.control(fd, F_DUPFD_CLOEXEC, 3, t.file.out());
        return error != 0 ? error : t.sys.stat(t.file.get(), "", true, t.info);
    }
    int flags = 0;
    int error = t.sys.open(AT_FDCWD, path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC, 0, t.file.out());
    if (error == 0)
        error = t.sys.stat(t.file.get(), "", true, t.info);
    if (error == 0 && S_ISREG(t.info.mode))
        error = t.sys.control(t.file.get(), F_GETFL, 0, flags);
    if (error == 0 && S_ISREG(t.info.mode))
        error = t.sys.control(t.file.get(), F_SETFL, flags | O_APPEND, flags);
    return error;
}

}  // namespace suite::output
