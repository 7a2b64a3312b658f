// fieldsplit prints the four fields of its built-in text and touches no file.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

TEST(FieldsplitOutput, PrintsFourFieldsRealWithSixDecimals) {
    auto r = harness::run("fieldsplit", {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "first\n 25.500000\n second\n 15\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.files.empty());
}

TEST(FieldsplitOutput, AnyOtherArgumentIsRefusedWithStatusTwo) {
    auto r = harness::run("fieldsplit", {}, {"-x", "extra"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "fieldsplit: unknown argument '-x'\nusage: fieldsplit [-h | --help | --version]\n");
}

TEST(FieldsplitOutput, StandardOutputThatCannotBeWrittenIsAFailure) {
    auto r = harness::run({.program = "fieldsplit", .stdout_path = "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fieldsplit: standard output: No space left on device\n");

    // Started without it: the /dev/null put in its place must not swallow the lines.
    harness::Run closed{.program = "fieldsplit", .closed = {1}};
    auto c = harness::run(closed);
    EXPECT_EQ(c.status, 1);
    EXPECT_EQ(c.err, "fieldsplit: standard output: Bad file descriptor\n");

    // The streams it does not use may be closed.
    closed.closed = {0, 2};
    auto unused = harness::run(closed);
    EXPECT_EQ(unused.status, 0);
    EXPECT_EQ(unused.out, "first\n 25.500000\n second\n 15\n");
}

TEST(FieldsplitInfo, HelpAndVersionAnswerOnStandardOutput) {
    for (const char* option : {"--help", "-h"}) {
        auto help = harness::run("fieldsplit", {}, {option});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("usage: fieldsplit [-h | --help | --version]\n", 0), 0u) << help.out;
        EXPECT_EQ(help.err, "");
    }

    auto version = harness::run("fieldsplit", {}, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "fieldsplit (batch suite) " SUITE_VERSION ", MIT licence\n");
}

}  // namespace
