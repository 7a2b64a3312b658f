// Writing the new content over the target itself, for a regular file whose name cannot
// be renamed over, or that a new file cannot stand in for.
//
// Invariant: no byte of the target changes before the new content is whole in a private
// file and the space it adds is taken: reserved where the file system can, else written
// past the old end first, and cut off again should that fail. An overwrite that still
// fails part-way (a file system that writes every block anew: btrfs, or XFS where the
// blocks are shared with a copy) writes the whole content again from the start, as `>`
// would; should that fail too, the target is left part written, and the result says so.
#include <cerrno>
#include <cstdlib>

#include "common/output/output_ways.h"

namespace suite::output {
namespace {

constexpr std::size_t kCopyBlock = 1 << 16;
constexpr int kPrivate = O_RDWR | O_CLOEXEC;

// The bytes of `content` from `from` up to `to`, at the same offsets in `into`.
int copy(target& t, int content, off_t from, off_t to, int into) {
    char block[kCopyBlock];
    for (off_t at = from; at < to;) {
        const auto want = static_cast<std::size_t>(to - at < off_t{kCopyBlock} ? to - at : off_t{kCopyBlock});
        std::size_t got = 0;
        if (const int error = t.sys.read_at(content, block, want, at, got))
            return error;
        if (got == 0)
            return EIO;   // the private file lost bytes it had
        if (const int error = t.sys.write_at(into, block, got, at))
            return error;
        at += static_cast<off_t>(got);
    }
    return 0;
}

// A new output whose name the folder will not take by a rename: created as `>` creates it.
int create(target& t) {
    const int error = t.sys.open(t.folder.fd, t.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC,
                                 0666, t.file.fd);
    if (error != 0)
        return error == EEXIST ? kChangedDuringRun : error;
    return t.sys.stat(t.file.fd, "", true, t.info);
}

// Where the copy may start: the space past the old end taken, or that tail written.
int take_space(target& t, int content, off_t old_size, off_t size, off_t& tail) {
    int error = size > old_size ? t.sys.reserve(t.file.fd, old_size, size - old_size) : 0;
    tail = error == 0 ? size : old_size;
    if (error == EOPNOTSUPP && (error = copy(t, content, old_size, size, t.file.fd)) != 0)
        (void)t.sys.truncate(t.file.fd, old_size);
    return error;
}

// The old blocks could not all be overwritten in place (shared with a copy, or a file
// system that writes every block anew): the target is emptied and written again whole,
// as `>` writes it. The content moves to memory first where it fits there, and its copy
// on disk is emptied, so that its space serves the new blocks, even where it has a name.
int write_again(target& t, descriptor& content, off_t size) {
    descriptor in_memory;
    if (t.sys.memory_file(in_memory.fd) == 0 && copy(t, content.fd, 0, size, in_memory.fd) == 0 &&
        t.sys.truncate(content.fd, 0) == 0) {
        content = std::move(in_memory);
        in_memory = descriptor();   // closes the copy on disk, which the move left here
    }
    const int error = t.sys.truncate(t.file.fd, 0);
    return error != 0 ? error : copy(t, content.fd, 0, size, t.file.fd);
}

}  // namespace

// Beside the target, unnamed, where its folder takes such a file; else in TMPDIR, /tmp
// or memory. When none will do, the temporary folder tried first is to blame.
int open_way(target& t, over& o) {
    if (t.sys.open_unnamed(t.folder.fd, ".", kPrivate, 0600, o.content.fd) == 0)
        return 0;
    const char* tmpdir = std::getenv("TMPDIR");
    o.place = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    const int error = t.sys.open_unnamed(AT_FDCWD, o.place.c_str(), kPrivate, 0600, o.content.fd);
    if (error == 0)
        return 0;
    if (o.place != "/tmp" && t.sys.open_unnamed(AT_FDCWD, "/tmp", kPrivate, 0600, o.content.fd) == 0) {
        o.place = "/tmp";
        return 0;
    }
    if (t.sys.memory_file(o.content.fd) == 0) {
        o.place.clear();
        return 0;
    }
    o.to_blame = true;
    return error;
}

// A private file that fills is the fault of its folder, not of the output.
int write_way(target& t, over& o, const char* data, std::size_t size) {
    const int error = t.sys.write(o.content.fd, data, size);
    o.to_blame = error == ENOSPC || error == EDQUOT;
    return error;
}

int install_over(target& t, descriptor& content, outcome& result) {
    if (t.exists)
        (void)t.sys.lock(t.file.fd);   // without it, installs just do not take turns
    int error = t.exists ? 0 : create(t);
    file_info now, whole;
    if (error == 0 && (error = holds(t, t.name, t.info)) == ENOENT)
        error = kChangedDuringRun;
    if (error == 0)
        error = t.sys.stat(t.file.fd, "", true, now);
    if (error == 0)
        error = t.sys.stat(content.fd, "", true, whole);
    off_t tail = 0;
    if (error != 0 || (error = take_space(t, content.fd, now.size, whole.size, tail)) != 0)
        return error;
    result.output = holds::part_new;
    if ((error = copy(t, content.fd, 0, tail, t.file.fd)) != 0 && write_again(t, content, whole.size) == 0)
        error = 0;   // where writing it again fails too, the first error stands
    if (error == 0)
        error = t.sys.truncate(t.file.fd, whole.size);
    if (error == 0)
        result.output = holds::new_content;
    return error == 0 ? t.sys.sync(t.file.fd) : error;
}

}  // namespace suite::output
