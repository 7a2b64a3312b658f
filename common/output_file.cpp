// Safe replacement of an output file: a temporary file beside it, synced and renamed.
#include "common/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/process.h"

namespace suite {
namespace {

constexpr int kMostLinks = 40;        // as the kernel follows at most
constexpr int kMostNameTries = 100;
constexpr off_t kWritebackStretch = 1 << 20;

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a path names once symbolic links are followed, and what stands there; a
// path that names nothing yet is a file to create (exists false).
int resolve(const std::string& path, std::string& target, struct stat& info, bool& exists) {
    target = path;
    for (int hops = 0; hops <= kMostLinks; ++hops) {
        if (lstat(target.c_str(), &info) != 0) {
            exists = false;
            return errno == ENOENT ? 0 : errno;
        }
        exists = true;
        if (!S_ISLNK(info.st_mode))
            return 0;
        char link[PATH_MAX];
        const ssize_t size = readlink(target.c_str(), link, sizeof link);
        if (size < 0)
            return errno;
        if (static_cast<std::size_t>(size) == sizeof link)
            return ENAMETOOLONG;
        std::string next(link, static_cast<std::size_t>(size));
        target = next.front() == '/' ? next : directory_of(target) + "/" + next;
    }
    return ELOOP;
}

int sync_directory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int error = fsync(fd) == 0 ? 0 : errno;
    // Some file systems cannot sync a folder at all; that is no failure of the run.
    if (error == EINVAL)
        error = 0;
    // A folder opened for reading has nothing to lose on close.
    ::close(fd);
    return error;
}

}  // namespace

output_file::~output_file() {
    discard();
}

int output_file::open() {
    struct stat info {};
    bool exists = false;
    if (const int error = resolve(path_, target_, info, exists))
        return error;
    if (exists && !S_ISREG(info.st_mode))
        return open_direct(O_WRONLY | O_CREAT | O_TRUNC);
    replaces_ = exists;
    old_mode_ = info.st_mode & 07777;
    old_owner_ = info.st_uid;
    old_group_ = info.st_gid;
    directory_ = directory_of(target_);
    const int error = open_temporary();
    // A folder where no file may be created, around a file that may be written: the
    // file is written in place, the one case where a failed run loses the old content.
    if ((error == EACCES || error == EPERM) && exists && open_direct(O_WRONLY | O_TRUNC) == 0)
        return 0;
    return error;
}

int output_file::open_direct(int flags) {
    sink_.fd = ::open(target_.c_str(), flags | O_CLOEXEC, 0666);
    if (sink_.fd < 0)
        return errno;
    mode_ = mode::direct;
    return attach_stream();
}

int output_file::open_temporary() {
    sink_.fd = ::open(directory_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (sink_.fd >= 0) {
        mode_ = mode::unnamed;
        return attach_stream();
    }
    // File systems without unnamed files answer one of these.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return errno;
    const std::string stem = directory_ + "/." + base_of(target_) + "." + std::to_string(getpid()) + ".";
    for (int k = 0; k < kMostNameTries; ++k) {
        const std::string name = stem + std::to_string(k);
        sink_.fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (sink_.fd >= 0) {
            temporary_ = name;
            mode_ = mode::named;
            return attach_stream();
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

// The stream's buffer drains here: every byte is written or the first error is kept.
ssize_t output_file::write_to_sink(void* cookie, const char* data, std::size_t size) {
    sink& out = *static_cast<sink*>(cookie);
    if (out.dropping)
        return static_cast<ssize_t>(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t wrote = ::write(out.fd, data + done, size - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            if (out.error == 0)
                out.error = wrote < 0 ? errno : EIO;
            return -1;
        }
        done += static_cast<std::size_t>(wrote);
    }
    out.written += static_cast<off_t>(done);
    // The disk starts on each finished stretch while the program goes on, so that the
    // sync before the rename has little left to wait for. Only a hint: commit's fsync
    // is what counts, so a failure here is no error.
    if (out.early_writeback && out.written - out.handed_to_disk >= kWritebackStretch) {
        sync_file_range(out.fd, out.handed_to_disk, out.written - out.handed_to_disk, SYNC_FILE_RANGE_WRITE);
        out.handed_to_disk = out.written;
    }
    return static_cast<ssize_t>(done);
}

int output_file::attach_stream() {
    sink_.early_writeback = mode_ != mode::direct;
    stream_ = fopencookie(&sink_, "w", {nullptr, &output_file::write_to_sink, nullptr, nullptr});
    if (stream_ == nullptr) {
        const int error = errno;
        ::close(sink_.fd);
        remove_temporary();
        mode_ = mode::closed;
        return error;
    }
    return 0;
}

// Hands the stream's last bytes to the file; the first write error of the whole run.
int output_file::finish_stream() {
    const bool flushed = std::fflush(stream_) == 0 && !std::ferror(stream_);
    std::fclose(stream_);
    stream_ = nullptr;
    if (sink_.error != 0)
        return sink_.error;
    return flushed ? 0 : EIO;
}

// An unnamed file gets a name beside the target, to be renamed over it.
int output_file::name_unnamed() {
    const std::string proc = "/proc/self/fd/" + std::to_string(sink_.fd);
    const std::string stem = directory_ + "/." + base_of(target_) + "." + std::to_string(getpid()) + ".";
    for (int k = 0; k < kMostNameTries; ++k) {
        const std::string name = stem + std::to_string(k);
        int linked = linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
        // Without /proc, the descriptor itself (which needs more privilege).
        if (linked != 0 && errno == ENOENT)
            linked = linkat(sink_.fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH);
        if (linked == 0) {
            temporary_ = name;
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

// Sync, permission bits, a name, close: everything that can fail before the rename.
int output_file::put_in_place() {
    if (fsync(sink_.fd) != 0)
        return errno;
    if (replaces_) {
        // Only root may give the file back to another owner; anyone else keeps it.
        if (geteuid() == 0 && fchown(sink_.fd, old_owner_, old_group_) != 0)
            return errno;
        if (fchmod(sink_.fd, old_mode_) != 0)
            return errno;
    }
    if (mode_ == mode::unnamed)
        return name_unnamed();
    return 0;
}

int output_file::commit() {
    if (mode_ == mode::closed)
        return EBADF;
    int error = finish_stream();
    if (error == 0 && mode_ != mode::direct)
        error = put_in_place();
    if (::close(sink_.fd) != 0 && error == 0)
        error = errno;
    const bool temporary = mode_ != mode::direct;
    mode_ = mode::closed;
    if (error == 0 && temporary && std::rename(temporary_.c_str(), target_.c_str()) != 0)
        error = errno;
    if (error != 0) {
        remove_temporary();
        return error;
    }
    temporary_.clear();
    return temporary ? sync_directory(directory_) : 0;
}

void output_file::discard() {
    if (mode_ == mode::closed)
        return;
    sink_.dropping = true;
    std::fclose(stream_);
    stream_ = nullptr;
    ::close(sink_.fd);
    mode_ = mode::closed;
    remove_temporary();
}

void output_file::remove_temporary() {
    if (!temporary_.empty())
        ::unlink(temporary_.c_str());
    temporary_.clear();
}

namespace {

// Compares an output with an input whose status `stat_input` fetches (0 or the error).
template <typename StatInput>
bool is_own_input_by(const char* output, const char* input_name, StatInput stat_input) {
    const auto cannot_compare = [&](int error) {
        report(output, std::string("cannot be compared with the input file ") + input_name + ": " +
                           std::strerror(error) + "; not written");
        return true;
    };
    struct stat out {};
    struct stat in {};
    if (stat(output, &out) != 0)
        return errno == ENOENT ? false : cannot_compare(errno);
    if (const int error = stat_input(in))
        return error == ENOENT ? false : cannot_compare(error);
    if (out.st_dev != in.st_dev || out.st_ino != in.st_ino)
        return false;
    report(output, std::string("is the input file ") + input_name + " itself; not overwritten");
    return true;
}

}  // namespace

bool is_own_input(const char* output, std::FILE* input, const char* input_name) {
    return is_own_input_by(output, input_name, [input](struct stat& in) {
        // An open input is never missing: any failure refuses.
        return fstat(fileno(input), &in) == 0 ? 0 : (errno == ENOENT ? EIO : errno);
    });
}

bool is_own_input(const char* output, const char* input_name) {
    return is_own_input_by(output, input_name,
                           [input_name](struct stat& in) { return stat(input_name, &in) == 0 ? 0 : errno; });
}

}  // namespace suite
