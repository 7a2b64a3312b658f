// Replacing the target by a new file made in its folder.
//
// Invariant: the target's name stands for the old file, untouched, until one rename puts
// the new file there, whole and synced; what that rename takes out must be the file first
// opened and what it puts in must be ours, or it is undone. A file the layer did not make
// or take out is never removed. The content gets a name only just before that rename,
// where the file system has unnamed files; a signal that ends the run removes a name
// while it stands. Installs of one target by this suite's programs take turns, so that
// each run's status tells the truth about its own content.
#include <linux/fs.h>
#include <linux/limits.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "common/output/output_file.h"
#include "common/output/output_ways.h"

namespace suite::output {
namespace {

constexpr int kMostNameTries = 100;
constexpr std::size_t kRandomLetters = 8;
constexpr char kTemporaryMark[] = ".tmp-";
constexpr char kAccessList[] = "system.posix_acl_access";
// A new content never inherits the right to run with privileges the old one was granted.
constexpr char kCapabilities[] = "security.capability";
// The inode flags (lsattr) a user may set on a file: synchronous, no atime, compressed,
// not compressed, no dump, no copy on write.
constexpr unsigned kUserFlags = FS_SYNC_FL | FS_NOATIME_FL | FS_COMPR_FL | FS_NOCOMP_FL | FS_NODUMP_FL | FS_NOCOW_FL;

// The errors that say a file system has no unnamed files.
bool no_unnamed_files(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// The errors that say a file system has no inode flags.
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

// Names until `make` makes one stand, or fails otherwise than on a name taken. The name
// is registered with what it holds, which a signal's clean-up checks before it removes it.
template <typename Make>
int take_name(target& t, Make make) {
    for (int k = 0; k < kMostNameTries; ++k) {
        const std::string name = temporary_name(t.name);
        const signals_held held;
        int error = make(name.c_str());
        if (error == EEXIST)
            continue;
        if (error == 0 && (error = t.sys.stat(t.content.get(), "", true, t.content_info)) != 0)
            t.sys.unlink(t.folder.get(), name.c_str());
        if (error == 0) {
            t.temporary = name;
            t.slot = remember_temporary(t.folder.get(), name.c_str(), t.content_info);
        }
        return error;
    }
    return EEXIST;
}

// The steps of the functions below, defined after them.
int holds(target& t, const std::string& name, const file_info& file);
int carry_flags(target& t);
int carry_attributes(target& t);
int set_mode(target& t);
int add_new(target& t);
int exchange(target& t);
int sync_folder(target& t);
void forget_name(target& t);

}  // namespace

// An unnamed file where the file system has them, so that a killed run leaves nothing. A
// new output is created as `>` would create it (umask, the folder's default access
// list); a replacement stays private until set_mode(), and takes the old owner, flags
// and attributes first: what a new file cannot carry makes it a copy over instead.
int open_beside(target& t) {
    const int folder = t.folder.get();
    const mode_t mode = t.exists ? 0600 : 0666;
    int error = t.sys.open_unnamed(folder, ".", O_RDWR | O_CLOEXEC, mode, t.content.out());
    if (no_unnamed_files(error))
        error = take_name(t, [&](const char* name) {
            return t.sys.open(folder, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode, t.content.out());
        });
    if (error != 0 || !t.exists)
        return error;
    error = t.sys.change_owner(t.content.get(), t.info.owner, t.info.group);
    if (error == 0)
        error = carry_flags(t);
    return error == 0 ? carry_attributes(t) : error;
}

// The content whole on disk, and the folder opened for its sync: nothing after the
// swap may fail for want of a descriptor. A folder this user may not read (a drop box)
// cannot be opened: its whole file system is synced instead.
int prepare_beside(target& t) {
    int error = t.exists ? set_mode(t) : 0;
    if (error == 0)
        error = t.sys.sync(t.content.get());
    if (error != 0)
        return error;
    error = t.sys.open(t.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0, t.folder_to_sync.out());
    return error == EACCES ? 0 : error;
}

int install_beside(target& t) {
    if (t.exists)
        (void)t.sys.lock(t.file.get());   // where locks fail, installs just do not take turns
    const signals_held held;
    const int error = t.exists ? exchange(t) : add_new(t);
    return error != 0 ? error : sync_folder(t);
}

// A name is removed only while it holds the content: another process's file that took it
// stays.
void drop_beside(target& t) {
    if (t.temporary.empty())
        return;
    const signals_held held;
    if (holds(t, t.temporary, t.content_info) == 0)
        t.sys.unlink(t.folder.get(), t.temporary.c_str());
    forget_name(t);
}

namespace {

void forget_name(target& t) {
    forget_temporary(t.slot);
    t.slot = -1;
    t.temporary.clear();
}

// Flags the old file has and the new one lacks, or the other way round (a folder's own
// flags go to every new file in it). No copy on write only takes while the file is empty.
int carry_flags(target& t) {
    unsigned old_flags = 0, new_flags = 0;
    int error = t.sys.get_flags(t.file.get(), old_flags);
    if (error == 0)
        error = t.sys.get_flags(t.content.get(), new_flags);
    if (error != 0)
        return no_flags(error) ? 0 : error;
    if ((old_flags & kUserFlags) == (new_flags & kUserFlags))
        return 0;
    return t.sys.set_flags(t.content.get(), (new_flags & ~kUserFlags) | (old_flags & kUserFlags));
}

// Every extended attribute the user may read but the capabilities; the access list
// among them. A file system without attributes has none to carry.
int carry_attributes(target& t) {
    std::string names;
    int error = t.sys.list_attributes(t.file.get(), names);
    if (error != 0)
        return error == EOPNOTSUPP ? 0 : error;
    bool has_list = false;
    for (const char* name = names.data(); name < names.data() + names.size(); name += std::strlen(name) + 1) {
        if (std::strcmp(name, kCapabilities) == 0)
            continue;
        has_list = has_list || std::strcmp(name, kAccessList) == 0;
        std::string value;
        error = t.sys.get_attribute(t.file.get(), name, value);
        if (error == 0)
            error = t.sys.set_attribute(t.content.get(), name, value);
        if (error != 0)
            return error;
    }
    // A folder's default list must not give the new file access the old one did not.
    error = has_list ? 0 : t.sys.remove_attribute(t.content.get(), kAccessList);
    return error == ENODATA || error == EOPNOTSUPP ? 0 : error;
}

// The old mode, once the content is whole: a change of owner, and writes, clear set-id
// bits. A bit the kernel would clear on a write by this user is not given back.
int set_mode(target& t) {
    mode_t mode = t.info.mode & 07777;
    if (!t.sys.keeps_set_id_bits())
        mode &= ~(S_ISUID | ((mode & S_IXGRP) ? S_ISGID : 0));
    return t.sys.change_mode(t.content.get(), mode);
}

// A file system that can neither swap nor refuse to replace: the name is looked at just
// before the rename, and an update that lands between the two is lost.
int rename_after_look(target& t) {
    file_info entry;
    const int error = t.sys.stat(t.folder.get(), t.name.c_str(), false, entry);
    const bool as_opened = t.exists ? error == 0 && same_file(entry, t.info) : error == ENOENT;
    if (!as_opened)
        return error == 0 || error == ENOENT ? kChangedDuringRun : error;
    const int renamed = t.sys.rename(t.folder.get(), t.temporary.c_str(), t.name.c_str(), 0);
    if (renamed == 0)
        forget_name(t);
    return renamed;
}

// Whether `name` holds `file`: 0, kChangedDuringRun for another file, or the error of
// the look (ENOENT for none).
int holds(target& t, const std::string& name, const file_info& file) {
    file_info there;
    const int error = t.sys.stat(t.folder.get(), name.c_str(), false, there);
    return error != 0 ? error : same_file(there, file) ? 0 : kChangedDuringRun;
}

// A file the install leaves beside the target, to be named in a warning.
int leave(target& t, const std::string& name, int error, bool foreign = false) {
    t.left_behind = name;
    t.left_error = error;
    t.left_foreign = foreign;
    return error;
}

// The content's name, made just now or at the start of the run, may have been taken by
// another process's file: that file stays where it is, and the target as it was.
int check_content_name(target& t) {
    const int error = holds(t, t.temporary, t.content_info);
    if (error == kChangedDuringRun)
        leave(t, t.temporary, 0, true);
    if (error == kChangedDuringRun || error == ENOENT)
        forget_name(t);
    return error == ENOENT ? kChangedDuringRun : error;
}

// A new output: an unnamed content is given the output's name itself, a named one is
// renamed there; neither takes the place of a file that appeared meanwhile.
int add_new(target& t) {
    if (t.temporary.empty()) {
        const int error = t.sys.link(t.content.get(), t.folder.get(), t.name.c_str());
        return error == EEXIST ? kChangedDuringRun : error;
    }
    if (const int error = check_content_name(t))
        return error;
    int error = t.sys.rename(t.folder.get(), t.temporary.c_str(), t.name.c_str(), RENAME_NOREPLACE);
    if (error == EINVAL)
        error = rename_after_look(t);
    else if (error == 0)
        forget_name(t);
    // A file that took the content's name just before is what the rename put in place.
    if (error == 0 && holds(t, t.name, t.content_info) == kChangedDuringRun)
        error = kChangedDuringRun;
    return error == EEXIST || error == ENOENT ? kChangedDuringRun : error;
}

// The name stood for another file when the swap came (another process renamed it): the
// names swap back, and what returns to `old_name` must be the content, to be removed. If
// a newer file took the name between the swap and its undoing, it goes back there, and
// what it displaced stays at `old_name`.
int undo_exchange(target& t, const std::string& old_name) {
    const int folder = t.folder.get();
    if (const int error = t.sys.rename(folder, old_name.c_str(), t.name.c_str(), RENAME_EXCHANGE))
        return leave(t, old_name, error);
    const int back = holds(t, old_name, t.content_info);
    if (back == 0)
        t.sys.unlink(folder, old_name.c_str());
    if (back == kChangedDuringRun && t.sys.rename(folder, old_name.c_str(), t.name.c_str(), RENAME_EXCHANGE) == 0)
        leave(t, old_name, 0);
    return kChangedDuringRun;
}

// The names swap in one step: the content takes the output's name, and the old file the
// content's, from where it goes. What came out must be the file first opened, or gone
// (another process removed it); what went in must still stand there.
int exchange(target& t) {
    // Another install went first (it held the lock), or another process renamed: left as it is.
    if (const int error = stands_as_opened(t))
        return error;
    const int named = t.temporary.empty() ? take_name(t, [&](const char* name) {
        return t.sys.link(t.content.get(), t.folder.get(), name);
    })
                                          : check_content_name(t);
    if (named != 0)
        return named;
    const std::string old_name = t.temporary;
    const int error = t.sys.rename(t.folder.get(), old_name.c_str(), t.name.c_str(), RENAME_EXCHANGE);
    if (error == EINVAL)
        return rename_after_look(t);
    if (error != 0)
        return error == ENOENT ? kChangedDuringRun : error;
    forget_name(t);   // the name now holds what came out
    // What cannot be looked at is taken to be what the swap meant.
    const int out = holds(t, old_name, t.info);
    if (out == kChangedDuringRun)
        return undo_exchange(t, old_name);
    // Another process's file that took the name at once stays, and so does the old file.
    if (holds(t, t.name, t.content_info) == kChangedDuringRun) {
        leave(t, old_name, 0);
        return kChangedDuringRun;
    }
    const int removed = out == ENOENT ? 0 : t.sys.unlink(t.folder.get(), old_name.c_str());
    if (removed != 0 && removed != ENOENT)
        leave(t, old_name, removed);
    return 0;
}

// The rename is on disk once the folder is; some file systems cannot sync a folder at all.
int sync_folder(target& t) {
    const int error = t.folder_to_sync.get() >= 0 ? t.sys.sync(t.folder_to_sync.get())
                                                  : t.sys.sync_file_system(t.content.get());
    return error == EINVAL ? 0 : error;
}

}  // namespace
}  // namespace suite::output
