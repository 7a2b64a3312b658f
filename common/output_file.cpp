// Which way an output is written, decided once from what the kernel opened; and the
// stream whose bytes reach it.
#include "common/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>

#include "common/output_ways.h"
#include "common/process.h"

namespace suite {

using namespace output;

namespace {

constexpr int kMostLinks = 40;   // as many as the kernel follows in one path
constexpr off_t kWritebackStretch = 1 << 20;

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// Where the last part of a path leads through symbolic links: the folder holding the
// final entry and its name, or the descriptor a /proc/PID/fd/N link names.
struct last_part {
    descriptor folder;
    std::string name;
    bool exists = false;
    pid_t process = 0;
    int fd = -1;
};

// Whether the entry `name` of `folder` is the link of a process's descriptor: the kernel
// names such a folder /proc/PID/fd or /proc/PID/task/TID/fd. Without /proc there is none.
int descriptor_link(os& sys, const descriptor& folder, const std::string& name, last_part& last) {
    std::string where;
    const int error = sys.read_link(AT_FDCWD, ("/proc/self/fd/" + std::to_string(folder.get())).c_str(), where);
    if (error != 0)
        return error == ENOENT ? 0 : error;
    unsigned process = 0, thread = 0, number = 0;
    int end = 0;
    const bool named = (std::sscanf(where.c_str(), "/proc/%u/fd%n", &process, &end) == 1 ||
                        std::sscanf(where.c_str(), "/proc/%u/task/%u/fd%n", &process, &thread, &end) == 2) &&
                       where.size() == static_cast<std::size_t>(end);
    const auto [rest, failed] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (named && failed == std::errc() && rest == name.data() + name.size() && number <= INT_MAX) {
        last.fd = static_cast<int>(number);
        last.process = static_cast<pid_t>(process);
    }
    return 0;
}

// The parts before the last are the kernel's to follow, magic links among them. Links
// in the last part are read only to tell a descriptor path; what is written is always
// what the kernel opens.
int follow_last_part(os& sys, std::string path, last_part& last) {
    descriptor from(AT_FDCWD);
    for (int links = 0; links <= kMostLinks; ++links) {
        descriptor folder;
        if (const int error = sys.open(from.get(), folder_of(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0,
                                       folder.out()))
            return error;
        const std::string name = name_of(path);
        file_info entry;
        const int error = sys.stat(folder.get(), name.c_str(), false, entry);
        if (error != 0 && error != ENOENT)
            return error;
        const bool link = error == 0 && S_ISLNK(entry.mode);
        if (const int failed = link || error == ENOENT ? descriptor_link(sys, folder, name, last) : 0)
            return failed;
        if (last.fd >= 0)
            return 0;
        if (!link) {
            last.folder = std::move(folder);
            last.name = name;
            last.exists = error == 0;
            return 0;
        }
        if (const int failed = sys.read_link(folder.get(), name.c_str(), path))
            return failed;
        from = std::move(folder);
    }
    return ELOOP;
}

// Through a descriptor of this process, or added to the file of another's.
int open_descriptor_path(os& sys, const std::string& path, const last_part& last, target& t) {
    t.how = way::write_through;
    t.exists = true;
    int flags = 0;
    int error = 0;
    if (last.process == getpid()) {
        // One open only to read fails at the first write, as it would for `>&N`.
        error = sys.control(last.fd, F_DUPFD_CLOEXEC, 3, t.file.out());
        return error != 0 ? error : sys.stat(t.file.get(), "", true, t.info);
    }
    error = sys.open(AT_FDCWD, path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC, 0, t.file.out());
    if (error == 0)
        error = sys.stat(t.file.get(), "", true, t.info);
    if (error == 0 && S_ISREG(t.info.mode))
        error = sys.control(t.file.get(), F_GETFL, 0, flags);
    if (error == 0 && S_ISREG(t.info.mode))
        error = sys.control(t.file.get(), F_SETFL, flags | O_APPEND, flags);
    return error;
}

// An existing regular file is replaced beside itself, unless it cannot be renamed over
// (a mount point); then it is copied over. Its name must still stand for it.
int place_existing(os& sys, const file_info& folder, const std::string& name, target& t) {
    file_info entry;
    const int error = sys.stat(t.folder.get(), name.c_str(), false, entry);
    if (error != 0 || !same_file(entry, t.info))
        return error == 0 || error == ENOENT ? kChangedDuringRun : error;
    const bool movable = !t.info.mount_root && t.info.device == folder.device;
    t.how = movable ? way::replace_beside : way::copy_over;
    return 0;
}

int open_named(os& sys, const std::string& path, last_part& last, target& t) {
    file_info folder;
    if (const int error = sys.stat(last.folder.get(), "", true, folder))
        return error;
    t.folder = std::move(last.folder);
    t.name = last.name;
    // In a shared sticky folder the kernel judges a file another user owns only for an
    // open that may create it, as `>` does.
    const int create = last.exists && (folder.mode & S_ISVTX) ? O_CREAT : 0;
    const int error = sys.open(AT_FDCWD, path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | create, 0666, t.file.out());
    if (error == ENOENT) {
        t.how = way::replace_beside;
        t.info = folder;
        return 0;
    }
    t.exists = true;
    if (error != 0)
        return error;
    if (const int failed = sys.stat(t.file.get(), "", true, t.info))
        return failed;
    if (!S_ISREG(t.info.mode)) {
        t.how = way::write_through;
        return 0;
    }
    return place_existing(sys, folder, t.name, t);
}

int classify(os& sys, const std::string& path, target& t) {
    last_part last;
    if (const int error = follow_last_part(sys, path, last))
        return error;
    return last.fd >= 0 ? open_descriptor_path(sys, path, last, t) : open_named(sys, path, last, t);
}

// What keeps a new file from standing in the folder or carrying the old one's owner or
// attributes.
bool cannot_carry(int error) {
    return error == EPERM || error == EACCES || error == EINVAL || error == EOPNOTSUPP;
}

}  // namespace

struct output_file::state {
    explicit state(os& sys) : sys(sys) { sink.sys = &sys; }
    os& sys;
    output::target target;
    output::sink sink;
    writer_ptr writer;
    bool dropping = false;   // discard(): the stream's last bytes go nowhere
};

output_file::output_file(std::string path, os& sys)
    : path_(std::move(path)), blamed_(path_), state_(std::make_unique<state>(sys)) {}

output_file::~output_file() {
    discard();
}

int output_file::open() {
    int error = classify(state_->sys, path_, state_->target);
    if (error == 0)
        error = open_way();
    if (error == 0) {
        stream_ = fopencookie(state_.get(), "w", {nullptr, &output_file::write_to_sink, nullptr, nullptr});
        error = stream_ == nullptr ? last_error() : 0;
    }
    if (error != 0)
        discard();
    return error;
}

int output_file::open_way() {
    state& s = *state_;
    if (s.target.how == way::write_through)
        return write_through(s.sys, s.target, s.sink, s.writer);
    if (s.target.how == way::replace_beside) {
        const int error = replace_beside(s.sys, s.target, s.sink, s.writer);
        // Written over in place rather than refused or opened wider.
        if (!s.target.exists || !cannot_carry(error))
            return error;
        s.target.how = way::copy_over;
    }
    return copy_over(s.sys, s.target, s.sink, s.writer, blamed_);
}

// Every byte goes to the sink, or its first error is kept. As the stream's contract asks,
// the count of bytes taken comes back, 0 on an error.
ssize_t output_file::write_to_sink(void* cookie, const char* data, std::size_t size) {
    state& s = *static_cast<state*>(cookie);
    sink& out = s.sink;
    if (s.dropping)
        return static_cast<ssize_t>(size);
    if (out.error == 0)
        out.error = out.sys->write(out.fd, data, size, -1);
    if (out.error != 0)
        return 0;
    out.written += static_cast<off_t>(size);
    // The disk starts on each finished stretch while the program goes on, so that the
    // sync before the rename has little left to wait for.
    if (out.early_writeback && out.written - out.handed_to_disk >= kWritebackStretch) {
        out.sys->start_writeback(out.fd, out.handed_to_disk, out.written - out.handed_to_disk);
        out.handed_to_disk = out.written;
    }
    return static_cast<ssize_t>(size);
}

// Hands the stream's last bytes to the sink; the first write error of the whole run.
int output_file::finish_stream() {
    const bool flushed = std::fflush(stream_) == 0 && !std::ferror(stream_);
    std::fclose(stream_);
    stream_ = nullptr;
    if (state_->sink.error != 0)
        return state_->sink.error;
    return flushed ? 0 : EIO;
}

int output_file::prepare() {
    if (stream_ == nullptr)
        return EBADF;
    int error = finish_stream();
    if (error == 0)
        error = state_->writer->prepare();
    if (error != 0)
        discard();
    return error;
}

int output_file::install() {
    if (stream_ != nullptr || state_->writer == nullptr)
        return EBADF;
    const int error = state_->writer->install();
    discard();
    return error;
}

int output_file::commit() {
    if (const int error = prepare())
        return error;
    return install();
}

bool output_file::same_target(const output_file& other) const {
    const target& a = state_->target;
    const target& b = other.state_->target;
    // Two new files are the same only by the same name in the same folder.
    return a.exists == b.exists && same_file(a.info, b.info) && (a.exists || a.name == b.name);
}

void output_file::discard() {
    if (stream_ != nullptr) {
        state_->dropping = true;
        std::fclose(stream_);
        stream_ = nullptr;
    }
    state_->writer.reset();
    state_->target.file = descriptor();
    state_->target.folder = descriptor();
}

}  // namespace suite
