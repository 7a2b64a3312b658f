// Replacing an output file so that a failed or killed run leaves the previous file as
// it was, and refusing an output that is one of the run's own inputs.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <string>

namespace suite {

// The kernel opens the target, as the shell's `>` would, so its rules on links and
// shared sticky folders hold; what `>` would refuse is refused with the kernel's reason.
// Then, by what the target is:
// - a regular file, or nothing yet: the new content goes to a temporary file in the
//   target's folder (an unnamed one where the file system allows, so a killed run
//   leaves nothing behind), which carries the old file's owner, extended attributes
//   (access control lists among them) and mode. prepare() syncs it and gives it a
//   name; install() renames it over the target's name in that folder and syncs the
//   folder. A symbolic link is followed: the file it points to is replaced, the link
//   stays. Another hard link to the old file keeps the old content.
// - a regular file whose folder takes no new file, or whose owner or attributes the
//   new file cannot carry: the content is built in a private temporary file in TMPDIR
//   (or /tmp) and copied over the target by install(); an interruption during that
//   copy can leave the target part new, part old.
// - a path naming one of the process's descriptors (/dev/stdout, /dev/fd/N and links
//   to them), or no regular file (a pipe, a terminal, /dev/null): written directly,
//   through that descriptor where the process has it open (appending where it was
//   opened to append), never truncated.
class output_file {
  public:
    explicit output_file(std::string path) : path_(std::move(path)) {}
    ~output_file();
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    // 0, or the error number when nothing could be opened to write to.
    [[nodiscard]] int open();
    std::FILE* stream() const { return stream_; }
    const std::string& path() const { return path_; }
    // Whether two opened outputs would write the same file.
    bool same_target(const output_file& other) const;

    // Everything that can fail before the target is touched: the last bytes written,
    // the temporary file synced and named. 0, or the error number; the target is then
    // as it was and nothing is left behind.
    [[nodiscard]] int prepare();
    // Puts the prepared content in place: 0, or the error number. A target whose name
    // another process pointed elsewhere during the run is left as it is
    // (kChangedDuringRun). An error number can also come after the content was put in
    // place, when the folder could not be synced.
    [[nodiscard]] int install();
    // prepare() and install().
    [[nodiscard]] int commit();
    // Drops what was written; the target keeps its previous content.
    void discard();

  private:
    enum class mode { closed, replace, in_place, direct };

    // What the stream's writes reach: the descriptor, and the first error they met.
    struct sink {
        int fd = -1;
        int error = 0;
        bool dropping = false;          // discard(): the stream's last bytes go nowhere
        bool early_writeback = false;   // a temporary file beside the target
        off_t written = 0;              // bytes written so far
        off_t handed_to_disk = 0;       // bytes whose writeback has been started
    };

    static ssize_t write_to_sink(void* cookie, const char* data, std::size_t size);
    int open_target();
    int open_missing();
    int open_existing();
    int open_through_descriptor();
    bool find_folder();
    int check_sticky_rule() const;
    int open_temporary();
    template <typename Take>
    int take_temporary_name(Take take);
    int carry_metadata();
    int set_mode();
    int open_in_place();
    int attach_stream(mode how);
    int finish_stream();
    int name_temporary();
    int install_replacement();
    int copy_over_target();
    void drop_temporary();

    std::string path_;
    int target_fd_ = -1;          // the target as the kernel opened it, when it exists
    bool through_descriptor_ = false;
    bool replaces_ = false;       // the target exists
    int folder_fd_ = -1;          // the folder whose entry name_ stands for the target
    std::string name_;
    std::string temporary_;       // the temporary file's name in that folder, once it has one
    int slot_ = -1;               // where a signal finds that name to remove it
    struct stat target_info_ {};  // the target, or its folder while it does not exist
    mode mode_ = mode::closed;
    sink sink_;
    std::FILE* stream_ = nullptr;
};

// Whether the kernel's rule for shared sticky folders (fs.protected_regular,
// fs.protected_fifos) refuses `user` a `>` onto an existing `file` in `folder`.
bool sticky_folder_refuses(const struct stat& folder, const struct stat& file, uid_t user,
                           int protected_regular, int protected_fifos);

// Refuses, with a message, an output that is the file open as `input`: true when the run
// must not write it. Only an output that does not exist yet counts as a different file;
// any other failure to compare refuses too.
bool is_own_input(const char* output, std::FILE* input, const char* input_name);
// The same for an input named by its path; an input that does not exist is none.
bool is_own_input(const char* output, const char* input_name);

}  // namespace suite
