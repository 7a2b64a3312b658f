// Writing an output file as the shell's `>` would, only more safely: README.md in this
// folder tells how, and where the file systems set limits.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "common/outcome.h"

namespace suite {

class os;
os& system_os();

// The kernel opens the target as `>` would, only without truncating it, so its rules on
// links and shared sticky folders hold and what `>` would refuse is refused with the
// kernel's reason. Then the target is written one of three ways, decided once:
// - write through: a path whose last part names a descriptor (/dev/stdout, /dev/fd/N,
//   /proc/PID/fd/N and links to them), or a target that is no regular file (a pipe, a
//   terminal, /dev/null), is written directly, at the descriptor's offset and with its
//   O_APPEND. Nothing old is kept: what was written stays, whatever happens after.
// - replace beside: a regular file, or nothing yet, is replaced by a new file made in
//   its folder, which carries the old owner, mode, inode flags, access list and extended
//   attributes (never the capabilities, nor a set-id bit a write by this user would
//   clear). It is synced and swapped in by one rename; what came out must be the file
//   first opened, or the swap is undone.
// - copy over: a regular file whose name cannot be renamed over (a mount point, an
//   append-only folder, a rename the kernel refuses), or whose owner or attributes a new
//   file cannot carry. The content waits in a private file, the space it adds is taken,
//   then it is copied over the target.
// A step that fails says in its outcome what the output then holds: for replace beside
// and copy over, the previous content unless the outcome says otherwise.
class output_file {
  public:
    explicit output_file(std::string path, os& sys = system_os());
    ~output_file();
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    // 0, or the error number when nothing could be opened to write to.
    [[nodiscard]] int open();
    std::FILE* stream() const { return stream_; }
    const std::string& path() const { return path_; }
    // The file a failure concerns: the output, or the folder its content waits in.
    const std::string& blamed() const;
    // Whether two opened outputs would write the same file.
    bool same_target(const output_file& other) const;
    // Whether the opened output is the file open as `fd`.
    bool is_file(int fd) const;

    // The last bytes written and the new content synced; the target is not touched yet.
    [[nodiscard]] outcome prepare();
    // Puts the prepared content in place.
    [[nodiscard]] outcome install();
    // prepare() and install().
    [[nodiscard]] outcome commit();
    // Whether install() put the new content in place.
    bool installed() const;
    // Drops what was not yet put in place. (Written through, it has reached the target.)
    void discard();

  private:
    struct state;
    static ssize_t write_to_sink(void* cookie, const char* data, std::size_t size);

    std::string path_;
    std::unique_ptr<state> state_;
    std::FILE* stream_ = nullptr;
};

}  // namespace suite
