// How every program replaces its output: never over one of its own inputs, through
// symbolic links, keeping the old file's owner, mode and attributes, in place where the
// folder takes no new file, never over what another user planted in a shared folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace {

namespace fs = std::filesystem;

struct Program {
    const char* name;
    std::map<std::string, std::string> inputs;
    const char* output;
    const char* compared_first;   // the input a failed comparison names
};

const Program kPrograms[] = {
    {"slotplan", {{"People.txt", "1 2 Ann Lee A\n"}, {"AppointmentReqs.txt", "1 2 2025 3 14 10:30\n"}},
     "Appointments.txt", "People.txt"},
    {"reqpack", {{"input.txt", "1 100 9\n"}}, "Records.bin", "input.txt"},
    {"payrise", {{"input1.txt", "E Bob Ray,100,a\n"}}, "binary_f.bin", "input1.txt"},
};

harness::Result run_with(const Program& p, std::function<void(const fs::path&)> setup) {
    return harness::run({.program = p.name, .files = p.inputs, .setup = std::move(setup)});
}

// A run as user nobody over an output that holds `previous`.
harness::Result run_as_nobody_over(const Program& p, const std::string& previous,
                                   std::function<void(const fs::path&)> setup) {
    harness::Run run{.program = p.name, .files = p.inputs, .setup = std::move(setup), .unprivileged = true};
    run.files[p.output] = previous;
    return harness::run(run);
}

TEST(Replacement, AnOutputThatIsAnInputIsRefusedAndTheInputKept) {
    for (const Program& p : kPrograms) {
        for (const auto& [input, bytes] : p.inputs) {
            for (const char* link : {"hard link", "symbolic link", "input a symbolic link"}) {
                SCOPED_TRACE(std::string(p.name) + ": " + link + ", " + input);
                auto r = run_with(p, [&, input = input](const fs::path& dir) {
                    if (link[0] == 'h')
                        fs::create_hard_link(dir / input, dir / p.output);
                    else if (link[0] == 's')
                        fs::create_symlink(input, dir / p.output);
                    else
                        fs::rename(dir / input, dir / p.output), fs::create_symlink(p.output, dir / input);
                });
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(r.err, std::string(p.name) + ": " + p.output + ": is the input file " + input +
                                     " itself; not overwritten\n");
                EXPECT_EQ(r.files[link[0] == 'i' ? p.output : input], bytes);
            }
        }
    }
}

// The output's name made a link to an input while the run reads its requests (from a
// FIFO whose writer makes the link first): the file opened to write is compared too.
TEST(Replacement, AnOutputThatBecomesAnInputDuringTheRunIsRefused) {
    pid_t writer = -1;
    auto r = run_with(kPrograms[0], [&](const fs::path& dir) {
        fs::remove(dir / "AppointmentReqs.txt");
        ASSERT_EQ(mkfifo((dir / "AppointmentReqs.txt").c_str(), 0600), 0);
        writer = fork();
        if (writer == 0) {
            const int fifo = open((dir / "AppointmentReqs.txt").c_str(), O_WRONLY);
            fs::create_symlink("People.txt", dir / "Appointments.txt");
            _exit(write(fifo, "1 2 2025 3 14 10:30\n", 20) == 20 ? 0 : 1);
        }
    });
    ASSERT_EQ(waitpid(writer, nullptr, 0), writer);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "slotplan: Appointments.txt: is the input file People.txt itself; not overwritten\n");
    EXPECT_EQ(r.files["People.txt"], kPrograms[0].inputs.at("People.txt"));
}

// However few descriptors a run may open, its status tells the truth: 1 with the previous
// output in place, or 0 with the new one; never 1 once the new one stands.
TEST(Replacement, ADescriptorLimitNeverFailsARunWhoseOutputIsReplaced) {
    if (std::getenv("SUITE_TEST_WRAPPER") != nullptr)
        GTEST_SKIP() << "the wrapper needs descriptors of its own";
    for (const Program& p : kPrograms) {
        const std::string fresh = harness::run(p.name, p.inputs).files[p.output];
        for (int limit = 5; limit <= 10; ++limit) {   // 4 leaves the loader none
            SCOPED_TRACE(std::string(p.name) + ", ulimit -n " + std::to_string(limit));
            harness::Run run{.program = p.name, .files = p.inputs, .descriptors = limit};
            run.files[p.output] = "previous";
            harness::Result r = harness::run(run);
            EXPECT_EQ(r.status, r.files[p.output] == fresh ? 0 : 1) << r.err;
            EXPECT_TRUE(r.files[p.output] == fresh || r.files[p.output] == "previous");
        }
    }
}

TEST(Replacement, AnOutputThatCannotBeComparedIsRefused) {
    for (const Program& p : kPrograms) {
        SCOPED_TRACE(p.name);
        // A link to itself cannot be looked at: that is no proof it is not an input.
        auto r = run_with(p, [&](const fs::path& dir) { fs::create_symlink(p.output, dir / p.output); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string(p.name) + ": " + p.output + ": cannot be compared with the input file " +
                             p.compared_first + ": Too many levels of symbolic links; not written\n");
        EXPECT_EQ(r.files, p.inputs);
    }
}

TEST(Replacement, ALinkedOutputIsReplacedWhereItPointsWithItsPermissionBits) {
    const harness::TempDir elsewhere;
    for (const Program& p : kPrograms) {
        SCOPED_TRACE(p.name);
        const std::string fresh = harness::run(p.name, p.inputs).files[p.output];
        ASSERT_FALSE(fresh.empty());
        const fs::path target = elsewhere.path() / p.output;
        harness::write_file(target, "previous");
        fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
                        fs::perm_options::replace);

        auto r = run_with(p, [&](const fs::path& dir) { fs::create_symlink(target, dir / p.output); });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.files.count(p.output), 0u) << "the link stays a link";
        EXPECT_EQ(harness::read_file(target), fresh);
        struct stat info {};
        ASSERT_EQ(stat(target.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0640u);
    }
}

TEST(Replacement, AFolderWhereNothingCanBeCreatedIsWrittenInPlaceOnceTheResultIsWhole) {
    for (const Program& p : kPrograms) {
        const std::string fresh = harness::run(p.name, p.inputs).files[p.output];
        for (const bool input_readable : {true, false}) {
            SCOPED_TRACE(std::string(p.name) + (input_readable ? "" : ", input a folder"));
            auto r = run_as_nobody_over(p, "previous", [&](const fs::path& dir) {
                fs::permissions(dir / p.output, fs::perms::all, fs::perm_options::replace);
                if (!input_readable)
                    harness::replace_by_folder(dir / p.inputs.begin()->first);
                harness::make_read_only(dir);
            });
            EXPECT_EQ(r.status, input_readable ? 0 : 1) << r.err;
            EXPECT_EQ(r.files[p.output], input_readable ? fresh : "previous");
        }
    }
}

TEST(Replacement, TheNewFileCarriesTheOldOwnerModeAccessListAndAttributes) {
    const harness::TempDir elsewhere;
    for (const Program& p : kPrograms) {
        SCOPED_TRACE(p.name);
        const fs::path target = elsewhere.path() / p.output;
        harness::write_file(target, "previous");
        if (setxattr(target.c_str(), "user.origin", "kept", 4, 0) != 0)
            GTEST_SKIP() << "this file system has no user attributes: " << std::strerror(errno);
        // The named user may write, the owning group only read.
        if (std::system(("setfacl -m u:daemon:rw-,g::r--,m::rw-,o::--- " + target.string() + " 2>/dev/null").c_str()) != 0)
            GTEST_SKIP() << "setfacl (Debian package acl) is missing or this file system has no access lists";
        if (harness::running_as_root()) {
            ASSERT_EQ(chown(target.c_str(), 1, 1), 0);
        }
        struct stat before {};
        ASSERT_EQ(stat(target.c_str(), &before), 0);
        const std::string acl = harness::attribute(target, "system.posix_acl_access");
        ASSERT_FALSE(acl.empty());

        auto r = run_with(p, [&](const fs::path& dir) { fs::create_symlink(target, dir / p.output); });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(harness::read_file(target), "previous");
        struct stat after {};
        ASSERT_EQ(stat(target.c_str(), &after), 0);
        EXPECT_NE(after.st_ino, before.st_ino) << "replaced, not written in place";
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        EXPECT_EQ(harness::attribute(target, "system.posix_acl_access"), acl);
        EXPECT_EQ(harness::attribute(target, "user.origin"), "kept");
    }
}

// A drop box lets others write and search, not read: a new output is made there, and an
// old one of the user's own is still replaced whole, not written over.
TEST(Replacement, ADropBoxFolderTakesANewOutputAndReplacesAnOldOneWhole) {
    if (!harness::running_as_root())
        GTEST_SKIP() << "only root can run a program as another user here";
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const std::map<std::string, std::string> input = {{"input.txt", "1 100 9\n"}};
    const std::string fresh = harness::run("reqpack", input).files["Records.bin"];
    for (const auto mode : {fs::perms::sticky_bit | fs::perms::owner_all | fs::perms::group_write |
                                fs::perms::group_exec | fs::perms::others_write | fs::perms::others_exec,
                            fs::perms::owner_write | fs::perms::owner_exec | fs::perms::group_write |
                                fs::perms::group_exec | fs::perms::others_write | fs::perms::others_exec}) {
        for (const bool exists : {false, true}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(mode)) + (exists ? ", an old output" : ", a new output"));
            const harness::TempDir elsewhere;
            fs::permissions(elsewhere.path(), fs::perms::all & ~fs::perms::others_write & ~fs::perms::group_write);
            const fs::path box = elsewhere.path() / "box";
            fs::create_directory(box);
            const fs::path out = box / "Records.bin";
            struct stat before {};
            if (exists) {
                harness::write_file(out, "previous");
                ASSERT_EQ(chown(out.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
                ASSERT_EQ(stat(out.c_str(), &before), 0);
            }
            fs::permissions(box, mode, fs::perm_options::replace);
            auto r = harness::run({.program = "reqpack", .args = {"-r", out.string()}, .files = input,
                                   .unprivileged = true});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(harness::read_file(out), fresh);
            struct stat after {};
            ASSERT_EQ(stat(out.c_str(), &after), 0);
            EXPECT_NE(after.st_ino, before.st_ino) << "replaced, not written in place";
        }
    }
}

TEST(Replacement, AnotherUsersFileInASharedStickyFolderIsRefusedAsTheShellRefusesIt) {
    if (!harness::running_as_root())
        GTEST_SKIP() << "only root can plant another user's file";
    if (harness::read_file("/proc/sys/fs/protected_regular").substr(0, 1) == "0")
        GTEST_SKIP() << "fs.protected_regular is 0 on this machine: the kernel lets `>` write there too";
    for (const Program& p : kPrograms) {
        SCOPED_TRACE(p.name);
        auto r = run_as_nobody_over(p, "planted", [&](const fs::path& dir) {
            ASSERT_EQ(chown((dir / p.output).c_str(), 1, 1), 0);
            fs::permissions(dir / p.output, fs::perms::all, fs::perm_options::replace);
            fs::permissions(dir, fs::perms::sticky_bit, fs::perm_options::add);
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string(p.name) + ": " + p.output + ": Permission denied\n");
        EXPECT_EQ(r.files[p.output], "planted");
    }
}

}  // namespace
