// io_floor INPUT OUTPUT SIZE: the least any converter of INPUT into SIZE bytes of OUTPUT
// must do, the floor the benchmark holds the programs against. Like dd with 1 MiB blocks:
// reads INPUT to its end and writes SIZE bytes (the input's own, then zeros) to OUTPUT,
// through the page cache. The programs sync their output before they put it in place, so
// the floor syncs too, the cheapest way: the write-back of each block starts as soon as
// it is written, as the programs' output does, and one fsync at the end waits for the rest.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kBlock = std::size_t{1} << 20;

// Static, so that the floor, like the baselines, links nothing but the C library.
char block[kBlock];

int fail(const char* what) {
    std::fprintf(stderr, "io_floor: %s: %s\n", what, std::strerror(errno));
    return 1;
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t wrote = ::write(fd, data, size);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        data += wrote;
        size -= static_cast<std::size_t>(wrote);
    }
    return true;
}

// One block of output, its write-back started at once.
bool put_block(int fd, const char* data, std::size_t size, off_t& written) {
    if (!write_all(fd, data, size))
        return false;
    sync_file_range(fd, written, static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
    written += static_cast<off_t>(size);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    off_t size = 0;
    if (argc != 4 || std::from_chars(argv[3], argv[3] + std::strlen(argv[3]), size).ec != std::errc{} ||
        size < 0) {
        std::fputs("usage: io_floor INPUT OUTPUT SIZE\n", stderr);
        return 2;
    }
    const int in = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return fail(argv[1]);
    const int out = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0)
        return fail(argv[2]);
    off_t written = 0;
    for (;;) {
        const ssize_t got = ::read(in, block, kBlock);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return fail(argv[1]);
        if (got == 0)
            break;
        const auto wanted = static_cast<std::size_t>(std::min<off_t>(got, size - written));
        if (wanted > 0 && !put_block(out, block, wanted, written))
            return fail(argv[2]);
    }
    std::memset(block, 0, kBlock);   // zeros where the input ran out
    while (written < size)
        if (!put_block(out, block, static_cast<std::size_t>(std::min<off_t>(kBlock, size - written)), written))
            return fail(argv[2]);
    if (fsync(out) != 0 || ::close(out) != 0)
        return fail(argv[2]);
    ::close(in);
    return 0;
}
