// Writing the new content over the target itself, for a regular file that cannot be
// replaced by a new one.
//
// Invariant: no byte of the target changes before the new content is whole in a private
// file and the disk space for it is reserved; only a failure during the copy itself can
// leave the target part new, part old.
#include <fcntl.h>

#include <cerrno>
#include <cstdlib>

#include "common/output_ways.h"

namespace suite::output {
namespace {

constexpr std::size_t kCopyBlock = 1 << 16;

// TMPDIR, then /tmp, then memory. When none will do, the folder tried first is to blame.
int open_private(os& sys, descriptor& file, std::string& blamed) {
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string first = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    const int flags = O_TMPFILE | O_RDWR | O_CLOEXEC;
    const int error = sys.open(AT_FDCWD, first.c_str(), flags, 0600, file.out());
    if (error == 0 || (first != "/tmp" && sys.open(AT_FDCWD, "/tmp", flags, 0600, file.out()) == 0) ||
        sys.memory_file(file.out()) == 0)
        return 0;
    blamed = first;
    return error;
}

class over final : public writer {
  public:
    over(os& sys, target& t, descriptor content) : sys_(sys), t_(t), content_(std::move(content)) {}

    // Space for the whole new content before the first old byte goes: a full disk fails
    // here. A file system that cannot reserve space is written without.
    int prepare() override {
        file_info content;
        int error = sys_.stat(content_.get(), "", true, content);
        size_ = content.size;
        if (error == 0 && size_ > 0)
            error = sys_.reserve(t_.file.get(), size_);
        return error == EOPNOTSUPP ? 0 : error;
    }

    int install() override {
        int error = copy();
        if (error == 0)
            error = sys_.truncate(t_.file.get(), size_);
        return error == 0 ? sys_.sync(t_.file.get()) : error;
    }

  private:
    int copy() {
        char block[kCopyBlock];
        for (off_t at = 0; at < size_;) {
            std::size_t got = 0;
            if (const int error = sys_.read(content_.get(), block, sizeof block, at, got))
                return error;
            if (got == 0)
                return EIO;   // the private file cannot have shrunk
            if (const int error = sys_.write(t_.file.get(), block, got, at))
                return error;
            at += static_cast<off_t>(got);
        }
        return 0;
    }

    os& sys_;
    target& t_;
    descriptor content_;
    off_t size_ = 0;
};

}  // namespace

int copy_over(os& sys, target& t, sink& s, writer_ptr& out, std::string& blamed) {
    descriptor content;
    if (const int error = open_private(sys, content, blamed))
        return error;
    s.fd = content.get();
    s.early_writeback = false;
    out = std::make_unique<over>(sys, t, std::move(content));
    return 0;
}

}  // namespace suite::output
