// Writing the new content over the target itself, for a regular file whose name cannot
// be renamed over or that a new file cannot stand in for.
//
// Invariant: no byte of the target changes before the new content is whole in a private
// file and the space it adds is taken: reserved where the file system can, else written
// past the old end first, and cut off again should that fail. An overwrite that still
// fails part-way (a copy-on-write file system needs new space for every block it
// overwrites) writes the whole content again from the start, as `>` would. So a full
// disk keeps the old content wherever blocks are overwritten in place, and only an
// interruption during the copy leaves the target part new, part old.
#include <cerrno>
#include <cstdlib>

#include "common/output/output_ways.h"

namespace suite::output {
namespace {

constexpr std::size_t kCopyBlock = 1 << 16;
constexpr int kPrivate = O_RDWR | O_CLOEXEC;

// The content's bytes from `from` up to `to`, at the same offsets in the target.
int copy(target& t, off_t from, off_t to) {
    char block[kCopyBlock];
    for (off_t at = from; at < to;) {
        const auto want = static_cast<std::size_t>(to - at < off_t{kCopyBlock} ? to - at : off_t{kCopyBlock});
        std::size_t got = 0;
        if (const int error = t.sys.read_at(t.content.get(), block, want, at, got))
            return error;
        if (got == 0)
            return EIO;   // the private file lost bytes it had
        if (const int error = t.sys.write_at(t.file.get(), block, got, at))
            return error;
        at += static_cast<off_t>(got);
    }
    return 0;
}

// The old content is part gone: the blocks are freed and the new content written whole,
// as `>` writes it. The first error stands when that fails too.
int write_again(target& t, int first_error) {
    const bool whole = t.sys.truncate(t.file.get(), 0) == 0 && copy(t, 0, t.content_info.size) == 0;
    return whole ? 0 : first_error;
}

}  // namespace

// Beside the target, unnamed, where its folder takes such a file; else in TMPDIR, /tmp
// or memory. When none will do, the temporary folder tried first is to blame.
int open_over(target& t) {
    t.content_place.clear();
    if (t.sys.open_unnamed(t.folder.get(), ".", kPrivate, 0600, t.content.out()) == 0)
        return 0;
    const char* tmpdir = std::getenv("TMPDIR");
    t.content_place = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    const int error = t.sys.open_unnamed(AT_FDCWD, t.content_place.c_str(), kPrivate, 0600, t.content.out());
    if (error == 0)
        return 0;
    if (t.content_place != "/tmp" && t.sys.open_unnamed(AT_FDCWD, "/tmp", kPrivate, 0600, t.content.out()) == 0) {
        t.content_place = "/tmp";
        return 0;
    }
    if (t.sys.memory_file(t.content.out()) != 0)
        return error;
    t.content_place.clear();
    return 0;
}

// The space the new content adds past the old end, before the first old byte changes: a
// full disk fails here. A file system that cannot reserve space has that tail written
// first. (What exists is overwritten in place, but for copy on write.)
int prepare_over(target& t) {
    int error = t.sys.stat(t.content.get(), "", true, t.content_info);
    if (error != 0 || t.content_info.size <= t.info.size)
        return error;
    error = t.sys.reserve(t.file.get(), t.info.size, t.content_info.size - t.info.size);
    t.reserved = error == 0;
    return error == EOPNOTSUPP ? 0 : error;
}

int install_over(target& t) {
    (void)t.sys.lock(t.file.get());   // where locks fail, installs just do not take turns
    file_info now;
    int error = stands_as_opened(t);
    if (error == 0)
        error = t.sys.stat(t.file.get(), "", true, now);
    if (error != 0)
        return error;
    const off_t size = t.content_info.size;
    const off_t tail = t.reserved || size <= now.size ? size : now.size;
    if (tail < size && (error = copy(t, tail, size)) != 0) {
        (void)t.sys.truncate(t.file.get(), now.size);
        return error;
    }
    if ((error = copy(t, 0, tail)) != 0)
        error = write_again(t, error);
    if (error == 0)
        error = t.sys.truncate(t.file.get(), size);
    return error == 0 ? t.sys.sync(t.file.get()) : error;
}

}  // namespace suite::output
