// The policy: which way an output is written, decided once from what the kernel opened;
// the fallback to copy over where the kernel refuses a new file or the rename; and the
// stream whose bytes reach the output.
#include "common/output/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>

#include "common/output/output_ways.h"
#include "common/process.h"

namespace suite {

using namespace output;

namespace {

constexpr int kMostLinks = 40;   // as many as the kernel follows in one path
constexpr off_t kWritebackStretch = 1 << 20;

// Defined below the class: where the last part of the path leads, what the kernel opens
// there, and the way that follows.
int follow_last_part(target& t, std::string path, pid_t& process, int& fd);
int open_named(target& t, const std::string& path);
way classify(const target& t);
int open_way(target& t);
int prepare_way(target& t);
int install_way(target& t);

}  // namespace

// The output, and what the stream's writes reach: the descriptor, the first error they met.
struct output_file::state {
    state(os& sys, const std::string& path) : out(sys), blamed(path) {}
    output::target out;
    std::string blamed;
    int error = 0;
    bool dropping = false;   // discard(): the stream's last bytes go nowhere
    off_t written = 0;
    off_t handed_to_disk = 0;
};

output_file::output_file(std::string path, os& sys)
    : path_(std::move(path)), state_(std::make_unique<state>(sys, path_)) {}

output_file::~output_file() {
    discard();
}

const std::string& output_file::blamed() const {
    return state_->blamed;
}

int output_file::open() {
    target& t = state_->out;
    pid_t process = 0;
    int fd = -1;
    int error = follow_last_part(t, path_, process, fd);
    if (error == 0)
        error = fd >= 0 ? open_descriptor_path(t, path_, process, fd) : open_named(t, path_);
    if (error == 0)
        error = open_way(t);
    if (error != 0 && !t.content_place.empty())
        state_->blamed = t.content_place;
    if (error == 0)
        stream_ = fopencookie(state_.get(), "w", {nullptr, &write_to_sink, nullptr, nullptr});
    if (error == 0 && stream_ == nullptr)
        error = last_error();
    if (error != 0)
        discard();
    return error;
}

// Every byte goes to the descriptor, or its first error is kept. As the stream's contract
// asks, the count of bytes taken comes back, 0 on an error.
ssize_t output_file::write_to_sink(void* cookie, const char* data, std::size_t size) {
    state& s = *static_cast<state*>(cookie);
    if (s.dropping)
        return static_cast<ssize_t>(size);
    if (s.error == 0) {
        s.error = s.out.sys.write(s.out.stream_fd(), data, size);
        // A private file that fills is the fault of its folder, not of the output.
        if ((s.error == ENOSPC || s.error == EDQUOT) && !s.out.content_place.empty())
            s.blamed = s.out.content_place;
    }
    if (s.error != 0)
        return 0;
    s.written += static_cast<off_t>(size);
    // The disk starts on each finished stretch of a new file while the program goes on,
    // so that the sync before the rename has little left to wait for.
    if (s.out.how == way::replace_beside && s.written - s.handed_to_disk >= kWritebackStretch) {
        s.out.sys.start_writeback(s.out.stream_fd(), s.handed_to_disk, s.written - s.handed_to_disk);
        s.handed_to_disk = s.written;
    }
    return static_cast<ssize_t>(size);
}

// The stream's last bytes, then all that can fail before the target changes.
int output_file::prepare() {
    if (stream_ == nullptr)
        return EBADF;
    const bool flushed = std::fflush(stream_) == 0 && !std::ferror(stream_);
    std::fclose(stream_);
    stream_ = nullptr;
    int error = state_->error != 0 ? state_->error : flushed ? 0 : EIO;
    if (error == 0)
        error = prepare_way(state_->out);
    if (error != 0)
        discard();
    return error;
}

int output_file::install() {
    target& t = state_->out;
    if (stream_ != nullptr || (t.file.get() < 0 && t.content.get() < 0))
        return EBADF;
    const int error = install_way(t);
    if (!t.left_behind.empty()) {
        const std::string what = t.left_foreign ? "a file another process put in its place" : "what stood there before";
        report(path_, what + " is left beside it as " + quote_name(t.left_behind) +
                          (t.left_error != 0 ? std::string(": ") + std::strerror(t.left_error) : ""));
    }
    discard();
    return error;
}

int output_file::commit() {
    if (const int error = prepare())
        return error;
    return install();
}

bool output_file::same_target(const output_file& other) const {
    const target& a = state_->out;
    const target& b = other.state_->out;
    if (a.exists != b.exists)
        return false;
    // Two new files are the same only by the same name in the same folder.
    return a.exists ? same_file(a.info, b.info) : same_file(a.folder_info, b.folder_info) && a.name == b.name;
}

void output_file::discard() {
    if (stream_ != nullptr) {
        state_->dropping = true;
        std::fclose(stream_);
        stream_ = nullptr;
    }
    target& t = state_->out;
    drop_beside(t);
    t.file = descriptor();
    t.folder = descriptor();
    t.content = descriptor();
    t.folder_to_sync = descriptor();
}

namespace {

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// Whether the entry `name` of `folder` is the link of a process's descriptor: the kernel
// names such a folder /proc/PID/fd or /proc/PID/task/TID/fd. Without /proc there is none.
int descriptor_link(os& sys, const descriptor& folder, const std::string& name, pid_t& process, int& fd) {
    std::string where;
    const int error = sys.read_link(AT_FDCWD, ("/proc/self/fd/" + std::to_string(folder.get())).c_str(), where);
    if (error != 0)
        return error == ENOENT ? 0 : error;
    unsigned pid = 0, thread = 0, number = 0;
    int end = 0;
    const bool named = (std::sscanf(where.c_str(), "/proc/%u/fd%n", &pid, &end) == 1 ||
                        std::sscanf(where.c_str(), "/proc/%u/task/%u/fd%n", &pid, &thread, &end) == 2) &&
                       where.size() == static_cast<std::size_t>(end);
    const auto [rest, failed] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (named && failed == std::errc() && rest == name.data() + name.size() && number <= INT_MAX) {
        fd = static_cast<int>(number);
        process = static_cast<pid_t>(pid);
    }
    return 0;
}

// Where the last part of a path leads through symbolic links: the folder holding the
// final entry and its name, or the descriptor a /proc/PID/fd/N link names. The parts
// before the last are the kernel's to follow, magic links among them; links in the last
// part are read only to tell a descriptor path, and what is written is always what the
// kernel opens.
int follow_last_part(target& t, std::string path, pid_t& process, int& fd) {
    descriptor from(AT_FDCWD);
    for (int links = 0; links <= kMostLinks; ++links) {
        descriptor folder;
        if (const int error = t.sys.open(from.get(), folder_of(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0,
                                         folder.out()))
            return error;
        const std::string name = name_of(path);
        file_info entry;
        const int error = t.sys.stat(folder.get(), name.c_str(), false, entry);
        if (error != 0 && error != ENOENT)
            return error;
        // A missing entry can be a descriptor link too: /dev/fd/N of a closed N.
        const bool link = error == 0 && S_ISLNK(entry.mode);
        if (link || error == ENOENT)
            if (const int failed = descriptor_link(t.sys, folder, name, process, fd))
                return failed;
        if (fd >= 0)
            return 0;
        if (!link) {
            t.folder = std::move(folder);
            t.name = name;
            t.exists = error == 0;
            return 0;
        }
        if (const int failed = t.sys.read_link(folder.get(), name.c_str(), path))
            return failed;
        from = std::move(folder);
    }
    return ELOOP;
}

// A name that was absent at the look-up must be absent still: a file that appeared is
// never written, whoever made it. In a shared sticky folder the kernel judges it first,
// through an open that may create, as it judges `>`.
int open_absent(target& t, const std::string& path) {
    descriptor appeared;
    int error = t.sys.open(AT_FDCWD, path.c_str(), O_PATH | O_CLOEXEC, 0, appeared.out());
    if (error != 0)
        return error == ENOENT ? 0 : error;
    if (t.folder_info.mode & S_ISVTX) {
        descriptor judged;
        error = t.sys.open(AT_FDCWD, path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666,
                           judged.out());
        if (error != 0 && error != ENXIO)   // ENXIO: a FIFO nobody reads
            return error;
    }
    return kChangedDuringRun;
}

// The kernel opens the target as `>` would, only without truncating it. (That the name
// still stands for the file it opened is checked when the content is put in place.)
int open_named(target& t, const std::string& path) {
    if (const int error = t.sys.stat(t.folder.get(), "", true, t.folder_info))
        return error;
    if (!t.exists)
        return open_absent(t, path);
    // In a shared sticky folder the kernel judges a file another user owns only for an
    // open that may create it, as `>` does.
    const int create = (t.folder_info.mode & S_ISVTX) ? O_CREAT : 0;
    int error = t.sys.open(AT_FDCWD, path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | create, 0666, t.file.out());
    if (error == ENOENT) {   // gone since the look-up: a new file
        t.exists = false;
        return 0;
    }
    return error != 0 ? error : t.sys.stat(t.file.get(), "", true, t.info);
}

// What the kernel opened decides the way, once.
way classify(const target& t) {
    if (t.through_descriptor || (t.exists && !S_ISREG(t.info.mode)))
        return way::write_through;
    // A name the kernel will not rename over, or one made beside it could not go again.
    if (t.exists && (t.info.mount_root || t.folder_info.fixed_names))
        return way::copy_over;
    return way::replace_beside;
}

// What keeps a new file from standing in the folder or carrying the old one's owner,
// flags or attributes: the target is then written over in place rather than refused or
// opened wider.
bool cannot_carry(int error) {
    return error == EPERM || error == EACCES || error == EROFS || error == EINVAL || error == EOPNOTSUPP ||
           error == ENOTTY;
}

int open_way(target& t) {
    t.how = classify(t);
    switch (t.how) {
    case way::write_through:
        return 0;
    case way::copy_over:
        return open_over(t);
    case way::replace_beside:
        break;
    }
    const int error = open_beside(t);
    if (!t.exists || !cannot_carry(error))
        return error;
    drop_beside(t);
    t.content = descriptor();
    t.how = way::copy_over;   // a new file could not stand for the old one
    return open_over(t);
}

int prepare_way(target& t) {
    switch (t.how) {
    case way::write_through:
        return 0;
    case way::replace_beside:
        return prepare_beside(t);
    case way::copy_over:
        return prepare_over(t);
    }
    return EINVAL;
}

int install_way(target& t) {
    switch (t.how) {
    case way::write_through:
        return 0;
    case way::copy_over:
        return install_over(t);
    case way::replace_beside:
        break;
    }
    const int error = install_beside(t);
    if (!t.exists || !rename_refused(error))
        return error;
    drop_beside(t);
    t.how = way::copy_over;   // the kernel refuses the rename: the private content is copied over
    const int failed = prepare_over(t);
    return failed != 0 ? failed : install_over(t);
}

}  // namespace

namespace output {

bool rename_refused(int error) {
    return error == EXDEV || error == EBUSY || error == EPERM;
}

int stands_as_opened(target& t) {
    file_info entry;
    const int error = t.sys.stat(t.folder.get(), t.name.c_str(), false, entry);
    if (error != 0)
        return error == ENOENT ? kChangedDuringRun : error;
    return same_file(entry, t.info) ? 0 : kChangedDuringRun;
}

}  // namespace output
}  // namespace suite
