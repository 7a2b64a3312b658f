// Replacing an output file so that a failed or killed run leaves the previous file as
// it was, and refusing an output that is one of the run's own inputs.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>

namespace suite {

// The new content goes to a temporary file in the target's folder (an unnamed one where
// the file system allows, so a killed run leaves nothing behind). commit() flushes and
// syncs it, gives it the old file's permission bits, renames it over the target and
// syncs the folder. A symbolic link is followed: the file it points to is replaced and
// the link stays. A target that is no regular file (a FIFO, /dev/null, a terminal) is
// written directly, and so is an existing target in a folder where no file can be created.
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

    // 0 once the new content stands in the target's place; otherwise the error number,
    // with the target as it was and no temporary file left. An error number can also
    // come after the content was put in place, when the folder could not be synced.
    [[nodiscard]] int commit();
    // Drops what was written; the target keeps its previous content.
    void discard();

  private:
    enum class mode { closed, unnamed, named, direct };

    // What the stream's writes reach: the descriptor, and the first error they met.
    struct sink {
        int fd = -1;
        int error = 0;
        bool dropping = false;   // discard(): the stream's last bytes go nowhere
        bool early_writeback = false;   // a temporary file: its pages go to disk as they fill
        off_t written = 0;              // bytes written so far
        off_t handed_to_disk = 0;       // bytes whose writeback has been started
    };

    static ssize_t write_to_sink(void* cookie, const char* data, std::size_t size);
    int open_direct(int flags);
    int open_temporary();
    int attach_stream();
    int finish_stream();
    int name_unnamed();
    int put_in_place();
    void remove_temporary();

    std::string path_;
    std::string target_;        // path_ with symbolic links followed
    std::string directory_;     // the folder of target_
    std::string temporary_;     // the temporary file's name, once it has one
    mode mode_ = mode::closed;
    bool replaces_ = false;     // an earlier target exists
    mode_t old_mode_ = 0;
    uid_t old_owner_ = 0;
    gid_t old_group_ = 0;
    sink sink_;
    std::FILE* stream_ = nullptr;
};

// Refuses, with a message, an output that is the file open as `input`: true when the run
// must not write it. Only an output that does not exist yet counts as a different file;
// any other failure to compare refuses too.
bool is_own_input(const char* output, std::FILE* input, const char* input_name);
// The same for an input named by its path; an input that does not exist is none.
bool is_own_input(const char* output, const char* input_name);

}  // namespace suite
