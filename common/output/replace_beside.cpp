// Replacing the target by a new file made in its folder.
//
// Invariant: the target's name stands for the old file, untouched, until one rename puts
// the new file there, whole and synced; what that rename takes out must be the file first
// opened, or it is undone. A file the layer did not make or take out is never removed. The
// content gets a name only just before that rename, where the file system has unnamed
// files; a signal that ends the run removes a name while it holds the content. Installs
// of one target by this suite's programs take turns, so that each run's status tells the
// truth about its own content.
#include <linux/fs.h>
#include <linux/limits.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "common/output/output_ways.h"

namespace suite::output {
namespace {

constexpr int kMostNameTries = 100;
constexpr off_t kWritebackStretch = 1 << 20;
constexpr std::size_t kRandomLetters = 8;
constexpr char kTemporaryMark[] = ".tmp-";
constexpr char kAccessList[] = "system.posix_acl_access";
// A new content never inherits the right to run with privileges the old one was granted.
constexpr char kCapabilities[] = "security.capability";
// The inode flags (lsattr) a user may set on a file: synchronous, no atime, compressed,
// not compressed, no dump, no copy on write.
constexpr unsigned kUserFlags = FS_SYNC_FL | FS_NOATIME_FL | FS_COMPR_FL | FS_NOCOMP_FL | FS_NODUMP_FL | FS_NOCOW_FL;

// The errors that say a file system has no unnamed files, and no inode flags.
bool no_unnamed_files(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}
bool no_flags(int error) {
    return error == ENOTTY || error == EOPNOTSUPP || error == EINVAL || error == ENOSYS;
}

// A hidden name that tells whose content it holds, `.Records.bin.tmp-` and letters
// nobody can guess. Only early at boot does getrandom wait, for the kernel's first entropy.
std::string temporary_name(const std::string& output) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char bytes[kRandomLetters] = {};
    while (getrandom(bytes, sizeof bytes, 0) < 0 && errno == EINTR) {
    }
    std::string name(1, '.');
    name.append(output, 0, NAME_MAX - 1 - (sizeof kTemporaryMark - 1) - kRandomLetters);
    name.append(kTemporaryMark);
    for (const unsigned char byte : bytes)
        name += kLetters[byte % (sizeof kLetters - 1)];
    return name;
}

void forget_name(beside& b) {
    forget_temporary(b.slot);
    b.slot = -1;
    b.temporary.clear();
}

// Names until `make` makes one stand, or fails otherwise than on a name taken. The name
// is registered with what it holds, which a signal's clean-up checks before it removes it.
template <typename Make>
int take_name(target& t, beside& b, Make make) {
    for (int k = 0; k < kMostNameTries; ++k) {
        const std::string name = temporary_name(t.name);
        const signals_held held;
        const int made = make(name.c_str());
        if (made == EEXIST)
            continue;
        int error = b.content.fd < 0 ? made : t.sys.stat(b.content.fd, "", true, b.content_info);
        // A call can fail after it took effect (a reply lost on NFS): the name holds the content.
        if (error == 0 && made != 0 && holds(t, name, b.content_info) != 0)
            error = made;
        if (error != 0 && made == 0)
            t.sys.unlink(t.folder.fd, name.c_str());
        if (error == 0) {
            b.temporary = name;
            b.slot = remember_temporary(t.folder.fd, name.c_str(), b.content.fd, b.content_info);
        }
        return error;
    }
    return EEXIST;
}

// Flags the old file has and the new one lacks, or the other way round (a folder's own
// flags go to every new file in it). No copy on write only takes while the file is empty.
int carry_flags(target& t, beside& b) {
    unsigned old_flags = 0, new_flags = 0;
    int error = t.sys.get_flags(t.file.fd, old_flags);
    if (error == 0)
        error = t.sys.get_flags(b.content.fd, new_flags);
    if (error != 0)
        return no_flags(error) ? 0 : error;
    if ((old_flags & kUserFlags) == (new_flags & kUserFlags))
        return 0;
    return t.sys.set_flags(b.content.fd, (new_flags & ~kUserFlags) | (old_flags & kUserFlags));
}

// The old owner, inode flags, and every extended attribute the user may read but the
// capabilities, the access list among them; a file system without attributes has none.
int carry_old_file(target& t, beside& b) {
    const int fd = b.content.fd;
    int error = t.sys.change_owner(fd, t.info.owner, t.info.group);
    if (error == 0)
        error = carry_flags(t, b);
    if (error != 0)
        return error;
    std::string names;
    if ((error = t.sys.list_attributes(t.file.fd, names)) != 0)
        return error == EOPNOTSUPP ? 0 : error;
    bool has_list = false;
    for (const char* name = names.data(); name < names.data() + names.size(); name += std::strlen(name) + 1) {
        if (std::strcmp(name, kCapabilities) == 0)
            continue;
        has_list = has_list || std::strcmp(name, kAccessList) == 0;
        std::string value;
        if ((error = t.sys.get_attribute(t.file.fd, name, value)) != 0 ||
            (error = t.sys.set_attribute(fd, name, value)) != 0)
            return error;
    }
    // A folder's default list must not give the new file access the old one did not.
    error = has_list ? 0 : t.sys.remove_attribute(fd, kAccessList);
    return error == ENODATA || error == EOPNOTSUPP ? 0 : error;
}

// A rename or link that reported a failure after it took effect: the name holds the content.
int unless_done(target& t, beside& b, int error) {
    return error != 0 && holds(t, t.name, b.content_info) == 0 ? 0 : error;
}

// Whether another process's file, not the content, stands under the output's name now
// that the content was put there; the outcome then says so.
bool another_stands(target& t, beside& b, outcome& result) {
    if (holds(t, t.name, b.content_info) != kChangedDuringRun)
        return false;
    result.output = holds::another_file;
    return true;
}

// The content's name, made just now or at the start of the run, may have been taken by
// another process's file: that file stays where it is, and the target as it was.
int check_content_name(target& t, beside& b, outcome& result) {
    const int error = holds(t, b.temporary, b.content_info);
    if (error == kChangedDuringRun)
        result.left = {left_kind::another_file, b.temporary, 0};
    if (error == kChangedDuringRun || error == ENOENT)
        forget_name(b);
    return error == ENOENT ? kChangedDuringRun : error;
}

// The content's name goes onto the output's by `flags`: swapped with the old file, or
// where no file stands. A file system that can do neither (NFS, CIFS, FUSE) has both
// names looked at just before a plain rename, and `flags` then says 0; a change that
// lands between the looks and the rename is lost, and a file that took the content's
// name then stands.
int rename_in(target& t, beside& b, outcome& result, unsigned& flags) {
    const char* from = b.temporary.c_str();
    int error = check_content_name(t, b, result);
    if (error == 0 && (error = t.sys.rename(t.folder.fd, from, t.name.c_str(), flags)) == EINVAL &&
        (error = check_content_name(t, b, result)) == 0) {
        flags = 0;
        const int there = holds(t, t.name, t.info);
        if (t.exists ? there != 0 : there != ENOENT)
            return there == 0 || there == ENOENT || there == kChangedDuringRun ? kChangedDuringRun : there;
        error = t.sys.rename(t.folder.fd, from, t.name.c_str(), 0);
    }
    if ((error = unless_done(t, b, error)) == 0)
        forget_name(b);   // the name now holds what came out, if anything
    // EEXIST: a file appeared; ENOENT: a clean-up took the content's name.
    return error == EEXIST || error == ENOENT ? kChangedDuringRun : error;
}

// A new output: an unnamed content is given the output's name itself, a named one is
// renamed there; neither takes the place of a file that appeared meanwhile.
int add_new(target& t, beside& b, outcome& result) {
    if (b.temporary.empty()) {
        const int error = unless_done(t, b, t.sys.link(b.content.fd, t.folder.fd, t.name.c_str()));
        return error == EEXIST ? kChangedDuringRun : error;
    }
    unsigned flags = RENAME_NOREPLACE;
    const int error = rename_in(t, b, result, flags);
    // A file that took the content's name just before is what the rename put in place.
    return error == 0 && another_stands(t, b, result) ? kChangedDuringRun : error;
}

// What came out of the swap was not the file first opened (another process renamed its
// update there): the names swap back, and what returns to `old_name` must be the content,
// to be removed. If a newer file took the name between the swap and its undoing, it goes
// back there, and what it displaced stays at `old_name`.
int undo_exchange(target& t, beside& b, const std::string& old_name, outcome& result) {
    const int folder = t.folder.fd;
    if (const int error = t.sys.rename(folder, old_name.c_str(), t.name.c_str(), RENAME_EXCHANGE)) {
        result.output = holds::new_content;
        result.left = {left_kind::previous, old_name, error};
        return kChangedDuringRun;
    }
    const int back = holds(t, old_name, b.content_info);
    if (back == 0)
        t.sys.unlink(folder, old_name.c_str());
    if (back == kChangedDuringRun && t.sys.rename(folder, old_name.c_str(), t.name.c_str(), RENAME_EXCHANGE) == 0)
        result.left = {left_kind::previous, old_name, 0};
    return kChangedDuringRun;
}

// The names swap in one step: the content takes the output's name, and the old file the
// content's, from where it goes. What came out must be the file first opened, or gone
// (another process removed it); what went in must still stand there.
int exchange(target& t, beside& b, outcome& result) {
    // Another install went first (it held the lock), or another process renamed: left as it is.
    int error = holds(t, t.name, t.info);
    if (error != 0)
        return error == ENOENT ? kChangedDuringRun : error;
    if (b.temporary.empty() &&
        (error = take_name(t, b, [&](const char* name) { return t.sys.link(b.content.fd, t.folder.fd, name); })))
        return error;
    const std::string old_name = b.temporary;
    unsigned flags = RENAME_EXCHANGE;
    if ((error = rename_in(t, b, result, flags)) != 0)
        return error;
    const int out = flags == 0 ? ENOENT : holds(t, old_name, t.info);   // a plain rename took the old file
    if (out == kChangedDuringRun)
        return undo_exchange(t, b, old_name, result);
    // Another process's file took the name, at once or on the content's name just before:
    // it stands, and the old file stays beside it.
    if (another_stands(t, b, result)) {
        if (flags != 0)
            result.left = {left_kind::previous, old_name, 0};
        return kChangedDuringRun;
    }
    // Only what is known to be the old file is removed; gone already is as good.
    const int removed = out == 0 ? t.sys.unlink(t.folder.fd, old_name.c_str()) : out;
    if (removed != 0 && removed != ENOENT)
        result.left = {left_kind::previous, old_name, removed};
    return 0;
}

}  // namespace

// An unnamed file where the file system has them, so that a killed run leaves nothing. A
// new output is created as `>` would create it (umask, the folder's default access
// list); a replacement stays private until prepared, and takes the old owner, flags and
// attributes first: what a new file cannot carry makes it a copy over instead.
int open_way(target& t, beside& b) {
    const int folder = t.folder.fd;
    const mode_t mode = t.exists ? 0600 : 0666;
    int error = t.sys.open_unnamed(folder, ".", O_RDWR | O_CLOEXEC, mode, b.content.fd);
    if (error == 0)
        error = t.sys.stat(b.content.fd, "", true, b.content_info);
    else if (no_unnamed_files(error))
        error = take_name(t, b, [&](const char* name) {
            return t.sys.open(folder, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode, b.content.fd);
        });
    return error != 0 || !t.exists ? error : carry_old_file(t, b);
}

// Each finished stretch of the content goes to the disk while the program goes on, so
// that the sync before the rename has little left to wait for.
int write_way(target& t, beside& b, const char* data, std::size_t size) {
    if (const int error = t.sys.write(b.content.fd, data, size))
        return error;
    b.unsent += static_cast<off_t>(size);
    if (b.unsent >= kWritebackStretch) {
        t.sys.start_writeback(b.content.fd);
        b.unsent = 0;
    }
    return 0;
}

// The old mode once the content is whole (a change of owner, and writes, clear set-id
// bits), without a bit the kernel would clear on a write by this user; the content on
// disk; the folder opened for its sync, so that nothing after the swap fails for want of
// a descriptor. A folder this user may not read (a drop box) cannot be opened: its whole
// file system is synced instead.
int prepare_way(target& t, beside& b) {
    mode_t mode = t.info.mode & 07777;
    if (t.exists && !t.sys.keeps_set_id_bits())
        mode &= ~(S_ISUID | ((mode & S_IXGRP) ? S_ISGID : 0));
    int error = t.exists ? t.sys.change_mode(b.content.fd, mode) : 0;
    if (error == 0)
        error = t.sys.sync(b.content.fd);
    if (error != 0)
        return error;
    error = t.sys.open(t.folder.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0, b.folder_to_sync.fd);
    return error == EACCES ? 0 : error;
}

// The swap, then the folder's sync: once the new content stands, the sync alone can fail.
// The rename is on disk once the folder is; some file systems cannot sync a folder at all.
int install_way(target& t, beside& b, outcome& result) {
    if (t.exists)
        (void)t.sys.lock(t.file.fd);   // without it, installs just do not take turns
    const signals_held held;
    int error = t.exists ? exchange(t, b, result) : add_new(t, b, result);
    if (error != 0)
        return error;
    result.output = holds::new_content;
    error = b.folder_to_sync.fd >= 0 ? t.sys.sync(b.folder_to_sync.fd) : t.sys.sync_file_system(b.content.fd);
    return error == EINVAL ? 0 : error;
}

void drop_beside(target& t, beside& b, outcome& result) {
    if (b.temporary.empty())
        return;
    const signals_held held;
    int error = check_content_name(t, b, result);   // forgets a name that holds another file, or none
    if (b.temporary.empty())
        return;
    if (error == 0)
        error = t.sys.unlink(t.folder.fd, b.temporary.c_str());
    // A name that cannot go (an append-only folder its file system does not report: FUSE,
    // NFS) or cannot be looked at keeps no content, and the user learns of it.
    if (error != 0 && error != ENOENT) {
        (void)t.sys.truncate(b.content.fd, 0);
        result.left = {left_kind::emptied, b.temporary, error};
    }
    forget_name(b);
}

bool rename_refused(int error) {
    return error == EXDEV || error == EBUSY || error == EPERM;
}

}  // namespace suite::output
