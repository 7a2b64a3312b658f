// The output layer driven in-process through a system that fails any call, or changes the
// world between two calls, and the arrangements of files, links and descriptors that each
// way of writing must meet.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/output_file.h"
#include "common/process.h"
#include "harness.h"

namespace {

namespace fs = std::filesystem;

const std::string kPrevious = "previous output, longer than the new one\n";
const std::string kNew = "new output\n";

// The system with a plan: call number `fail_at` fails with `error`, and `between` runs
// just before call number `hook_at`. Every call is logged, so a clean run tells how many
// there are and where the content goes in place.
class planned_os : public suite::os {
  public:
    int fail_at = 0;
    int error = EIO;
    int hook_at = 0;
    std::function<void()> between;
    bool no_unnamed_files = false;         // the file system makes no O_TMPFILE
    bool refuse_owner = false;             // no owner can be given: written over in place
    bool reverse_attributes = false;       // the file system lists attributes the other way
    bool keeps_set_id = true;
    ino_t mount_root = 0;                  // the inode that stands as a mount point
    std::set<std::string> refused_folders; // no private file can be made there
    bool no_memory_file = false;
    std::string fail_every;                // every call logged so fails with `error`
    std::vector<std::string> log;

    // The number of the nth call logged as `prefix`..., or 0.
    int index_of(const std::string& prefix, int nth = 1) const {
        for (int k = 0; k < static_cast<int>(log.size()); ++k)
            if (log[k].starts_with(prefix) && --nth == 0)
                return k + 1;
        return 0;
    }

    int open(int folder, const char* path, int flags, mode_t mode, int& fd) override {
        const bool unnamed = (flags & O_TMPFILE) == O_TMPFILE;
        return call(std::string("open ") + path, [&] {
            if (unnamed && (no_unnamed_files || refused_folders.count(path)))
                return no_unnamed_files ? EOPNOTSUPP : EACCES;
            return os::open(folder, path, flags, mode, fd);
        });
    }
    int stat(int folder, const char* path, bool follow, suite::file_info& info) override {
        return call(std::string("stat ") + path, [&] {
            const int failed = os::stat(folder, path, follow, info);
            info.mount_root = info.mount_root || (failed == 0 && info.inode == mount_root);
            return failed;
        });
    }
    int read_link(int folder, const char* path, std::string& text) override {
        return call(std::string("read_link ") + path, [&] { return os::read_link(folder, path, text); });
    }
    int write(int fd, const char* data, std::size_t size, off_t at) override {
        return call(at < 0 ? "write" : "pwrite", [&] { return os::write(fd, data, size, at); });
    }
    int read(int fd, char* data, std::size_t size, off_t at, std::size_t& got) override {
        return call("read", [&] { return os::read(fd, data, size, at, got); });
    }
    int reserve(int fd, off_t size) override { return call("reserve", [&] { return os::reserve(fd, size); }); }
    int truncate(int fd, off_t size) override { return call("truncate", [&] { return os::truncate(fd, size); }); }
    int sync(int fd, bool whole) override { return call("sync", [&] { return os::sync(fd, whole); }); }
    int link(int fd, int folder, const char* name) override {
        return call("link", [&] { return os::link(fd, folder, name); });
    }
    int rename(int folder, const char* from, const char* to, unsigned flags) override {
        return call("rename " + std::to_string(flags), [&] { return os::rename(folder, from, to, flags); });
    }
    int unlink(int folder, const char* name) override {
        return call("unlink", [&] { return os::unlink(folder, name); });
    }
    int change_owner(int fd, uid_t owner, gid_t group) override {
        return call("change_owner", [&] { return refuse_owner ? EPERM : os::change_owner(fd, owner, group); });
    }
    int change_mode(int fd, mode_t mode) override {
        return call("change_mode", [&] { return os::change_mode(fd, mode); });
    }
    int list_attributes(int fd, std::string& names) override {
        return call("list_attributes", [&] {
            const int failed = os::list_attributes(fd, names);
            if (reverse_attributes)
                names = reversed(names);
            return failed;
        });
    }
    int get_attribute(int fd, const char* name, std::string& value) override {
        return call(std::string("get_attribute ") + name, [&] { return os::get_attribute(fd, name, value); });
    }
    int set_attribute(int fd, const char* name, const std::string& value) override {
        return call(std::string("set_attribute ") + name, [&] { return os::set_attribute(fd, name, value); });
    }
    int remove_attribute(int fd, const char* name) override {
        return call(std::string("remove_attribute ") + name, [&] { return os::remove_attribute(fd, name); });
    }
    int control(int fd, int command, int argument, int& answer) override {
        return call("control", [&] { return os::control(fd, command, argument, answer); });
    }
    int memory_file(int& fd) override {
        return call("memory_file", [&] { return no_memory_file ? ENOMEM : os::memory_file(fd); });
    }
    bool keeps_set_id_bits() override { return keeps_set_id; }

  private:
    template <typename Real>
    int call(std::string what, Real real) {
        log.push_back(std::move(what));
        const int n = static_cast<int>(log.size());
        if (n == hook_at && between)
            between();
        return n == fail_at || (!fail_every.empty() && log.back() == fail_every) ? error : real();
    }

    static std::string reversed(const std::string& names) {
        std::vector<std::string> list;
        for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1)
            list.emplace_back(names.c_str() + at);
        std::string out;
        for (auto name = list.rbegin(); name != list.rend(); ++name)
            out += *name + '\0';
        return out;
    }
};

// Opens the output through `sys`, writes `content` and commits: 0 or the error number.
int write_output(suite::os& sys, const std::string& path, const std::string& content = kNew) {
    suite::output_file out(path, sys);
    if (const int error = out.open())
        return error;
    std::fputs(content.c_str(), out.stream());
    return out.commit();
}

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename());
    return names;
}

ino_t inode_of(const fs::path& file) {
    struct stat info {};
    return ::stat(file.c_str(), &info) == 0 ? info.st_ino : 0;
}

// One way of writing, set up in a fresh folder: the target's path and the system to use.
struct Way {
    const char* what;
    bool exists;
    bool named_temporary;
    bool copy_over;
    bool through_descriptor;
};

const Way kWays[] = {
    {"a new file", false, false, false, false},
    {"a new file beside, named", false, true, false, false},
    {"a replacement", true, false, false, false},
    {"a replacement, named", true, true, false, false},
    {"a copy over", true, false, true, false},
    {"through a descriptor", true, false, false, true},
};

struct Scene {
    harness::TempDir dir;
    planned_os sys;
    std::string path;
    fs::path target = dir.path() / "out";
    std::vector<int> fds;   // descriptors the case opened
    std::function<void()> after;   // once the run is over
    ~Scene() {
        for (const int fd : fds)
            ::close(fd);
    }
    int keep(int fd) {
        fds.push_back(fd);
        return fd;
    }
};

void prepare(Scene& s, const Way& way) {
    s.path = s.target.string();
    if (way.exists)
        harness::write_file(s.target, kPrevious);
    s.sys.no_unnamed_files = way.named_temporary;
    s.sys.refuse_owner = way.copy_over;
    if (way.through_descriptor)
        s.path = "/dev/fd/" + std::to_string(s.keep(::open(s.path.c_str(), O_WRONLY | O_APPEND)));
}

// The first call whose failure leaves the new content under the target's name, in a
// clean run: the one after the rename, the copy or the write that puts it there. A swap
// of names is undone until what came out is known to be the file first opened.
int in_place_at(const planned_os& sys, const Way& way) {
    if (way.through_descriptor)
        return sys.index_of("write") + 1;
    if (way.copy_over)
        return sys.index_of("pwrite") + 1;
    return way.exists ? sys.index_of("unlink") : sys.index_of("rename " + std::to_string(RENAME_NOREPLACE)) + 1;
}

std::string expected_after(const Way& way) {
    return way.through_descriptor ? kPrevious + kNew : kNew;
}

TEST(OutputLayer, EveryFailedCallIsReportedAndLeavesThePreviousFile) {
    for (const Way& way : kWays) {
        Scene clean;
        prepare(clean, way);
        ASSERT_EQ(write_output(clean.sys, clean.path), 0) << way.what;
        ASSERT_EQ(harness::read_file(clean.target), expected_after(way)) << way.what;
        const int in_place = in_place_at(clean.sys, way);
        ASSERT_GT(in_place, 1) << way.what;
        const int calls = static_cast<int>(clean.sys.log.size());
        for (int k = 1; k <= calls; ++k) {
            SCOPED_TRACE(std::string(way.what) + ": call " + std::to_string(k) + ", " + clean.sys.log[k - 1]);
            Scene s;
            prepare(s, way);
            s.sys.fail_at = k;
            // Only the private file's folder has a fallback: memory.
            const bool fallback = clean.sys.log[k - 1] == "open /tmp";
            EXPECT_EQ(write_output(s.sys, s.path), fallback ? 0 : EIO);
            const std::string now = harness::read_file(s.target);
            if (k < in_place && !fallback) {
                EXPECT_EQ(now, way.exists ? kPrevious : "");
                EXPECT_EQ(names_in(s.dir.path()), way.exists ? std::set<std::string>{"out"} : std::set<std::string>{});
            } else if (way.copy_over) {
                EXPECT_EQ(now.substr(0, kNew.size()), kNew);   // the copy itself is what may be cut
            } else {
                EXPECT_EQ(now, expected_after(way));
            }
        }
    }
}

TEST(OutputLayer, AnotherProcessReplacingTheTargetDuringTheRunIsNeverUndone) {
    for (const Way& way : kWays) {
        if (way.through_descriptor)
            continue;
        Scene clean;
        prepare(clean, way);
        ASSERT_EQ(write_output(clean.sys, clean.path), 0);
        // The target is the file the kernel opens; its name is then checked once, and a
        // rename finally puts the content in place or swaps it in (exchange).
        const int opened = clean.sys.index_of("open " + clean.path);
        const int settled = way.copy_over ? clean.sys.index_of("stat out", 2) : clean.sys.index_of("rename ");
        ASSERT_GT(opened, 0);
        ASSERT_GT(settled, opened);
        for (int k = 1; k <= static_cast<int>(clean.sys.log.size()); ++k) {
            SCOPED_TRACE(std::string(way.what) + ": before call " + std::to_string(k) + ", " + clean.sys.log[k - 1]);
            Scene s;
            prepare(s, way);
            s.sys.hook_at = k;
            s.sys.between = [&] {
                harness::write_file(s.dir.path() / "theirs", "their update\n");
                fs::rename(s.dir.path() / "theirs", s.target);
            };
            const int error = write_output(s.sys, s.path);
            if (k <= opened) {
                EXPECT_EQ(error, 0);
                EXPECT_EQ(harness::read_file(s.target), kNew);
                continue;
            }
            EXPECT_EQ(harness::read_file(s.target), "their update\n");
            EXPECT_EQ(error, k > settled ? 0 : suite::kChangedDuringRun);
            EXPECT_EQ(names_in(s.dir.path()), std::set<std::string>{"out"});
        }
    }
}

std::string fd_path(const char* folder, int fd, const char* rest = "") {
    return std::string(folder) + std::to_string(fd) + rest;
}

// Where a path leads decides the way: only a descriptor link as the last part is written
// through, whatever descriptors happen to be open on the same file.
TEST(OutputLayer, ArrangementsOfLinksDescriptorsAndMounts) {
    if (const std::string why = harness::allow_descriptor(1500); !why.empty())
        GTEST_SKIP() << why;
    const struct {
        const char* what;
        std::function<std::string(Scene&)> arrange;   // returns the path to write
        int error;
        std::string content;
        bool replaced;   // a new file stands under the name
    } cases[] = {
        {"shorter content copied over", [](Scene& s) { s.sys.refuse_owner = true; return s.target.string(); }, 0,
         kNew, false},
        {"a full disk before a copy over",
         [](Scene& s) {
             s.sys.refuse_owner = true;
             s.sys.fail_every = "reserve";
             s.sys.error = ENOSPC;
             return s.target.string();
         },
         ENOSPC, kPrevious, false},
        {"a mount point is copied over",
         [](Scene& s) { s.sys.mount_root = inode_of(s.target); return s.target.string(); }, 0, kNew, false},
        {"a magic link before the last part",
         [](Scene& s) { return fd_path("/proc/self/fd/", s.keep(::open(s.dir.file("").c_str(), O_PATH)), "/out"); },
         0, kNew, true},
        {"a folder's descriptor before the last part",
         [](Scene& s) { return fd_path("/dev/fd/", s.keep(::open(s.dir.file("").c_str(), O_RDONLY)), "/out"); }, 0,
         kNew, true},
        {"a descriptor that appends",
         [](Scene& s) { return fd_path("/dev/fd/", s.keep(::open(s.target.c_str(), O_WRONLY | O_APPEND))); }, 0,
         kPrevious + kNew, false},
        {"a link to such a descriptor",
         [](Scene& s) {
             fs::create_symlink(fd_path("/dev/fd/", s.keep(::open(s.target.c_str(), O_WRONLY | O_APPEND))),
                                s.dir.path() / "link");
             return s.dir.file("link");
         },
         0, kPrevious + kNew, false},
        {"descriptor 1500 keeps its offset",
         [](Scene& s) {
             const int fd = s.keep(::dup2(s.keep(::open(s.target.c_str(), O_WRONLY)), 1500));
             ::lseek(fd, 9, SEEK_SET);
             return fd_path("/proc/self/fd/", fd);
         },
         0, kPrevious.substr(0, 9) + kNew + kPrevious.substr(9 + kNew.size()), false},
        {"the named descriptor, not a lower one on the same file",
         [](Scene& s) {
             s.keep(::open(s.target.c_str(), O_RDONLY));
             return fd_path("/dev/fd/", s.keep(::open(s.target.c_str(), O_WRONLY | O_APPEND)));
         },
         0, kPrevious + kNew, false},
        {"a descriptor open only to read",
         [](Scene& s) { return fd_path("/dev/fd/", s.keep(::open(s.target.c_str(), O_RDONLY))); }, EBADF, kPrevious,
         false},
        {"stray descriptors on the named file",
         [](Scene& s) {
             s.keep(::open(s.target.c_str(), O_RDWR));
             s.keep(::open(s.target.c_str(), O_WRONLY | O_APPEND));
             return s.target.string();
         },
         0, kNew, true},
        {"another process's descriptor is added to",
         [](Scene& s) {
             const int fd = s.keep(::open(s.target.c_str(), O_WRONLY));
             const pid_t child = fork();
             if (child == 0) {
                 pause();
                 _exit(0);
             }
             s.after = [child] {
                 kill(child, SIGKILL);
                 waitpid(child, nullptr, 0);
             };
             return "/proc/" + std::to_string(child) + "/fd/" + std::to_string(fd);
         },
         0, kPrevious + kNew, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Scene s;
        harness::write_file(s.target, kPrevious);
        const ino_t before = inode_of(s.target);
        const std::string path = c.arrange(s);
        EXPECT_EQ(write_output(s.sys, path), c.error);
        if (s.after)
            s.after();
        EXPECT_EQ(harness::read_file(s.target), c.content);
        EXPECT_EQ(inode_of(s.target) != before, c.replaced);
    }
}

// An access list in the kernel's form (version 2, then tag, permissions, id): the owner
// and the named user daemon may write, the group read, others nothing.
std::string access_list() {
    const auto le = [](std::uint32_t v, int bytes) {
        std::string out;
        for (int k = 0; k < bytes; ++k)
            out += static_cast<char>(v >> (8 * k));
        return out;
    };
    std::string list = le(2, 4);
    for (const auto& [tag, perm, id] : {std::tuple{0x01u, 6u, ~0u}, {0x02u, 6u, 1u}, {0x04u, 4u, ~0u},
                                        {0x10u, 6u, ~0u}, {0x20u, 0u, ~0u}})
        list += le(tag, 2) + le(perm, 2) + le(id, 4);
    return list;
}

// The access list and the other attributes go with the new file in whatever order the
// file system lists them; the capabilities never do.
TEST(OutputLayer, AttributesAreCarriedInAnyOrderButNeverTheCapabilities) {
    // A capability set (version 2) that grants nothing: what is copied, not what it grants.
    const std::string capabilities = std::string("\x00\x00\x00\x02", 4) + std::string(16, '\0');
    for (const bool reversed : {false, true}) {
        SCOPED_TRACE(reversed ? "listed the other way" : "listed as the file system lists them");
        Scene s;
        harness::write_file(s.target, kPrevious);
        if (setxattr(s.target.c_str(), "user.origin", "kept", 4, 0) != 0 ||
            setxattr(s.target.c_str(), "system.posix_acl_access", access_list().data(), access_list().size(), 0) != 0)
            GTEST_SKIP() << "this file system has no user attributes or access lists: " << std::strerror(errno);
        const bool capable = setxattr(s.target.c_str(), "security.capability", capabilities.data(),
                                      capabilities.size(), 0) == 0;
        const std::string list = harness::attribute(s.target, "system.posix_acl_access");
        s.sys.reverse_attributes = reversed;
        // Empty: a write of content would clear the capabilities by itself.
        ASSERT_EQ(write_output(s.sys, s.target.string(), ""), 0);
        EXPECT_EQ(harness::attribute(s.target, "system.posix_acl_access"), list);
        EXPECT_EQ(harness::attribute(s.target, "user.origin"), "kept");
        EXPECT_EQ(harness::attribute(s.target, "security.capability"), "") << (capable ? "" : "(none could be set)");
    }
}

// The old mode comes back whole, but for the set-id bits the kernel would clear on a write
// by a user who may not keep them.
TEST(OutputLayer, ModeBitsCarriedAsAWriteByThisUserWouldLeaveThem) {
    const struct {
        mode_t old_mode;
        bool keeps_set_id;
        mode_t new_mode;
    } cases[] = {
        {07755, true, 07755},
        {07755, false, 01755},
        {02740, false, 02740},   // without group execution the set-group-id bit stays
        {04700, false, 00700},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.old_mode) + (c.keeps_set_id ? " kept" : " not kept"));
        Scene s;
        harness::write_file(s.target, kPrevious);
        ASSERT_EQ(chmod(s.target.c_str(), c.old_mode), 0);
        s.sys.keeps_set_id = c.keeps_set_id;
        ASSERT_EQ(write_output(s.sys, s.target.string()), 0);
        struct stat after {};
        ASSERT_EQ(stat(s.target.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode & 07777, c.new_mode);
    }
}

// Two outputs of one run must not be one file by another name, or the first one's
// content would be lost.
TEST(OutputLayer, TwoNamesForOneTargetAreTheSameTarget) {
    const struct {
        const char* what;
        bool exists;
        std::function<std::string(Scene&)> other;   // the second name of the scene's target
        bool same;
    } cases[] = {
        {"a hard link", true,
         [](Scene& s) {
             fs::create_hard_link(s.target, s.dir.path() / "link");
             return s.dir.file("link");
         },
         true},
        {"a descriptor on it", true,
         [](Scene& s) { return fd_path("/dev/fd/", s.keep(::open(s.target.c_str(), O_WRONLY))); }, true},
        {"another spelling", true, [](Scene& s) { return s.dir.file("./out"); }, true},
        {"another spelling, nothing there yet", false, [](Scene& s) { return s.dir.file("./out"); }, true},
        {"another file", true,
         [](Scene& s) { harness::write_file(s.dir.path() / "other", "x"); return s.dir.file("other"); }, false},
        {"another new file", false, [](Scene& s) { return s.dir.file("other"); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Scene s;
        if (c.exists)
            harness::write_file(s.target, kPrevious);
        suite::output_file first(s.target.string(), s.sys);
        suite::output_file second(c.other(s), s.sys);
        ASSERT_EQ(first.open(), 0);
        ASSERT_EQ(second.open(), 0);
        EXPECT_EQ(first.same_target(second), c.same);
    }
}

// The private file of a copy over falls back from TMPDIR to /tmp to memory; when none
// will do, the message names the temporary folder.
TEST(OutputLayer, ThePrivateFileFallsBackAndBlamesTheTemporaryFolder) {
    const struct {
        const char* tmpdir;
        std::set<std::string> refused;
        bool no_memory;
        int error;
        const char* blamed;   // the output when null
    } cases[] = {
        {"/nonexistent", {}, true, 0, nullptr},
        {"/nonexistent", {"/tmp"}, false, 0, nullptr},
        {"/nonexistent", {"/tmp"}, true, ENOENT, "/nonexistent"},
        {"", {"/tmp"}, true, EACCES, "/tmp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("TMPDIR=") + c.tmpdir + (c.no_memory ? ", no memory file" : ""));
        Scene s;
        harness::write_file(s.target, kPrevious);
        const char* const before = std::getenv("TMPDIR");
        const std::string kept = before != nullptr ? before : "";
        setenv("TMPDIR", c.tmpdir, 1);
        s.sys.refuse_owner = true;
        s.sys.refused_folders = c.refused;
        s.sys.no_memory_file = c.no_memory;
        suite::output_file out(s.target.string(), s.sys);
        EXPECT_EQ(out.open(), c.error);
        EXPECT_EQ(out.blamed(), c.blamed != nullptr ? c.blamed : s.target.string());
        if (c.error == 0) {
            std::fputs(kNew.c_str(), out.stream());
            EXPECT_EQ(out.commit(), 0);
        }
        EXPECT_EQ(harness::read_file(s.target), c.error == 0 ? kNew : kPrevious);
        before != nullptr ? setenv("TMPDIR", kept.c_str(), 1) : unsetenv("TMPDIR");
    }
}

}  // namespace
