// Writing an output file so that a failed or killed run leaves the previous file as it
// was, and never less safely than the shell's `>` would.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "common/output/os.h"

namespace suite {

// The kernel opens the target as `>` would, only without truncating it, so its rules on
// links and shared sticky folders hold and what `>` would refuse is refused with the
// kernel's reason. Then the target is written one of three ways, decided once:
// - write through: a path whose last part names a descriptor (/dev/stdout, /dev/fd/N,
//   /proc/PID/fd/N and links to them) goes through that descriptor, keeping its offset
//   and O_APPEND, and another process's is added to; a target that is no regular file
//   (a pipe, a terminal, /dev/null) is written directly. Neither is ever truncated.
// - replace beside: a regular file, or nothing yet, is replaced by a new file made in
//   its folder, which carries the old owner, mode, access list and extended attributes
//   (never the capabilities, nor a set-id bit a write by this user would clear). It is
//   synced and swapped in by one rename, which is undone when the name no longer stood
//   for the file first opened. A symbolic link is followed and stays; another hard link
//   keeps the old content.
// - copy over: a regular file that cannot be renamed over (a mount point), whose folder
//   takes no new file, or whose owner or attributes a new file cannot carry. The content
//   waits in a private file in TMPDIR, /tmp or memory, the target's new size is reserved,
//   then it is copied over the target; only an interruption during that copy can leave
//   the target part new, part old.
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
    // The file a failure concerns: the output, or the folder its content was to wait in.
    const std::string& blamed() const { return blamed_; }
    // Whether two opened outputs would write the same file.
    bool same_target(const output_file& other) const;

    // Everything that can fail before the target is touched: the last bytes written, the
    // new content synced. 0, or the error number; the target is then as it was.
    [[nodiscard]] int prepare();
    // Puts the prepared content in place: 0, or the error number. A target whose name
    // another process pointed elsewhere during the run is left as it is
    // (kChangedDuringRun). An error can also come once the content is in place, when the
    // folder could not be synced.
    [[nodiscard]] int install();
    // prepare() and install().
    [[nodiscard]] int commit();
    // Drops what was written; the target keeps its previous content.
    void discard();

  private:
    struct state;
    static ssize_t write_to_sink(void* cookie, const char* data, std::size_t size);

    std::string path_;
    std::string blamed_;
    std::unique_ptr<state> state_;
    std::FILE* stream_ = nullptr;
};

}  // namespace suite
