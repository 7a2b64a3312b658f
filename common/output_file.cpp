// Safe replacement of an output file: the kernel opens the target; a temporary file
// beside it is synced and renamed over it, or a finished copy is written over it.
#include "common/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/process.h"

namespace suite {
namespace {

constexpr int kMostNameTries = 100;
constexpr off_t kWritebackStretch = 1 << 20;
constexpr int kMostDescriptors = 1024;   // how far a descriptor behind a path is looked for
constexpr std::size_t kRandomLetters = 12;
constexpr char kAccessAcl[] = "system.posix_acl_access";

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

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The errors that say a file system has no unnamed files.
bool no_unnamed_files(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// A hidden name of fixed length, whatever the target's, that nobody can guess.
std::string random_name() {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char bytes[kRandomLetters];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // No entropy yet, early at boot: the clock still makes each try differ.
        timespec now {};
        clock_gettime(CLOCK_REALTIME, &now);
        auto state = static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 30) ^
                     static_cast<std::uint64_t>(getpid());
        for (unsigned char& byte : bytes) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            byte = static_cast<unsigned char>(state >> 56);
        }
    }
    std::string name = ".tmp-";
    for (const unsigned char byte : bytes)
        name += kLetters[byte % (sizeof kLetters - 1)];
    return name;
}

// Named temporary files, which SIGTERM, SIGINT and SIGHUP remove before the signal's
// own action ends the run. A slot is filled before it is armed, so the handler never
// sees half a name.
struct pending_name {
    int folder = -1;
    char name[32] = {};
    volatile std::sig_atomic_t armed = 0;
};
pending_name pending_names[4];

void remove_pending_names(int signal) {
    for (const pending_name& pending : pending_names)
        if (pending.armed)
            unlinkat(pending.folder, pending.name, 0);
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    raise(signal);   // delivered once the handler returns, so the status tells the signal
}

void catch_signals_once() {
    static bool caught = false;
    if (caught)
        return;
    caught = true;
    struct sigaction action {};
    action.sa_handler = remove_pending_names;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&action.sa_mask, signal);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction old {};
        // A signal the caller ignores (nohup, say) stays ignored.
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

int arm(int folder, const std::string& name) {
    catch_signals_once();
    for (int slot = 0; slot < static_cast<int>(std::size(pending_names)); ++slot) {
        pending_name& pending = pending_names[slot];
        if (pending.armed || name.size() >= sizeof pending.name)
            continue;
        std::memcpy(pending.name, name.c_str(), name.size() + 1);
        pending.folder = folder;
        pending.armed = 1;
        return slot;
    }
    return -1;
}

void disarm(int slot) {
    if (slot >= 0)
        pending_names[slot].armed = 0;
}

// The lowest descriptor other than `fd` that is open on the same file, or -1.
int descriptor_of_same_file(int fd) {
    struct stat mine {};
    if (fstat(fd, &mine) != 0)
        return -1;
    for (int other = 0; other < kMostDescriptors; ++other) {
        struct stat info {};
        if (other != fd && fstat(other, &info) == 0 && same_file(info, mine))
            return other;
    }
    return -1;
}

// Opens the folder of `path` when its entry there is `target`; -1 otherwise.
int open_folder_holding(const std::string& path, const struct stat& target) {
    const int folder = ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return -1;
    struct stat entry {};
    if (fstatat(folder, base_of(path).c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 && same_file(entry, target))
        return folder;
    ::close(folder);
    return -1;
}

// The path the kernel reached an open file by, or "" where it will not say.
std::string kernel_path(int fd) {
    char path[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t size = readlink(link.c_str(), path, sizeof path);
    if (size <= 0 || static_cast<std::size_t>(size) == sizeof path || path[0] != '/')
        return "";
    return std::string(path, static_cast<std::size_t>(size));
}

// fs.protected_regular or fs.protected_fifos; a setting that cannot be read is off,
// the kernel's own default.
int protection_level(const char* setting) {
    const int fd = ::open((std::string("/proc/sys/fs/") + setting).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char digit = '0';
    const bool read_one = read(fd, &digit, 1) == 1;
    ::close(fd);
    return read_one && digit >= '0' && digit <= '9' ? digit - '0' : 0;
}

int copy_attribute(int from, int to, const char* name) {
    const ssize_t size = fgetxattr(from, name, nullptr, 0);
    if (size < 0)
        return errno == ENODATA ? 0 : errno;
    std::vector<char> value(static_cast<std::size_t>(size));
    const ssize_t got = fgetxattr(from, name, value.data(), value.size());
    if (got < 0)
        return errno;
    return fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0) == 0 ? 0 : errno;
}

// Every extended attribute the caller may read, the access control list among them; a
// file system without attributes has none to copy.
int copy_attributes(int from, int to) {
    const ssize_t size = flistxattr(from, nullptr, 0);
    if (size < 0)
        return errno == EOPNOTSUPP ? 0 : errno;
    std::vector<char> names(static_cast<std::size_t>(size));
    const ssize_t listed = size == 0 ? 0 : flistxattr(from, names.data(), names.size());
    if (listed < 0)
        return errno;
    bool has_acl = false;
    for (const char* name = names.data(); name < names.data() + listed; name += std::strlen(name) + 1) {
        has_acl = has_acl || std::strcmp(name, kAccessAcl) == 0;
        if (const int error = copy_attribute(from, to, name))
            return error;
    }
    // A folder's default list must not give the new file access the old one did not give.
    if (!has_acl && fremovexattr(to, kAccessAcl) != 0 && errno != ENODATA && errno != EOPNOTSUPP)
        return errno;
    return 0;
}

// What keeps a new file from carrying the old one's owner or attributes, so that the
// target is written in place instead.
bool cannot_carry(int error) {
    return error == EPERM || error == EACCES || error == EINVAL || error == EOPNOTSUPP;
}

int sync_folder(int folder) {
    // Some file systems cannot sync a folder at all; that is no failure of the run.
    return fsync(folder) == 0 || errno == EINVAL ? 0 : errno;
}

}  // namespace

bool sticky_folder_refuses(const struct stat& folder, const struct stat& file, uid_t user,
                           int protected_regular, int protected_fifos) {
    const bool regular = S_ISREG(file.st_mode);
    const int level = regular ? protected_regular : S_ISFIFO(file.st_mode) ? protected_fifos : 0;
    if (!(folder.st_mode & S_ISVTX) || level == 0)
        return false;
    // The file's owner is the user or the folder's owner: nobody else planted it.
    if (file.st_uid == folder.st_uid || file.st_uid == user)
        return false;
    return (folder.st_mode & S_IWOTH) != 0 || ((folder.st_mode & S_IWGRP) != 0 && level >= 2);
}

output_file::~output_file() {
    discard();
}

int output_file::open() {
    int error = open_target();
    if (error == 0)
        error = through_descriptor_ ? open_through_descriptor() : open_existing();
    else if (error == ENOENT)
        error = open_missing();
    if (error != 0)
        discard();
    return error;
}

// The kernel opens the target as `>` would, only without truncating it, and tells a
// path through one of the process's descriptors (a magic link of /proc) apart.
int output_file::open_target() {
    constexpr int kFlags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
    open_how how {};
    how.flags = kFlags;
    how.resolve = RESOLVE_NO_MAGICLINKS;
    target_fd_ = static_cast<int>(syscall(SYS_openat2, AT_FDCWD, path_.c_str(), &how, sizeof how));
    if (target_fd_ >= 0)
        return 0;
    const int refused = errno;
    // ENOSYS and EPERM: a kernel or a sandbox without openat2.
    if (refused != ELOOP && refused != ENOSYS && refused != EPERM)
        return refused;
    target_fd_ = ::open(path_.c_str(), kFlags);
    if (target_fd_ < 0)
        return errno;
    // Without openat2 a descriptor's path is known by the descriptor's file.
    through_descriptor_ = refused == ELOOP || descriptor_of_same_file(target_fd_) >= 0;
    return 0;
}

// The target does not exist yet, or is a link to nothing.
int output_file::open_missing() {
    name_ = base_of(path_);
    if (name_.empty())
        return ENOENT;
    folder_fd_ = ::open(directory_of(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_fd_ < 0)
        return errno;
    struct stat entry {};
    if (fstatat(folder_fd_, name_.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0) {
        // A link to nothing: the kernel creates the file it points to, as `>` does.
        ::close(folder_fd_);
        folder_fd_ = -1;
        target_fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
        return target_fd_ < 0 ? errno : open_existing();
    }
    if (errno != ENOENT)
        return errno;
    if (fstat(folder_fd_, &target_info_) != 0)
        return errno;
    if (const int error = open_temporary())
        return error;
    return attach_stream(mode::replace);
}

int output_file::open_existing() {
    if (fstat(target_fd_, &target_info_) != 0)
        return errno;
    replaces_ = true;
    const bool found = find_folder();
    if (found)
        if (const int error = check_sticky_rule())
            return error;
    if (!S_ISREG(target_info_.st_mode)) {
        sink_.fd = target_fd_;
        return attach_stream(mode::direct);
    }
    if (!found)
        return open_in_place();
    int error = open_temporary();
    if (error == 0)
        error = carry_metadata();
    // A folder that takes no new file, or an owner or attributes the new file cannot
    // carry: the target is written in place rather than refused or opened wider.
    if (cannot_carry(error)) {
        drop_temporary();
        return open_in_place();
    }
    return error != 0 ? error : attach_stream(mode::replace);
}

// Written through the descriptor the path names, so that its offset and its O_APPEND
// hold; such a file is never truncated or replaced.
int output_file::open_through_descriptor() {
    const int same = descriptor_of_same_file(target_fd_);
    if (same >= 0) {
        const int copy = fcntl(same, F_DUPFD_CLOEXEC, 3);
        if (copy < 0)
            return errno;
        ::close(target_fd_);
        target_fd_ = copy;
    }
    if (fstat(target_fd_, &target_info_) != 0)
        return errno;
    // Another process's descriptor: its file is added to, never written over.
    if (same < 0 && S_ISREG(target_info_.st_mode) && fcntl(target_fd_, F_SETFL, O_APPEND) != 0)
        return errno;
    replaces_ = true;
    sink_.fd = target_fd_;
    return attach_stream(mode::direct);
}

// The folder holding the name the kernel reached the target by: the path's own folder
// when its last part is no link, else the one the kernel reports. Either counts only
// while its entry is still the target.
bool output_file::find_folder() {
    std::string path = path_;
    folder_fd_ = open_folder_holding(path, target_info_);
    if (folder_fd_ < 0) {
        path = kernel_path(target_fd_);
        if (path.empty())
            return false;
        folder_fd_ = open_folder_holding(path, target_info_);
    }
    if (folder_fd_ < 0)
        return false;
    name_ = base_of(path);
    return true;
}

// `>` onto a file another user planted in a shared sticky folder is refused there.
int output_file::check_sticky_rule() const {
    struct stat folder {};
    if (fstat(folder_fd_, &folder) != 0)
        return errno;
    if (!(folder.st_mode & S_ISVTX))
        return 0;
    const bool refused = sticky_folder_refuses(folder, target_info_, geteuid(), protection_level("protected_regular"),
                                               protection_level("protected_fifos"));
    return refused ? EACCES : 0;
}

int output_file::open_temporary() {
    sink_.fd = openat(folder_fd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (sink_.fd >= 0 || !no_unnamed_files(errno))
        return sink_.fd >= 0 ? 0 : errno;
    // A named file instead, private to its owner until it is whole.
    return take_temporary_name([this](const char* name) {
        sink_.fd = openat(folder_fd_, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        return sink_.fd >= 0;
    });
}

// Tries random names in the target's folder until `take` makes one stand (true) or
// fails otherwise than on a name that is taken; the name is then removed by a signal.
template <typename Take>
int output_file::take_temporary_name(Take take) {
    for (int k = 0; k < kMostNameTries; ++k) {
        const std::string name = random_name();
        if (take(name.c_str())) {
            temporary_ = name;
            slot_ = arm(folder_fd_, name);
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

// The temporary file takes the old one's owner and attributes from the start; its mode
// follows once it is whole (set_mode).
int output_file::carry_metadata() {
    const struct stat& old = target_info_;
    struct stat now {};
    if (fstat(sink_.fd, &now) != 0)
        return errno;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && fchown(sink_.fd, old.st_uid, old.st_gid) != 0)
        return errno;
    return copy_attributes(target_fd_, sink_.fd);
}

// The old file's mode, or for a new one what an ordinary create gives. It comes after
// the owner, whose change clears the set-id bits, and sets an access list's mask.
int output_file::set_mode() {
    if (!replaces_ && temporary_.empty())
        return 0;   // an unnamed new file was created with it
    mode_t mode = target_info_.st_mode & 07777;
    if (!replaces_) {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    return fchmod(sink_.fd, mode) == 0 ? 0 : errno;
}

// The new content waits in a private file in TMPDIR, to be copied over the target once
// it is whole.
int output_file::open_in_place() {
    const char* folder = std::getenv("TMPDIR");
    if (folder == nullptr || *folder == '\0')
        folder = "/tmp";
    sink_.fd = ::open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (sink_.fd < 0 && no_unnamed_files(errno)) {
        std::string name = std::string(folder) + "/" + random_name() + "XXXXXX";
        sink_.fd = mkostemp(name.data(), O_CLOEXEC);
        if (sink_.fd >= 0)
            ::unlink(name.c_str());
    }
    return sink_.fd < 0 ? errno : attach_stream(mode::in_place);
}

// The stream's buffer drains here: every byte is written or the first error is kept.
// As the stream's contract asks, the count of bytes taken comes back, 0 on an error.
ssize_t output_file::write_to_sink(void* cookie, const char* data, std::size_t size) {
    sink& out = *static_cast<sink*>(cookie);
    if (out.dropping)
        return static_cast<ssize_t>(size);
    if (out.error != 0)
        return 0;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t wrote = ::write(out.fd, data + done, size - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            out.error = wrote < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(wrote);
    }
    out.written += static_cast<off_t>(done);
    // The disk starts on each finished stretch while the program goes on, so that the
    // sync before the rename has little left to wait for. Only a hint: the fsync is
    // what counts, so a failure here is no error.
    if (out.early_writeback && out.written - out.handed_to_disk >= kWritebackStretch) {
        sync_file_range(out.fd, out.handed_to_disk, out.written - out.handed_to_disk, SYNC_FILE_RANGE_WRITE);
        out.handed_to_disk = out.written;
    }
    return static_cast<ssize_t>(done);
}

int output_file::attach_stream(mode how) {
    sink_.early_writeback = how == mode::replace;
    stream_ = fopencookie(&sink_, "w", {nullptr, &output_file::write_to_sink, nullptr, nullptr});
    if (stream_ == nullptr)
        return last_error();
    mode_ = how;
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

// The synced temporary file gets a name beside the target, to be renamed over it.
int output_file::name_temporary() {
    if (!temporary_.empty())
        return 0;
    const std::string proc = "/proc/self/fd/" + std::to_string(sink_.fd);
    return take_temporary_name([&](const char* name) {
        if (linkat(AT_FDCWD, proc.c_str(), folder_fd_, name, AT_SYMLINK_FOLLOW) == 0)
            return true;
        // Without /proc, the descriptor itself (which needs more privilege).
        return errno == ENOENT && linkat(sink_.fd, "", folder_fd_, name, AT_EMPTY_PATH) == 0;
    });
}

int output_file::prepare() {
    if (stream_ == nullptr)
        return EBADF;
    int error = finish_stream();
    if (error == 0 && mode_ == mode::replace) {
        error = set_mode();
        if (error == 0)
            error = fsync(sink_.fd) == 0 ? 0 : errno;
        if (error == 0)
            error = name_temporary();
        if (::close(sink_.fd) != 0 && error == 0)
            error = errno;
        sink_.fd = -1;
    }
    if (error != 0)
        discard();
    return error;
}

// Just before the rename, the name must still stand for the file the kernel opened
// (or for nothing, when there was none): a name another process swapped is left alone.
int output_file::install_replacement() {
    if (replaces_) {
        struct stat entry {};
        if (fstatat(folder_fd_, name_.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? kChangedDuringRun : errno;
        if (!same_file(entry, target_info_))
            return kChangedDuringRun;
        if (renameat(folder_fd_, temporary_.c_str(), folder_fd_, name_.c_str()) != 0)
            return errno;
    } else if (renameat2(folder_fd_, temporary_.c_str(), folder_fd_, name_.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST)
            return kChangedDuringRun;
        if (errno != EINVAL)
            return errno;
        // A file system that cannot refuse to replace: the name is looked at just before.
        struct stat entry {};
        if (fstatat(folder_fd_, name_.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0)
            return kChangedDuringRun;
        if (errno != ENOENT || renameat(folder_fd_, temporary_.c_str(), folder_fd_, name_.c_str()) != 0)
            return errno;
    }
    disarm(slot_);
    slot_ = -1;
    temporary_.clear();
    return sync_folder(folder_fd_);
}

// The finished content over the target from its start; then the rest of the old
// content is cut off and the target synced.
int output_file::copy_over_target() {
    char buffer[1 << 16];
    off_t at = 0;
    for (;;) {
        const ssize_t got = pread(sink_.fd, buffer, sizeof buffer, at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        if (got == 0)
            break;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = pwrite(target_fd_, buffer + done, static_cast<std::size_t>(got - done), at + done);
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                return put < 0 ? errno : EIO;
            done += put;
        }
        at += got;
    }
    if (ftruncate(target_fd_, at) != 0)
        return errno;
    return fsync(target_fd_) == 0 ? 0 : errno;
}

int output_file::install() {
    if (mode_ == mode::closed || stream_ != nullptr)
        return EBADF;
    int error = 0;
    if (mode_ == mode::replace)
        error = install_replacement();
    else if (mode_ == mode::in_place)
        error = copy_over_target();
    discard();
    return error;
}

int output_file::commit() {
    if (const int error = prepare())
        return error;
    return install();
}

bool output_file::same_target(const output_file& other) const {
    if (replaces_ != other.replaces_ || !same_file(target_info_, other.target_info_))
        return false;
    // Two new files are the same only by the same name in the same folder.
    return replaces_ || name_ == other.name_;
}

void output_file::discard() {
    if (stream_ != nullptr) {
        sink_.dropping = true;
        std::fclose(stream_);
        stream_ = nullptr;
    }
    drop_temporary();
    if (target_fd_ >= 0)
        ::close(target_fd_);
    if (folder_fd_ >= 0)
        ::close(folder_fd_);
    target_fd_ = folder_fd_ = -1;
    mode_ = mode::closed;
}

void output_file::drop_temporary() {
    if (sink_.fd >= 0 && sink_.fd != target_fd_)
        ::close(sink_.fd);
    sink_.fd = -1;
    if (!temporary_.empty()) {
        disarm(slot_);
        unlinkat(folder_fd_, temporary_.c_str(), 0);
    }
    slot_ = -1;
    temporary_.clear();
}

namespace {

// Compares an output with an input whose status `stat_input` fetches (0 or the error).
template <typename StatInput>
bool is_own_input_by(const char* output, const char* input_name, StatInput stat_input) {
    const auto cannot_compare = [&](int error) {
        report(output, "cannot be compared with the input file " + quote_name(input_name) + ": " +
                           std::strerror(error) + "; not written");
        return true;
    };
    struct stat out {};
    struct stat in {};
    if (stat(output, &out) != 0)
        return errno == ENOENT ? false : cannot_compare(errno);
    if (const int error = stat_input(in))
        return error == ENOENT ? false : cannot_compare(error);
    if (!same_file(out, in))
        return false;
    report(output, "is the input file " + quote_name(input_name) + " itself; not overwritten");
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
