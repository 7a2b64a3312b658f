// Writing an output file so that a failed or killed run leaves the previous file as it
// was, and never less safely than the shell's `>` would. README.md in this folder tells
// how, and where the file systems set limits.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace suite {

class os;
os& system_os();

// An error number of the layer's own, beyond the system's: another process changed what
// the output's name stands for during the run, so the output was left as it is.
inline constexpr int kChangedDuringRun = 1 << 16;

// The kernel opens the target as `>` would, only without truncating it, so its rules on
// links and shared sticky folders hold and what `>` would refuse is refused with the
// kernel's reason. Then the target is written one of three ways, decided once:
// - write through: a path whose last part names a descriptor (/dev/stdout, /dev/fd/N,
//   /proc/PID/fd/N and links to them) goes through that descriptor, keeping its offset
//   and O_APPEND, and another process's is added to; a target that is no regular file
//   (a pipe, a terminal, /dev/null) is written directly. Nothing old is kept.
// - replace beside: a regular file, or nothing yet, is replaced by a new file made in
//   its folder, which carries the old owner, mode, inode flags, access list and extended
//   attributes (never the capabilities, nor a set-id bit a write by this user would
//   clear). It is synced, named, and swapped in by one rename; what came out must be the
//   file first opened, or the swap is undone. A named temporary file exists on every
//   replacement, if only for that moment.
// - copy over: a regular file whose name cannot be renamed over (a mount point, an
//   append-only folder, a rename the kernel refuses), whose folder takes no new file, or
//   whose owner or attributes a new file cannot carry. The content waits in a private
//   file, the space it adds is taken, then it is copied over the target.
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

    // Everything that can fail before the target is touched: the last bytes written, the
    // new content synced. 0, or the error number; the target is then as it was.
    [[nodiscard]] int prepare();
    // Puts the prepared content in place: 0, or the error number, and the target is as
    // it was (kChangedDuringRun: its name stood for another file), but for a copy over
    // that failed part-way and could not be written again whole. Once the new content
    // stands only the folder's sync can fail; a file left beside the target is named in
    // a warning.
    [[nodiscard]] int install();
    // prepare() and install().
    [[nodiscard]] int commit();
    // Drops what was written; the target keeps its previous content.
    void discard();

  private:
    struct state;
    static ssize_t write_to_sink(void* cookie, const char* data, std::size_t size);

    std::string path_;
    std::unique_ptr<state> state_;
    std::FILE* stream_ = nullptr;
};

}  // namespace suite
