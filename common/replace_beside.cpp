// Replacing the target by a new file made in its folder.
//
// Invariant: the target's name stands for the old file, untouched, until one rename puts
// the new file there, whole and synced; and what that rename takes away is the file first
// opened, or the rename is undone. A named temporary file is registered for the signals
// that end a run from the moment it has its name until the moment it has none.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/output_ways.h"
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

class beside final : public writer {
  public:
    beside(os& sys, target& t) : sys_(sys), t_(t) {}
    ~beside() override { drop(); }
    int fd() const { return file_.get(); }

    // An unnamed file where the file system has them, so that a killed run leaves
    // nothing. A new output is created as `>` would create it (umask, the folder's
    // default access list); a replacement stays private until set_mode().
    int open() {
        const int folder = t_.folder.get();
        const mode_t mode = t_.exists ? 0600 : 0666;
        int error = sys_.open(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode, file_.out());
        if (no_unnamed_files(error))
            error = take_name([&](const char* name) {
                return sys_.open(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode, file_.out());
            });
        // The old owner first: a user who may not give it gets a copy over instead.
        if (error == 0 && t_.exists)
            error = sys_.change_owner(file_.get(), t_.info.owner, t_.info.group);
        return error == 0 && t_.exists ? carry_attributes() : error;
    }

    int prepare() override {
        int error = t_.exists ? set_mode() : 0;
        if (error == 0)
            error = sys_.sync(file_.get());
        if (error == 0 && temporary_.empty())
            error = take_name([&](const char* name) { return sys_.link(file_.get(), t_.folder.get(), name); });
        return error;
    }

    int install() override {
        const terminating_signals_held held;
        int error = 0;
        if (t_.exists) {
            error = exchange();
        } else {
            error = sys_.rename(t_.folder.get(), temporary_.c_str(), t_.name.c_str(), RENAME_NOREPLACE);
            error = error == EEXIST ? kChangedDuringRun : error == EINVAL ? rename_after_look() : error;
        }
        if (error != 0)
            return error;
        forget_name();
        return sync_folder();
    }

  private:
    // Random names until `make` makes one stand, or fails otherwise than on a name taken.
    template <typename Make>
    int take_name(Make make) {
        for (int k = 0; k < kMostNameTries; ++k) {
            const std::string name = random_name();
            const terminating_signals_held held;
            const int error = make(name.c_str());
            if (error == 0) {
                temporary_ = name;
                slot_ = remember_temporary(t_.folder.get(), name.c_str());
            }
            if (error != EEXIST)
                return error;
        }
        return EEXIST;
    }

    void forget_name() {
        forget_temporary(slot_);
        slot_ = -1;
        temporary_.clear();
    }

    // Every extended attribute the user may read but the capabilities; the access list
    // among them. A file system without attributes has none to carry.
    int carry_attributes() {
        std::string names;
        int error = sys_.list_attributes(t_.file.get(), names);
        if (error != 0)
            return error == EOPNOTSUPP ? 0 : error;
        bool has_list = false;
        for (const char* name = names.data(); name < names.data() + names.size(); name += std::strlen(name) + 1) {
            if (std::strcmp(name, kCapabilities) == 0)
                continue;
            has_list = has_list || std::strcmp(name, kAccessList) == 0;
            std::string value;
            error = sys_.get_attribute(t_.file.get(), name, value);
            if (error == 0)
                error = sys_.set_attribute(file_.get(), name, value);
            if (error != 0)
                return error;
        }
        // A folder's default list must not give the new file access the old one did not.
        error = has_list ? 0 : sys_.remove_attribute(file_.get(), kAccessList);
        return error == ENODATA || error == EOPNOTSUPP ? 0 : error;
    }

    // The old mode, once the content is whole: a change of owner, and writes, clear
    // set-id bits. A bit the kernel would clear on a write by this user is not given back.
    int set_mode() {
        mode_t mode = t_.info.mode & 07777;
        if (!sys_.keeps_set_id_bits())
            mode &= ~(S_ISUID | ((mode & S_IXGRP) ? S_ISGID : 0));
        return sys_.change_mode(file_.get(), mode);
    }

    // The names swap in one step; what came out must be the file first opened, or they
    // swap back and the other process's file stays. The old file goes with its last name.
    int exchange() {
        const int folder = t_.folder.get();
        const std::string old_name = temporary_;
        int error = sys_.rename(folder, old_name.c_str(), t_.name.c_str(), RENAME_EXCHANGE);
        if (error != 0)
            return error == EINVAL ? rename_after_look() : error == ENOENT ? kChangedDuringRun : error;
        forget_name();   // the name now holds the file that came out
        file_info out;
        error = sys_.stat(folder, old_name.c_str(), false, out);
        if (error == 0 && same_file(out, t_.info))
            return sys_.unlink(folder, old_name.c_str());
        if (const int undone = sys_.rename(folder, old_name.c_str(), t_.name.c_str(), RENAME_EXCHANGE))
            return undone;
        temporary_ = old_name;
        slot_ = remember_temporary(folder, old_name.c_str());
        return error != 0 ? error : kChangedDuringRun;
    }

    // A file system that can neither swap nor refuse to replace: the name is looked at
    // just before the rename.
    int rename_after_look() {
        file_info entry;
        const int error = sys_.stat(t_.folder.get(), t_.name.c_str(), false, entry);
        const bool as_opened = t_.exists ? error == 0 && same_file(entry, t_.info) : error == ENOENT;
        if (!as_opened)
            return error == 0 || error == ENOENT ? kChangedDuringRun : error;
        return sys_.rename(t_.folder.get(), temporary_.c_str(), t_.name.c_str(), 0);
    }

    // The rename is on disk once the folder is. A folder this user may not read (a drop
    // box) cannot be synced by itself: its whole file system is.
    int sync_folder() {
        descriptor folder;
        int error = sys_.open(t_.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0, folder.out());
        if (error == EACCES)
            return sys_.sync(file_.get(), true);
        if (error == 0)
            error = sys_.sync(folder.get());
        return error == EINVAL ? 0 : error;   // some file systems cannot sync a folder at all
    }

    void drop() {
        if (temporary_.empty())
            return;
        const terminating_signals_held held;
        sys_.unlink(t_.folder.get(), temporary_.c_str());
        forget_name();
    }

    os& sys_;
    target& t_;
    descriptor file_;         // the new file
    std::string temporary_;   // its name in the folder, once it has one
    int slot_ = -1;           // where a signal finds that name
};

}  // namespace

int replace_beside(os& sys, target& t, sink& s, writer_ptr& out) {
    auto made = std::make_unique<beside>(sys, t);
    if (const int error = made->open())
        return error;
    s.fd = made->fd();
    s.early_writeback = true;
    out = std::move(made);
    return 0;
}

}  // namespace suite::output
