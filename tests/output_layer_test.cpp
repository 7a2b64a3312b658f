// The output layer driven in-process through a system that fails any call, or changes the
// world between two calls, and the arrangements of files, links and descriptors that each
// way of writing must meet.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/syscall.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/output/os.h"
#include "common/output/output_file.h"
#include "common/process.h"
#include "harness.h"

namespace {

namespace fs = std::filesystem;

const std::string kPrevious = "previous output, longer than the new one\n";
const std::string kNew = "new output\n";

// The system with a plan: call number `fail_at` fails with `error`, and `between` runs
// just before call number `hook_at` (or the first call logged as `hook_before`). Every
// call logged as a key of `refused` fails with its error, or with 0 is answered as done
// without being made (the first only, in `refused_once`). Every call is logged as its
// kind and the name it concerns, so a clean run tells how many there are and where the
// content goes in place.
class planned_os : public suite::os {
  public:
    int fail_at = 0;
    int error = EIO;
    bool after_effect = false;   // call number `fail_at` is made, then reported failed
    int hook_at = 0;
    std::string hook_before;   // or before the first call logged so
    std::function<void()> between;
    std::map<std::string, int> refused;
    std::map<std::string, int> refused_once;   // the same, for the first such call only
    ino_t mount_root = 0;              // the inode that stands as a mount point
    ino_t append_only = 0;             // the folder whose names cannot go again
    bool reverse_attributes = false;   // the file system lists attributes the other way
    std::vector<std::string> log;

    // The number of the nth call logged as `prefix`..., or 0.
    int index_of(const std::string& prefix, int nth = 1) const {
        for (int k = 0; k < static_cast<int>(log.size()); ++k)
            if (log[k].starts_with(prefix) && --nth == 0)
                return k + 1;
        return 0;
    }

  protected:
    int hook(const call_view& c, const std::function<int()>& real) override {
        std::string entry(c.what);
        if (*c.name != '\0')
            entry.append(" ").append(c.name);
        if (c.what == "rename")
            entry.append(" ").append(std::to_string(c.flags));
        log.push_back(entry);
        const int n = static_cast<int>(log.size());
        if (between && (n == hook_at || log.back() == hook_before)) {
            hook_before.clear();
            between();
        }
        if (n == fail_at) {
            if (after_effect)
                real();
            return error;
        }
        if (auto plan = refused.find(log.back()); plan != refused.end() ||
                                                  (plan = refused.find(std::string(c.what))) != refused.end())
            return plan->second;
        if (const auto plan = refused_once.find(log.back()); plan != refused_once.end()) {
            const int once = plan->second;
            refused_once.erase(plan);
            return once;
        }
        const int done = real();
        if (done == 0 && c.what == "stat") {
            c.info->mount_root = c.info->mount_root || c.info->inode == mount_root;
            c.info->fixed_names = c.info->fixed_names || c.info->inode == append_only;
        }
        if (done == 0 && c.what == "list_attributes" && reverse_attributes)
            *c.text = reversed(*c.text);
        return done;
    }

  private:
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

// Opens the output through `sys`, writes `content` and commits as a program does, its
// messages on standard error: 0 or the error number.
int write_output(suite::os& sys, const std::string& path, const std::string& content = kNew) {
    suite::output_file out(path, sys);
    if (const int error = out.open())
        return error;
    std::fputs(content.c_str(), out.stream());
    const suite::outcome result = out.commit();
    suite::report_outcome(path, result);
    return result.error;
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

const std::string kLonger = kPrevious + "and then some more than there was\n";
const std::map<std::string, int> kNoUnnamedFiles = {{"open_unnamed .", EOPNOTSUPP}};
const std::map<std::string, int> kOwnerRefused = {{"change_owner", EPERM}};

// One way of writing, set up in a fresh folder: what the file system and the user cannot
// do, and the call whose success puts the content in place (after `placed` calls).
struct Way {
    const char* what;
    bool exists;
    std::map<std::string, int> refused;
    std::function<int(const planned_os&)> placed;
    bool through_descriptor = false;
    std::string content = kNew;
};

int after(const planned_os& sys, const std::string& call, int nth = 1) {
    return sys.index_of(call, nth);
}

// The link or rename that put the content under the output's name: the last one made,
// whatever the file system lacked on the way there.
int named_out(const planned_os& sys) {
    int last = 0;
    for (int k = 1; k <= static_cast<int>(sys.log.size()); ++k)
        last = sys.log[k - 1] == "link out" || sys.log[k - 1].starts_with("rename out") ? k : last;
    return last;
}

const Way kWays[] = {
    {"a new file", false, {}, named_out},
    {"a new file beside, named", false, kNoUnnamedFiles, named_out},
    {"a replacement", true, {}, named_out},
    {"a replacement, named", true, kNoUnnamedFiles, named_out},
    // The first overwrite that fails is written again whole.
    {"a copy over", true, kOwnerRefused, [](auto& sys) { return after(sys, "read_at") - 1; }},
    {"a copy over, its tail first", true, {{"change_owner", EPERM}, {"reserve", EOPNOTSUPP}},
     [](auto& sys) { return after(sys, "read_at", 2) - 1; }, false, kLonger},
    {"through a descriptor", true, {}, [](auto& sys) { return after(sys, "write"); }, true},
    // NFS, CIFS, FUSE: no unnamed files, no exchange.
    {"a replacement, named, where names cannot swap", true, {{"open_unnamed .", EOPNOTSUPP}, {"rename out 2", EINVAL}},
     named_out},
    {"a copy over, its content named first", true, {{"change_owner", EPERM}, {"open_unnamed .", EOPNOTSUPP}},
     [](auto& sys) { return after(sys, "read_at") - 1; }},
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
    s.sys.refused = way.refused;
    if (way.through_descriptor)
        s.path = "/dev/fd/" + std::to_string(s.keep(::open(s.path.c_str(), O_WRONLY | O_APPEND)));
}

std::string expected_after(const Way& way) {
    return way.through_descriptor ? kPrevious + way.content : way.content;
}

std::set<std::string> hidden_names(const fs::path& dir) {
    std::set<std::string> hidden;
    for (const std::string& name : names_in(dir))
        if (name.starts_with(".out.tmp-"))
            hidden.insert(name);
    return hidden;
}

// Calls whose failure has a way round, so that the run still succeeds: installs that do
// not take turns, set-id bits cleared, a copy over's private file tried beside the target
// (after the first unnamed file, which failed the run), in TMPDIR or /tmp before memory,
// and the name of a content given up for a copy over before anything was written.
bool has_fallback(const planned_os& clean, int k) {
    const std::string& call = clean.log[k - 1];
    return call == "lock" || call == "keeps_set_id" ||
           (call.starts_with("open_unnamed ") && clean.index_of("open_unnamed ") != k) ||
           ((call.starts_with("stat .out.tmp-") || call.starts_with("unlink .out.tmp-")) && k < clean.index_of("write"));
}

// One run of a scene as a program makes it: its status, its messages, what the target holds.
struct Outcome {
    int status;
    std::string messages;
    std::string now;
    bool told(const std::string& words) const { return messages.find(words) != std::string::npos; }
};

Outcome run(Scene& s, const Way& way) {
    testing::internal::CaptureStderr();
    const int status = write_output(s.sys, s.path, way.content);
    const std::string messages = testing::internal::GetCapturedStderr();
    return {status, messages, harness::read_file(s.target)};
}

// Before the content is in place, a failed call fails the run and leaves the target as it
// was; afterwards only a sync or the last cut of a copy can fail it, saying the new content
// stands, and an old file that cannot be looked at or removed is named under its hidden name.
// A call that took effect and then reported a failure (a write that landed, a rename done)
// is told as truly. Every file left beside the output is named.
TEST(OutputLayer, EveryFailedCallIsReportedAndTheStatusTellsWhatStands) {
    for (const Way& way : kWays) {
        Scene clean;
        prepare(clean, way);
        ASSERT_EQ(write_output(clean.sys, clean.path, way.content), 0) << way.what;
        ASSERT_EQ(harness::read_file(clean.target), expected_after(way)) << way.what;
        const int in_place = way.placed(clean.sys) + 1;
        ASSERT_GT(in_place, 1) << way.what;
        for (const bool after_effect : {false, true}) {
            for (int k = 1; k <= static_cast<int>(clean.sys.log.size()); ++k) {
                const std::string call = clean.sys.log[k - 1];
                SCOPED_TRACE(std::string(way.what) + ": call " + std::to_string(k) + ", " + call +
                             (after_effect ? ", made, then failed" : ""));
                // An open that says it failed gives no descriptor: what it made cannot be known as ours.
                if (after_effect && call.starts_with("open "))
                    continue;
                Scene s;
                prepare(s, way);
                s.sys.fail_at = k;
                s.sys.after_effect = after_effect;
                const Outcome r = run(s, way);
                for (const std::string& name : hidden_names(s.dir.path()))
                    EXPECT_TRUE(r.told(" is left beside it as " + name)) << r.messages;
                const bool new_stands = r.status == 0 || r.told("; the new content stands all the same");
                const std::string previous = way.exists ? kPrevious : "";
                if (after_effect) {
                    if (new_stands || (!r.told("; it is left part written") && !way.through_descriptor)) {
                        EXPECT_EQ(r.now, new_stands ? expected_after(way) : previous) << r.messages;
                    }
                } else if (k < in_place) {
                    EXPECT_EQ(r.status, has_fallback(clean.sys, k) ? 0 : EIO);
                    EXPECT_EQ(r.now, r.status == 0 ? expected_after(way) : previous);
                    if (r.status != 0) {
                        const std::set<std::string> only_out{"out"};
                        EXPECT_EQ(names_in(s.dir.path()), way.exists ? only_out : std::set<std::string>{});
                    }
                } else {
                    EXPECT_EQ(r.status, call == "sync" || call == "truncate" ? EIO : 0);
                    EXPECT_EQ(r.now.substr(0, way.content.size()), r.status == 0 ? expected_after(way) : way.content);
                    EXPECT_EQ(r.status != 0,
                              r.told("; the new content stands all the same") || r.told("; it is left part written"));
                    // The old file is removed only once a look has shown it is the old file.
                    const bool left = call.starts_with("unlink .out.tmp-") || call.starts_with("stat .out.tmp-");
                    const std::set<std::string> hidden = hidden_names(s.dir.path());
                    EXPECT_EQ(hidden.size(), left ? 1u : 0u);
                    EXPECT_EQ(r.told(" is left beside it as "), left) << r.messages;
                    for (const std::string& name : hidden)   // and why
                        EXPECT_TRUE(r.told(" is left beside it as " + name + ": Input/output error")) << r.messages;
                }
            }
        }
    }
}

// Another process between any two calls: its update replacing the target, a clean-up
// removing hidden files, a foreign file renamed onto a hidden name. Whatever it did
// stands, and the status says whether this run's content is in place.
TEST(OutputLayer, AnotherProcessDuringTheRunIsNeverUndoneAndTheStatusTellsTheTruth) {
    const struct {
        const char* what;
        std::function<void(Scene&)> make;
    } changes[] = {
        {"their update replaces the target",
         [](Scene& s) {
             harness::write_file(s.dir.path() / "theirs", "their update\n");
             fs::rename(s.dir.path() / "theirs", s.target);
         }},
        {"a clean-up removes hidden files",
         [](Scene& s) {
             for (const std::string& name : hidden_names(s.dir.path()))
                 fs::remove(s.dir.path() / name);
         }},
        {"a foreign file lands on a hidden name",
         [](Scene& s) {
             for (const std::string& name : hidden_names(s.dir.path())) {
                 harness::write_file(s.dir.path() / "foreign", "foreign\n");
                 fs::rename(s.dir.path() / "foreign", s.dir.path() / name);
             }
         }},
    };
    for (const Way& way : kWays) {
        if (way.through_descriptor)
            continue;
        Scene clean;
        prepare(clean, way);
        ASSERT_EQ(write_output(clean.sys, clean.path, way.content), 0);
        // Their update counts as the old file until the kernel opens the target (while it
        // does not exist, until it is looked up). The last look at the name settles it, or
        // the link that puts a new file in place.
        const int opened = way.exists ? after(clean.sys, "open " + clean.path) : after(clean.sys, "stat out");
        int settled = static_cast<int>(clean.sys.log.size());
        while (clean.sys.log[settled - 1] != "stat out")
            --settled;
        if (!way.exists)
            settled = std::max(settled, way.placed(clean.sys));
        ASSERT_GT(opened, 0);
        ASSERT_GT(settled, opened);
        for (const auto& change : changes) {
            for (int k = 1; k <= static_cast<int>(clean.sys.log.size()); ++k) {
                SCOPED_TRACE(std::string(way.what) + ", " + change.what + ": before call " + std::to_string(k) + ", " +
                             clean.sys.log[k - 1]);
                Scene s;
                prepare(s, way);
                s.sys.hook_at = k;
                s.sys.between = [&] { change.make(s); };
                const Outcome r = run(s, way);
                const std::string before = way.exists ? kPrevious : "";
                // Where names cannot swap, an update landing after the last look is lost, as documented.
                if (change.what == changes[0].what && k == after(clean.sys, "rename out 0")) {
                    EXPECT_EQ(r.now, way.content);
                    EXPECT_EQ(r.status, 0);
                } else if (change.what == changes[0].what && k > opened) {
                    EXPECT_EQ(r.now, "their update\n");
                    EXPECT_EQ(r.status, k > settled ? 0 : suite::kChangedDuringRun);
                } else if (r.status == 0) {
                    EXPECT_EQ(r.now, way.content);
                } else {
                    EXPECT_EQ(r.status, suite::kChangedDuringRun);
                    EXPECT_TRUE(r.now == before || r.now == "foreign\n") << r.now;
                }
                // Nothing of this run is left; what another process made, or the old file
                // another process's file displaced, may be.
                for (const std::string& name : hidden_names(s.dir.path())) {
                    const std::string left = harness::read_file(s.dir.path() / name);
                    EXPECT_TRUE(left == "foreign\n" || left == before) << name << ": " << left;
                    EXPECT_TRUE(r.told(" is left beside it as " + name)) << r.messages;
                }
            }
        }
    }
}

// Sets or clears a folder's append-only flag (chattr +a), as root may: whether it could.
bool set_append_only(const fs::path& dir, bool on) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    unsigned flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
    done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return done;
}

// Whether this process holds an unnamed file (O_TMPFILE) made in `dir` open, with bytes in it.
bool holds_unnamed_bytes_in(const fs::path& dir) {
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code failed;
        if (fs::read_symlink(fd.path(), failed).string().starts_with(dir.string() + "/#") &&
            fs::file_size(fd.path(), failed) > 0)
            return true;
    }
    return false;
}

std::string fd_path(const char* folder, int fd, const char* rest = "") {
    return std::string(folder) + std::to_string(fd) + rest;
}

// Where a path leads decides the way: only a descriptor link as the last part is written
// through, whatever descriptors happen to be open on the same file.
TEST(OutputLayer, ArrangementsOfLinksDescriptorsAndMounts) {
    const auto copy_over = [](Scene& s, std::map<std::string, int> refused = {}) {
        s.sys.refused = refused;
        s.sys.refused["change_owner"] = EPERM;
        return s.target.string();
    };
    const auto refused = [](Scene& s, std::map<std::string, int> refused) {
        s.sys.refused = refused;
        return s.target.string();
    };
    // Descriptor 1500 where the hard limit allows it, else the highest a login shell allows.
    const int high = harness::allow_descriptor(1500).empty() ? 1500 : 1000;
    // In a shared sticky folder the kernel refuses another user's file to root as to `>`.
    const bool protected_regular = harness::read_file("/proc/sys/fs/protected_regular").substr(0, 1) != "0";
    const struct {
        const char* what;
        std::function<std::string(Scene&)> arrange;   // returns the path to write
        int error;
        std::string content;
        bool replaced;   // a new file stands under the name
        std::string written = kNew;
        std::size_t emptied = 0;   // hidden files left, empty, where the folder keeps every name
    } cases[] = {
        // FUSE over an append-only folder: no unnamed files, no exchange, nothing renamed
        // or removed, and statx does not tell.
        {"an append-only folder the file system does not call so",
         [&](Scene& s) {
             return refused(s, {{"open_unnamed .", EOPNOTSUPP}, {"rename", EPERM}, {"rename out 2", EINVAL},
                                {"unlink", EPERM}});
         },
         0, kNew, false, kNew, 1},
        {"there, an overwrite that fails part-way: written again, and the hidden file emptied",
         [&](Scene& s) {
             s.sys.refused_once["write_at"] = ENOSPC;
             return refused(s, {{"open_unnamed .", EOPNOTSUPP}, {"rename", EPERM}, {"rename out 2", EINVAL},
                                {"unlink", EPERM}});
         },
         0, kNew, false, kNew, 1},
        {"a new output there, as `>` makes it",
         [&](Scene& s) {
             fs::remove(s.target);
             return refused(s, {{"open_unnamed .", EOPNOTSUPP}, {"rename", EPERM}, {"rename out 1", EINVAL},
                                {"unlink", EPERM}});
         },
         0, kNew, true, kNew, 1},
        {"shorter content copied over", [&](Scene& s) { return copy_over(s); }, 0, kNew, false},
        {"empty content copied over", [&](Scene& s) { return copy_over(s); }, 0, "", false, ""},
        {"a full disk before a copy over", [&](Scene& s) { return copy_over(s, {{"reserve", ENOSPC}}); }, ENOSPC,
         kPrevious, false, kLonger},
        {"a full disk part-way through a copy over: written again whole",
         [&](Scene& s) {
             s.sys.refused_once["write_at"] = ENOSPC;
             return copy_over(s);
         },
         0, kNew, false},
        // The disk is full while the private copy beside the target still holds its space.
        {"shared old blocks and a full disk: written again from memory",
         [&](Scene& s) {
             s.sys.refused_once["write_at"] = ENOSPC;
             s.sys.hook_before = "truncate";
             s.sys.between = [&s] {   // looked at before every cut
                 s.sys.hook_before = "truncate";
                 if (holds_unnamed_bytes_in(s.dir.path()))
                     s.sys.refused["write_at"] = ENOSPC;
                 else
                     s.sys.refused.erase("write_at");
             };
             return copy_over(s);
         },
         0, kNew, false},
        {"a full disk without reservations: the tail cut off again",
         [&](Scene& s) { return copy_over(s, {{"reserve", EOPNOTSUPP}, {"write_at", ENOSPC}}); }, ENOSPC, kPrevious,
         false, kLonger},
        {"a mount point is copied over",
         [](Scene& s) { s.sys.mount_root = inode_of(s.target); return s.target.string(); }, 0, kNew, false},
        {"an append-only folder is copied over (faked where this user cannot make one)",
         [](Scene& s) {
             if (!set_append_only(s.dir.path(), true))
                 s.sys.append_only = inode_of(s.dir.path());
             s.after = [&s] { set_append_only(s.dir.path(), false); };
             return s.target.string();
         },
         0, kNew, false},
        {"a rename refused across mounts", [&](Scene& s) { return refused(s, {{"rename out 2", EXDEV}}); }, 0, kNew,
         false},
        {"a rename refused, busy", [&](Scene& s) { return refused(s, {{"rename out 2", EBUSY}}); }, 0, kNew, false},
        {"a rename refused, not permitted", [&](Scene& s) { return refused(s, {{"rename out 2", EPERM}}); }, 0, kNew,
         false},
        {"a file system that cannot exchange", [&](Scene& s) { return refused(s, {{"rename out 2", EINVAL}}); }, 0,
         kNew, true},
        {"the target removed between the look-up and the open",
         [](Scene& s) {
             s.sys.hook_before = "open " + s.target.string();
             s.sys.between = [&s] { fs::rename(s.target, s.dir.path() / "kept"); };
             return s.target.string();
         },
         0, kNew, true},
        {"a chain of 40 symbolic links",
         [](Scene& s) {
             for (int k = 1; k <= 40; ++k)
                 fs::create_symlink(k == 1 ? fs::path("out") : fs::path("l") += std::to_string(k - 1),
                                    s.dir.path() / (fs::path("l") += std::to_string(k)));
             return s.dir.file("l40");
         },
         0, kNew, true},
        {"a name that appears in a shared sticky folder",
         [&](Scene& s) {
             fs::rename(s.target, s.dir.path() / "kept");   // so that its inode is not taken again
             fs::permissions(s.dir.path(), fs::perms::all | fs::perms::sticky_bit);
             s.sys.hook_before = "open " + s.target.string();
             s.sys.between = [&s] {
                 harness::write_file(s.target, "planted\n");
                 if (chown(s.target.c_str(), 1, 1) != 0)
                     harness::write_file(s.target, "planted\n");   // not root: planted by this user
             };
             return s.target.string();
         },
         harness::running_as_root() && protected_regular ? EACCES : suite::kChangedDuringRun, "planted\n", true},
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
        {"a high descriptor keeps its offset",
         [&](Scene& s) {
             const int fd = s.keep(::dup2(s.keep(::open(s.target.c_str(), O_WRONLY)), high));
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
        EXPECT_EQ(write_output(s.sys, path, c.written), c.error);
        if (s.after)
            s.after();
        EXPECT_EQ(harness::read_file(s.target), c.content);
        EXPECT_EQ(inode_of(s.target) != before, c.replaced);
        const std::set<std::string> hidden = hidden_names(s.dir.path());
        EXPECT_EQ(hidden.size(), c.emptied);
        for (const std::string& name : hidden)
            EXPECT_EQ(harness::read_file(s.dir.path() / name), "");
    }
}

// In a child: getppid() traps with SIGSYS, served by a handler, as in a sandbox that
// serves calls itself.
void serve_getppid_by_sigsys() {
    struct sigaction served {};
    served.sa_sigaction = [](int, siginfo_t*, void*) {};
    served.sa_flags = SA_SIGINFO;
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getppid, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (sigaction(SIGSYS, &served, nullptr) != 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(3);
}

// Takes a lock on `file` through a descriptor of its own: fcntl's classic or OFD kind.
void lock_file(const std::string& file, int command, short type, off_t start, off_t length) {
    struct flock held {};
    held.l_type = type;
    held.l_whence = SEEK_SET;
    held.l_start = start;
    held.l_len = length;
    if (fcntl(::open(file.c_str(), O_RDWR), command, &held) != 0)
        _exit(3);
}

// Another install of the same file, in a process of its own: it holds the installs' lock
// for a moment, then puts its file in place and lets the lock go.
void another_install(const std::string& file) {
    int ready[2];
    if (pipe(ready) != 0)
        _exit(3);
    if (fork() == 0) {
        struct flock held {};
        held.l_type = F_WRLCK;
        held.l_start = std::numeric_limits<off_t>::max();
        held.l_len = 1;
        if (fcntl(::open(file.c_str(), O_RDWR), F_OFD_SETLK, &held) != 0 || write(ready[1], "", 1) != 1)
            _exit(3);
        usleep(100'000);
        harness::write_file(file + ".theirs", "their update\n");
        _exit(::rename((file + ".theirs").c_str(), file.c_str()) == 0 ? 0 : 3);
    }
    char byte;
    ::close(ready[1]);
    if (read(ready[0], &byte, 1) != 1)
        _exit(3);
}

// A signal that ends the run removes the content's name first, a real-time one too; one
// that comes while the names swap waits until the new content stands; the synchronous
// ones are never held back, so a sandbox serving calls by SIGSYS goes on serving them.
// Another program's lock, whatever its kind and range, never holds the run up (a run
// still waiting after 5 seconds is ended by SIGALRM).
TEST(OutputLayer, SignalsAndLocksWhileTheContentIsPutInPlace) {
    const struct {
        const char* what;
        const char* before;   // the call the signal or lock comes before
        std::map<std::string, int> refused;
        void (*send)(const std::string& target);
        int status;   // the child's exit status, or 128 + the signal that ended it
        std::string content;
    } cases[] = {
        {"SIGRTMIN while a named content is written", "write", kNoUnnamedFiles, [](auto&) { raise(SIGRTMIN); },
         128 + SIGRTMIN, kPrevious},
        {"SIGTERM while the names swap", "rename out 2", {}, [](auto&) { raise(SIGTERM); }, 128 + SIGTERM, kNew},
        {"SIGSYS trapped while the names swap", "rename out 2", {}, [](auto&) { syscall(SYS_getppid); }, 0, kNew},
        {"a read lock over the whole file", "lock", {}, [](auto& f) { lock_file(f, F_SETLK, F_RDLCK, 0, 0); }, 0,
         kNew},
        {"an OFD lock on the first byte", "lock", {}, [](auto& f) { lock_file(f, F_OFD_SETLK, F_WRLCK, 0, 1); }, 0,
         kNew},
        // Waited for: its update stands, and this run says it came second.
        {"another install of the file", "lock", {}, another_install, 1, "their update\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Scene s;
        harness::write_file(s.target, kPrevious);
        s.sys.refused = c.refused;
        s.sys.hook_before = c.before;
        s.sys.between = [&] { c.send(s.target.string()); };
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            alarm(5);
            serve_getppid_by_sigsys();
            _exit(write_output(s.sys, s.target.string()) == 0 ? 0 : 1);
        }
        int raw = 0;
        ASSERT_EQ(waitpid(child, &raw, 0), child);
        EXPECT_EQ(WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw), c.status);
        EXPECT_EQ(harness::read_file(s.target), c.content);
        EXPECT_EQ(hidden_names(s.dir.path()), std::set<std::string>{});
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

// The access list, the other attributes and the inode flags go with the new file in
// whatever order the file system lists them; the capabilities never do, and a folder's
// default access list does not come in where the old file had none.
TEST(OutputLayer, AttributesAndFlagsAreCarriedButNeverTheCapabilities) {
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
        const bool trusted = setxattr(s.target.c_str(), "trusted.origin", "kept", 4, 0) == 0;   // root's alone
        // Added to the flags the file has (ext4 refuses to lose its extents flag), then read back.
        unsigned flags = 0;
        const int fd = ::open(s.target.c_str(), O_RDONLY);
        if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags |= FS_NODUMP_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags)) != 0)
            flags = 0;
        const bool flagged = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_NODUMP_FL) != 0;
        ::close(fd);
        const std::string list = harness::attribute(s.target, "system.posix_acl_access");
        s.sys.reverse_attributes = reversed;
        // Empty: a write of content would clear the capabilities by itself.
        ASSERT_EQ(write_output(s.sys, s.target.string(), ""), 0);
        EXPECT_EQ(harness::attribute(s.target, "system.posix_acl_access"), list);
        EXPECT_EQ(harness::attribute(s.target, "user.origin"), "kept");
        EXPECT_EQ(harness::attribute(s.target, "trusted.origin"), trusted ? "kept" : "");
        EXPECT_EQ(harness::attribute(s.target, "security.capability"), "") << (capable ? "" : "(none could be set)");
        const int now = ::open(s.target.c_str(), O_RDONLY);
        EXPECT_EQ(ioctl(now, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_NODUMP_FL) != 0, flagged);
        ::close(now);
    }
    Scene s;
    harness::write_file(s.target, kPrevious);
    if (setxattr(s.dir.file("").c_str(), "system.posix_acl_default", access_list().data(), access_list().size(), 0) != 0)
        GTEST_SKIP() << "this file system has no default access lists: " << std::strerror(errno);
    ASSERT_EQ(write_output(s.sys, s.target.string()), 0);
    EXPECT_EQ(harness::attribute(s.target, "system.posix_acl_access"), "");
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
        {02701, false, 02701},
        {04700, false, 00700},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.old_mode) + (c.keeps_set_id ? " kept" : " not kept"));
        Scene s;
        harness::write_file(s.target, kPrevious);
        ASSERT_EQ(chmod(s.target.c_str(), c.old_mode), 0);
        s.sys.refused["keeps_set_id"] = c.keeps_set_id ? 0 : EPERM;   // whoever runs the test
        ASSERT_EQ(write_output(s.sys, s.target.string()), 0);
        struct stat after {};
        ASSERT_EQ(stat(s.target.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode & 07777, c.new_mode);
    }
}

// In a child: the seam writes `size` bytes to `fd` (or at offset 0), every millisecond
// interrupted by a signal whose handler does not restart calls, under a file-size limit
// of `limit`: exits with the error number.
int write_in_child(int fd, std::size_t size, bool at_offset, rlim_t limit) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        struct sigaction tick {};
        tick.sa_handler = [](int) {};
        const rlimit most{limit, limit};
        const itimerval every{{0, 1000}, {0, 1000}};
        std::string data(size, '\0');
        for (std::size_t k = 0; k < size; ++k)
            data[k] = static_cast<char>(k * 7 / 5);
        signal(SIGXFSZ, SIG_IGN);
        if (sigaction(SIGALRM, &tick, nullptr) != 0 || setrlimit(RLIMIT_FSIZE, &most) != 0 ||
            setitimer(ITIMER_REAL, &every, nullptr) != 0)
            _exit(99);
        _exit(at_offset ? suite::system_os().write_at(fd, data.data(), size, 0)
                        : suite::system_os().write(fd, data.data(), size));
    }
    return child;
}

// A write the kernel takes only in part, or interrupts, goes on where it stopped: through
// a pipe read slowly, every byte arrives once and in order; at an offset, a file-size
// limit takes the bytes below it and fails the rest.
TEST(OutputLayer, WritesGoOnAfterShortWritesAndInterruptions) {
    constexpr std::size_t kSize = 4 << 20;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const pid_t writer = write_in_child(ends[1], kSize, false, RLIM_INFINITY);
    ::close(ends[1]);
    std::string got;
    char block[1 << 16];
    for (ssize_t n; (n = ::read(ends[0], block, sizeof block)) != 0; usleep(200))
        got.append(block, n > 0 ? static_cast<std::size_t>(n) : 0);
    ::close(ends[0]);
    int raw = 0;
    ASSERT_EQ(waitpid(writer, &raw, 0), writer);
    EXPECT_EQ(WEXITSTATUS(raw), 0);
    ASSERT_EQ(got.size(), kSize);
    for (std::size_t k = 0; k < kSize; ++k)
        ASSERT_EQ(got[k], static_cast<char>(k * 7 / 5)) << "at " << k;

    harness::TempDir dir;
    const int fd = ::open(dir.file("limited").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(waitpid(write_in_child(fd, 3 * 4096, true, 4096 + 100), &raw, 0) > 0, true);
    ::close(fd);
    EXPECT_EQ(WEXITSTATUS(raw), EFBIG);
    EXPECT_EQ(harness::read_file(dir.path() / "limited").size(), 4096u + 100);
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

// The private file of a copy over waits beside the target where the folder takes one;
// else it falls back from TMPDIR to /tmp to memory. When none will do, or the one taken
// fills, the message names that temporary folder.
TEST(OutputLayer, ThePrivateFileFallsBackAndBlamesTheTemporaryFolder) {
    const struct {
        const char* tmpdir;
        std::map<std::string, int> refused;
        int error;
        const char* blamed;   // the output when null
    } cases[] = {
        {"/nonexistent", {}, 0, nullptr},
        {"/nonexistent", {{"memory_file", ENOMEM}}, 0, nullptr},
        {"/nonexistent", {{"open_unnamed /tmp", EACCES}}, 0, nullptr},
        {"/nonexistent", {{"open_unnamed /tmp", EACCES}, {"memory_file", ENOMEM}}, ENOENT, "/nonexistent"},
        {"", {{"open_unnamed /tmp", EACCES}, {"memory_file", ENOMEM}}, EACCES, "/tmp"},
        {"", {{"write", ENOSPC}}, ENOSPC, "/tmp"},
        {"", {{"open_unnamed /tmp", EACCES}, {"write", ENOSPC}}, ENOSPC, nullptr},   // memory is no folder
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("TMPDIR=") + c.tmpdir + ", " + std::to_string(c.refused.size()) + " refused");
        Scene s;
        harness::write_file(s.target, kPrevious);
        const char* const before = std::getenv("TMPDIR");
        const std::string kept = before != nullptr ? before : "";
        setenv("TMPDIR", c.tmpdir, 1);
        s.sys.refused = c.refused;
        s.sys.refused["open_unnamed ."] = EACCES;   // the folder takes no new file
        suite::output_file out(s.target.string(), s.sys);
        int error = out.open();
        if (error == 0) {
            std::fputs(kNew.c_str(), out.stream());
            error = out.commit().error;
        }
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(out.blamed(), c.blamed != nullptr ? c.blamed : s.target.string());
        EXPECT_EQ(harness::read_file(s.target), c.error == 0 ? kNew : kPrevious);
        before != nullptr ? setenv("TMPDIR", kept.c_str(), 1) : unsetenv("TMPDIR");
    }
}

}  // namespace
