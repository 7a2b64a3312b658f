// Replacing the target by a new file made in its folder.
//
// Invariant: the target's name stands for the old file, untouched, until one rename puts
// the new file there, whole and synced; and what that rename takes away is the file first
// opened, or the rename is undone. A named temporary file is registered for the signals
// that end a run from the moment it has its name until the moment it has none.
#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "common/output/output_ways.h"
#include "common/process.h"

namespace suite::output {
namespace {

constexpr int kMostNameTries = 100;
constexpr std::size_t kRandomLetters = 12;
constexpr char kAccessList[] = "system.posix_acl_access";
// A new content never inherits the right to run with privileges the old one was granted.
constexpr char kCapabilities[] = "security.capability";

// The errors that say a file system has no unnamed files.
bool no_unnamed_files(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// A hidden name of fixed length, whatever the target's, that nobody can guess. Only
// early at boot does getrandom wait, for the kernel's first entropy.
std::string random_name() {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char bytes[kRandomLetters] = {};
    while (getrandom(bytes, sizeof bytes, 0) < 0 && errno == EINTR) {
    }
    std::string name = ".tmp-";
    for (const unsigned char byte : bytes)
        name += kLetters[byte % (sizeof kLetters - 1)];
    return name;
}

// Random names until `make` makes one stand, or fails otherwise than on a name taken.
template <typename Make>
int take_name(target& t, Make make) {
    for (int k = 0; k < kMostNameTries; ++k) {
        const std::string name = random_name();
        const terminating_signals_held held;
        const int error = make(name.c_str());
        if (error == 0) {
            t.temporary = name;
            t.slot = remember_temporary(t.folder.get(), name.c_str());
        }
        if (error != EEXIST)
            return error;
    }
    return EEXIST;
}

// The steps of the functions below, defined after them.
int set_mode(target& t);
int exchange(target& t);
int rename_after_look(target& t);
int sync_folder(target& t);
void forget_name(target& t);
int carry_attributes(target& t);

}  // namespace

// An unnamed file where the file system has them, so that a killed run leaves nothing. A
// new output is created as `>` would create it (umask, the folder's default access
// list); a replacement stays private until set_mode(), and takes the old owner first:
// a user who may not give it gets a copy over instead.
int open_beside(target& t) {
    const int folder = t.folder.get();
    const mode_t mode = t.exists ? 0600 : 0666;
    int error = t.sys.open(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode, t.content.out());
    if (no_unnamed_files(error))
        error = take_name(t, [&](const char* name) {
            return t.sys.open(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode, t.content.out());
        });
    if (error == 0 && t.exists)
        error = t.sys.change_owner(t.content.get(), t.info.owner, t.info.group);
    return error == 0 && t.exists ? carry_attributes(t) : error;
}

int prepare_beside(target& t) {
    int error = t.exists ? set_mode(t) : 0;
    if (error == 0)
        error = t.sys.sync(t.content.get());
    if (error == 0 && t.temporary.empty())
        error = take_name(t, [&](const char* name) { return t.sys.link(t.content.get(), t.folder.get(), name); });
    return error;
}

int install_beside(target& t) {
    const terminating_signals_held held;
    int error = 0;
    if (t.exists) {
        error = exchange(t);
    } else {
        error = t.sys.rename(t.folder.get(), t.temporary.c_str(), t.name.c_str(), RENAME_NOREPLACE);
        error = error == EEXIST ? kChangedDuringRun : error == EINVAL ? rename_after_look(t) : error;
    }
    if (error != 0)
        return error;
    forget_name(t);
    return sync_folder(t);
}

void drop_beside(target& t) {
    if (t.temporary.empty())
        return;
    const terminating_signals_held held;
    t.sys.unlink(t.folder.get(), t.temporary.c_str());
    forget_name(t);
}

namespace {

void forget_name(target& t) {
    forget_temporary(t.slot);
    t.slot = -1;
    t.temporary.clear();
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
// before the rename.
int rename_after_look(target& t) {
    file_info entry;
    const int error = t.sys.stat(t.folder.get(), t.name.c_str(), false, entry);
    const bool as_opened = t.exists ? error == 0 && same_file(entry, t.info) : error == ENOENT;
    if (!as_opened)
        return error == 0 || error == ENOENT ? kChangedDuringRun : error;
    return t.sys.rename(t.folder.get(), t.temporary.c_str(), t.name.c_str(), 0);
}

// The names swap in one step; what came out must be the file first opened, or they swap
// back and the other process's file stays. The old file goes with its last name.
int exchange(target& t) {
    const int folder = t.folder.get();
    const std::string old_name = t.temporary;
    int error = t.sys.rename(folder, old_name.c_str(), t.name.c_str(), RENAME_EXCHANGE);
    if (error != 0)
        return error == EINVAL ? rename_after_look(t) : error == ENOENT ? kChangedDuringRun : error;
    forget_name(t);   // the name now holds the file that came out
    file_info out;
    error = t.sys.stat(folder, old_name.c_str(), false, out);
    if (error == 0 && same_file(out, t.info))
        return t.sys.unlink(folder, old_name.c_str());
    if (const int undone = t.sys.rename(folder, old_name.c_str(), t.name.c_str(), RENAME_EXCHANGE))
        return undone;
    t.temporary = old_name;
    t.slot = remember_temporary(folder, old_name.c_str());
    return error != 0 ? error : kChangedDuringRun;
}

// The rename is on disk once the folder is. A folder this user may not read (a drop box)
// cannot be synced by itself: its whole file system is.
int sync_folder(target& t) {
    descriptor folder;
    int error = t.sys.open(t.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0, folder.out());
    if (error == EACCES)
        return t.sys.sync(t.content.get(), true);
    if (error == 0)
        error = t.sys.sync(folder.get());
    return error == EINVAL ? 0 : error;   // some file systems cannot sync a folder at all
}

}  // namespace
}  // namespace suite::output
