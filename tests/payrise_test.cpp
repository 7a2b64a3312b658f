// payrise end to end: input1.txt in, the exact bytes of binary_f.bin, the messages
// and the exit status out, on good input, odd lines and failing files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

namespace fs = std::filesystem;

using harness::payrise_record;

harness::Result run_on(const std::string& input) {
    return harness::run("payrise", {{"input1.txt", input}});
}

TEST(PayriseConvert, EveryKindAndGradeGivesItsRecord) {
    auto r = run_on(
        "I Anna Berg,Sales,Oslo,Clerk,100\n"
        "E Per Lund,100,a\n"
        "E Kari Dahl,100,b\n"
        "E Ola Nord,100,c\n"
        "E Siri Holm,100,A\n"
        "E Tor Hauge,100,d\n"
        "Intern Tom Wold,Support,Bergen,Trainee,2000.5\n"
        "e lena vik,100,b\n"
        "i ida ask,x,y,z,-40\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "payrise: input1.txt: line 5: grade 'A' is not a, b or c: the salary is kept\n"
              "payrise: input1.txt: line 6: grade 'd' is not a, b or c: the salary is kept\n");
    // I raises by 5.15 per cent: 100 gives 105.15, 2000.5 gives 2103.52575, -40 gives -42.06.
    const std::string expected =
        payrise_record('I', 105.15) + payrise_record('E', 117.5, 'a') + payrise_record('E', 112, 'b') +
        payrise_record('E', 109, 'c') + payrise_record('E', 100, 'A') + payrise_record('E', 100, 'd') +
        payrise_record('I', 2103.52575) + payrise_record('e', 112, 'b') + payrise_record('i', -42.06);
    EXPECT_EQ(harness::hex(r.files["binary_f.bin"]), harness::hex(expected));
}

TEST(PayriseConvert, LastLineWithoutLineEndIsConverted) {
    auto r = run_on("E Per Lund,100,a\nI a b,c,d,e,100");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(harness::hex(r.files["binary_f.bin"]),
              harness::hex(payrise_record('E', 117.5, 'a') + payrise_record('I', 105.15)));
}

TEST(PayriseConvert, EmptyInputGivesEmptyFile) {
    auto r = run_on("");
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.files.count("binary_f.bin"), 1u);
    EXPECT_EQ(r.files["binary_f.bin"], "");
}

TEST(PayriseConvert, OtherKindsAndEmptyLinesAreSkippedSilently) {
    auto r = run_on("x Per Lund,100,a\n\n , ,,\n\t\nE Per Lund,100,c\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(harness::hex(r.files["binary_f.bin"]), harness::hex(payrise_record('E', 109, 'c')));
}

TEST(PayriseConvert, SalaryTextsReadAsAtofReadsThem) {
    // Blanks and a sign, an exponent, a hexadecimal form, inf and a lone point are
    // numbers. A text atof converts nothing of is read as 0 and named: the first
    // line's salary is its line end, and a salary quoted as a spreadsheet quotes it
    // is cut at its comma.
    auto r = run_on(
        "I a b,c,d,e,\n"
        "E a b,  +1e2,a\n"
        "E a b,0x64,b\n"
        "E a b,pay,c\n"
        "E a b,\"2,800\",a\n"
        "E a b,-inf,x\n"
        "I a b,c,d,e, + 1\n"
        "E a b,.5,d\n"
        "E Per Lund,3 000,a\n"
        "E Kari Dahl,3000,50,b\n"
        "I a b,c,d,e,100 \n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "payrise: input1.txt: line 1: salary '' is not a number, read as 0\n"
              "payrise: input1.txt: line 4: salary 'pay' is not a number, read as 0\n"
              "payrise: input1.txt: line 5: salary '\"2' is not a number, read as 0\n"
              "payrise: input1.txt: line 5: grade '800\",a' is not a, b or c: the salary is kept\n"
              "payrise: input1.txt: line 6: grade 'x' is not a, b or c: the salary is kept\n"
              "payrise: input1.txt: line 7: salary ' + 1' is not a number, read as 0\n"
              "payrise: input1.txt: line 8: grade 'd' is not a, b or c: the salary is kept\n"
              "payrise: input1.txt: line 9: salary '3 000' is read only in part, as '3'\n"
              "payrise: input1.txt: line 10: grade '50,b' is not a, b or c: the salary is kept\n");
    EXPECT_EQ(harness::hex(r.files["binary_f.bin"]),
              harness::hex(payrise_record('I', 0) + payrise_record('E', 117.5, 'a') +
                           payrise_record('E', 112, 'b') + payrise_record('E', 0, 'c') +
                           payrise_record('E', 0, '8') + payrise_record('E', -HUGE_VAL, 'x') +
                           payrise_record('I', 0) + payrise_record('E', 0.5, 'd') +
                           payrise_record('E', 3.525, 'a') + payrise_record('E', 3000, '5') +
                           payrise_record('I', 105.15)));
}

TEST(PayriseConvert, LineWithTooFewFieldsIsNamedAndSkipped) {
    auto r = run_on("E Ola Nord,100\nI a b,c,d\nE a b,100,a\nE a b,100,\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "payrise: input1.txt: line 1: too few fields for kind E, no record written: 'E Ola Nord,100'\n"
              "payrise: input1.txt: line 2: too few fields for kind I, no record written: 'I a b,c,d'\n"
              "payrise: input1.txt: line 4: too few fields for kind E, no record written: 'E a b,100,'\n");
    EXPECT_EQ(harness::hex(r.files["binary_f.bin"]), harness::hex(payrise_record('E', 117.5, 'a')));
}

TEST(PayriseConvert, LineOverOneMebibyteIsNamedAndSkipped) {
    // " b,c,d,e,100" is 12 bytes: the first line holds 1 MiB before its line end, the
    // second one byte more.
    const std::size_t mib = 1 << 20;
    auto r = run_on("I " + std::string(mib - 14, 'n') + " b,c,d,e,100\n" + "I " + std::string(mib - 13, 'n') +
                    " b,c,d,e,100\nE a b,100,b\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "payrise: input1.txt: line 2: longer than 1 MiB, no record written\n");
    EXPECT_EQ(harness::hex(r.files["binary_f.bin"]),
              harness::hex(payrise_record('I', 105.15) + payrise_record('E', 112, 'b')));
}

TEST(PayriseArguments, AnyOtherArgumentIsRefusedBeforeAFileIsOpened) {
    const std::string synopsis = "usage: payrise\n       payrise --print [FILE]\n       payrise -h | --help | --version\n";
    const std::map<std::string, std::string> files{{"input1.txt", "E a b,100,a\n"}, {"a", ""}};
    struct Case { std::vector<std::string> args; const char* refused; };
    const Case cases[] = {
        {{"-x", "other.txt"}, "-x"},
        {{"input.csv"}, "input.csv"},
        {{"--print", "a", "b"}, "b"},
    };
    for (const Case& c : cases) {
        auto r = harness::run("payrise", files, c.args);
        EXPECT_EQ(r.status, 2) << c.refused;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("payrise: unknown argument '") + c.refused + "'\n" + synopsis);
        EXPECT_EQ(r.files, files) << "nothing is written";
    }
}

TEST(PayriseFiles, MissingInputCreatesNoOutput) {
    auto r = harness::run("payrise", {});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR!! Check file!\n");
    EXPECT_EQ(r.err, "payrise: input1.txt: No such file or directory\n");
    EXPECT_TRUE(r.files.empty());
}

TEST(PayriseFiles, UnreadableInputLeavesEarlierOutputAlone) {
    auto r = harness::run({.program = "payrise",
                           .files = {{"input1.txt", "E a b,100,a\n"}, {"binary_f.bin", "earlier"}},
                           .setup = [](const fs::path& dir) { harness::make_unreadable(dir / "input1.txt"); },
                           .unprivileged = true});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR!! Check file!\n");
    EXPECT_EQ(r.err, "payrise: input1.txt: Permission denied\n");
    EXPECT_EQ(r.files["binary_f.bin"], "earlier");
}

TEST(PayriseFiles, InputThatIsADirectoryIsAReadError) {
    auto r = harness::run({.program = "payrise",
                           .setup = [](const fs::path& dir) { harness::replace_by_folder(dir / "input1.txt"); }});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "payrise: input1.txt: Is a directory\n");
    EXPECT_TRUE(r.files.empty()) << "binary_f.bin must not be created";
}

TEST(PayriseFiles, OutputFailuresAreReported) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> setup;
        bool unprivileged;
        const char* err;
    };
    const Case cases[] = {
        {"full disk",
         [](const fs::path& dir) { harness::replace_by_link_to_dev_full(dir / "binary_f.bin"); },
         false, "payrise: binary_f.bin: No space left on device\n"},
        {"directory", [](const fs::path& dir) { harness::replace_by_folder(dir / "binary_f.bin"); }, false,
         "payrise: binary_f.bin: Is a directory\n"},
        {"read-only folder",
         [](const fs::path& dir) { harness::make_read_only(dir); },
         true, "payrise: binary_f.bin: Permission denied\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = harness::run({.program = "payrise",
                               .files = {{"input1.txt", "E a b,100,a\n"}},
                               .setup = c.setup,
                               .unprivileged = c.unprivileged});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.files.count("binary_f.bin"), 0u);
    }
}

TEST(PayriseFiles, FullStandardOutputIsReported) {
    auto r = harness::run({.program = "payrise", .stdout_path = "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "payrise: input1.txt: No such file or directory\n"
              "payrise: standard output: No space left on device\n");
}

TEST(PayriseInfo, HelpAndVersionTouchNoFile) {
    for (const char* option : {"--help", "-h"}) {
        auto help = harness::run("payrise", {{"input1.txt", "E a b,100,a\n"}}, {option});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("usage: payrise\n", 0), 0u) << help.out;
        EXPECT_EQ(help.err, "");
        EXPECT_EQ(help.files.count("binary_f.bin"), 0u);
    }

    auto version = harness::run("payrise", {}, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "payrise (batch suite) " SUITE_VERSION ", MIT licence\n");
}

// ---- --print: binary_f.bin back as text lines ----

TEST(PayrisePrint, LinesAndFailures) {
    const std::string records = payrise_record('I', 2103) + payrise_record('E', 3525, 'a') +
                                payrise_record('e', 1382.7071999999998, 'b') + payrise_record('E', -0.0, 'c') +
                                payrise_record('E', 100, 'd') + payrise_record('i', 1.0515e+300);
    const std::string lines = "I 2103\nE 3525 a\ne 1382.7071999999998 b\nE -0 c\nE 100 d\ni 1.0515e+300\n";
    const std::string no_kind = payrise_record('I', 2103) + payrise_record('\x8f', 1) + payrise_record('I', 7);
    harness::expect_prints("payrise", {
        {"default file", {{"binary_f.bin", records}}, {"--print"}, "", 0, lines, ""},
        {"named file", {{"b.bin", records}}, {"--print", "b.bin"}, "", 0, lines, ""},
        {"standard input", {{"in", records}}, {"--print", "-"}, "in", 0, lines, ""},
        {"empty file", {{"binary_f.bin", ""}}, {"--print"}, "", 0, "", ""},
        {"cut file", {{"binary_f.bin", records + std::string(55, '\0')}}, {"--print"}, "", 1, lines,
         "payrise: binary_f.bin: 55 bytes after the last whole record\n"},
        {"no kind", {{"binary_f.bin", no_kind}}, {"--print"}, "", 1, "I 2103\n",
         "payrise: binary_f.bin: record 2: kind byte 0x8f is not I or E\n"},
        {"missing file", {}, {"--print"}, "", 1, "", "payrise: binary_f.bin: No such file or directory\n"},
    });
}

// Every printed salary reads back to the very double in the record.
TEST(PayrisePrint, SalariesReadBackToTheSameDoubles) {
    const auto staff = harness::run("bench_gen", {}, {"staff", "5000"});
    ASSERT_EQ(staff.status, 0);
    auto converted = run_on(staff.out);
    ASSERT_EQ(converted.status, 0);
    const std::string& records = converted.files["binary_f.bin"];
    ASSERT_EQ(records.size(), 5000u * 56);

    auto printed = harness::run("payrise", {{"binary_f.bin", records}}, {"--print"});
    ASSERT_EQ(printed.status, 0);
    std::string rebuilt;
    std::istringstream lines(printed.out);
    for (std::string kind, salary, grade; lines >> kind >> salary;) {
        const double value = std::strtod(salary.c_str(), nullptr);
        if (kind == "I" || kind == "i") {
            rebuilt += payrise_record(kind[0], value);
        } else {
            ASSERT_TRUE(lines >> grade);
            rebuilt += payrise_record(kind[0], value, grade[0]);
        }
    }
    EXPECT_TRUE(rebuilt == records) << "printed salaries do not give the records back";
}

}  // namespace
