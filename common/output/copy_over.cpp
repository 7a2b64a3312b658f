// Writing the new content over the target itself, for a regular file that cannot be
// replaced by a new one.
//
// Invariant: no byte of the target changes before the new content is whole in a private
// file and the disk space for it is reserved; only a failure during the copy itself can
// leave the target part new, part old.
#include <cerrno>
#include <cstdlib>

#include "common/output/output_ways.h"

namespace suite::output {

constexpr std::size_t kCopyBlock = 1 << 16;

// TMPDIR, then /tmp, then memory. When none will do, the folder tried first is to blame.
int open_over(target& t, std::string& blamed) {
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string first = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    const int flags = O_TMPFILE | O_RDWR | O_CLOEXEC;
    t.how = way::copy_over;
    const int error = t.sys.open(AT_FDCWD, first.c_str(), flags, 0600, t.content.out());
    if (error == 0 || (first != "/tmp" && t.sys.open(AT_FDCWD, "/tmp", flags, 0600, t.content.out()) == 0) ||
        t.sys.memory_file(t.content.out()) == 0)
        return 0;
    blamed = first;
    return error;
}

// Space for the whole new content before the first old byte goes: a full disk fails here.
// A file system that cannot reserve space is written without.
int prepare_over(target& t) {
    file_info content;
    int error = t.sys.stat(t.content.get(), "", true, content);
    if (error == 0 && content.size > 0)
        error = t.sys.reserve(t.file.get(), content.size);
    return error == EOPNOTSUPP ? 0 : error;
}

int install_over(target& t) {
    char block[kCopyBlock];
    off_t at = 0;
    for (std::size_t got = 1; got > 0; at += static_cast<off_t>(got)) {
        if (const int error = t.sys.read(t.content.get(), block, sizeof block, at, got))
            return error;
        if (const int error = got > 0 ? t.sys.write(t.file.get(), block, got, at) : 0)
            return error;
    }
    const int error = t.sys.truncate(t.file.get(), at);
    return error == 0 ? t.sys.sync(t.file.get()) : error;
}

}  // namespace suite::output
