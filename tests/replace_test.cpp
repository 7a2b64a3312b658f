// How every program replaces its output: never over one of its own inputs, through
// symbolic links, keeping the old file's permission bits.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
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
    harness::Run run;
    run.program = p.name;
    run.files = p.inputs;
    run.setup = std::move(setup);
    return harness::run(run);
}

std::string read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

TEST(Replacement, AnOutputThatIsAnInputIsRefusedAndTheInputKept) {
    for (const Program& p : kPrograms) {
        for (const auto& [input, bytes] : p.inputs) {
            for (const bool hard : {false, true}) {
                SCOPED_TRACE(std::string(p.name) + (hard ? ": hard link to " : ": symbolic link to ") + input);
                auto r = run_with(p, [&, input = input](const fs::path& dir) {
                    if (hard)
                        fs::create_hard_link(dir / input, dir / p.output);
                    else
                        fs::create_symlink(input, dir / p.output);
                });
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(r.err, std::string(p.name) + ": " + p.output + ": is the input file " + input +
                                     " itself; not overwritten\n");
                EXPECT_EQ(r.files[input], bytes);
            }
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
    const fs::path elsewhere = fs::temp_directory_path() / ("suite-elsewhere-" + std::to_string(getpid()));
    fs::create_directories(elsewhere);
    for (const Program& p : kPrograms) {
        SCOPED_TRACE(p.name);
        const std::string fresh = harness::run(p.name, p.inputs).files[p.output];
        ASSERT_FALSE(fresh.empty());
        const fs::path target = elsewhere / p.output;
        std::ofstream(target) << "previous";
        fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
                        fs::perm_options::replace);

        auto r = run_with(p, [&](const fs::path& dir) { fs::create_symlink(target, dir / p.output); });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.files.count(p.output), 0u) << "the link stays a link";
        EXPECT_EQ(read_all(target), fresh);
        struct stat info {};
        ASSERT_EQ(stat(target.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0640u);
    }
    fs::remove_all(elsewhere);
}

TEST(Replacement, AFolderWhereNothingCanBeCreatedIsWrittenInPlace) {
    for (const Program& p : kPrograms) {
        SCOPED_TRACE(p.name);
        const std::string fresh = harness::run(p.name, p.inputs).files[p.output];
        harness::Run run;
        run.program = p.name;
        run.files = p.inputs;
        run.files[p.output] = "previous";
        run.unprivileged = true;
        run.setup = [&](const fs::path& dir) {
            fs::permissions(dir / p.output, fs::perms::all, fs::perm_options::replace);
            harness::make_read_only(dir);
        };
        auto r = harness::run(run);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.files[p.output], fresh);
    }
}

}  // namespace
