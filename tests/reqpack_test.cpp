// reqpack end to end: input.txt in, the echo lines, the records file's exact bytes,
// the messages and the exit status out.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "harness.h"
#include "part1.h"

namespace fs = std::filesystem;

namespace {

std::string record_bytes(std::int32_t app_id, std::int32_t patient_id, std::int32_t hour) {
    unsigned char bytes[kRecordSize];
    encode_request({app_id, patient_id, hour}, bytes);
    return std::string(reinterpret_cast<const char*>(bytes), kRecordSize);
}

harness::Result run_on(const std::string& input, const std::vector<std::string>& args = {}) {
    return harness::run("reqpack", {{"input.txt", input}}, args);
}

TEST(ReqpackConvert, TwoRequestsGiveTwoEchoLinesAnd24Bytes) {
    auto r = run_on("1 100 9\n2 101 10\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "binary 1 100 9 \nbinary 2 101 10 \n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(harness::hex(r.files["Records.bin"]),
              "01 00 00 00 64 00 00 00 09 00 00 00 02 00 00 00 65 00 00 00 0a 00 00 00");
}

TEST(ReqpackConvert, NegativesAreTwosComplementAndSignsSeparateNumbers) {
    auto minus_one = run_on("-1 -1 -1");
    EXPECT_EQ(minus_one.status, 0);
    EXPECT_EQ(harness::hex(minus_one.files["Records.bin"]), "ff ff ff ff ff ff ff ff ff ff ff ff");

    auto glued = run_on("1-2-3");
    EXPECT_EQ(glued.status, 0);
    EXPECT_EQ(glued.out, "binary 1 -2 -3 \n");
    EXPECT_EQ(harness::hex(glued.files["Records.bin"]), "01 00 00 00 fe ff ff ff fd ff ff ff");

    auto extremes = run_on("\t-2147483648\v+2147483647\f\r\n007");
    EXPECT_EQ(extremes.status, 0);
    EXPECT_EQ(extremes.out, "binary -2147483648 2147483647 7 \n");
    EXPECT_EQ(harness::hex(extremes.files["Records.bin"]), "00 00 00 80 ff ff ff 7f 07 00 00 00");
}

TEST(ReqpackConvert, EmptyInputGivesAnEmptyRecordsFile) {
    auto r = run_on(" \n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.files.count("Records.bin"), 1u);
    EXPECT_EQ(r.files["Records.bin"], "");
}

TEST(ReqpackConvert, ManyRequestsCrossEveryBlockBoundaryIntact) {
    std::string input;
    std::string echo;
    std::string records;
    char line[64];
    for (int k = 0; k < 30000; ++k) {
        const std::int32_t id = k * 7919 - 100000000;
        const std::int32_t patient = -k;
        const std::int32_t hour = k % 24;
        std::snprintf(line, sizeof line, "%d %d %d\n", id, patient, hour);
        input += line;
        std::snprintf(line, sizeof line, "binary %d %d %d \n", id, patient, hour);
        echo += line;
        records += record_bytes(id, patient, hour);
    }
    auto r = run_on(input);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == echo) << "echo differs";
    EXPECT_TRUE(r.files["Records.bin"] == records) << "records differ";
}

TEST(ReqpackConvert, OptionRNamesTheRecordsFile) {
    auto r = run_on("5 6 7\n", {"-r", "out.bin", "-s", "8"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.files.count("Records.bin"), 0u);
    EXPECT_EQ(r.files["out.bin"], record_bytes(5, 6, 7));
}

TEST(ReqpackConvert, RecordsReadBackThroughGetRequests) {
    auto r = run_on("1 100 9\n2 101 10\n-3 0 2147483647\n", {"/r", "out.bin"});
    ASSERT_EQ(r.status, 0);
    const harness::TempDir dir;
    const std::string path = dir.file("out.bin");
    harness::write_file(path, r.files["out.bin"]);

    std::string program = "reqpack", letter = "-r", value = path;
    char* argv[] = {program.data(), letter.data(), value.data(), nullptr};
    hour_range hours{};
    file_names names{};
    ASSERT_TRUE(get_main_arguments(3, argv, hours, names));
    const auto records = getRequests(names);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].app_id, 1);
    EXPECT_EQ(records[1].patient_id, 101);
    EXPECT_EQ(records[2].app_id, -3);
    EXPECT_EQ(records[2].hour, 2147483647);
}

// Bad input stops the run there: what came before is written and echoed, the rest is not.
// A request across a line end is named on its way.
TEST(ReqpackBadInput, StopsAtTheRequestItCannotReadWhole) {
    const struct {
        std::string input;
        int written;  // requests echoed and written, of "1 100 9" and "2 101 10"
        const char* err;
        int before = 0;  // lines of "1 100 9" before the input, written too
    } cases[] = {
        {"1 100 9 2 101", 1, "reqpack: input.txt: line 1, request 2: the last request is incomplete\n"},
        {"1 100 9\n2\n", 1, "reqpack: input.txt: line 2, request 2: the last request is incomplete\n"},
        {"1 100", 0, "reqpack: input.txt: line 1, request 1: the last request is incomplete\n"},
        {"1 100 9\n2 x 10\n", 1, "reqpack: input.txt: line 2, request 2: not a number: 'x 10'\n"},
        {"1 100 9\n2\n101 x\n", 1, "reqpack: input.txt: line 3, request 2: not a number: 'x'\n"},
        {std::string(300, '\n') + "x", 0, "reqpack: input.txt: line 301, request 1: not a number: 'x'\n"},
        {"1 100 9\n2 101 10x\n", 2, "reqpack: input.txt: line 2, request 3: not a number: 'x'\n"},
        {"1 100 9\n2 101 10x\n", 2, "reqpack: input.txt: line 700001, request 700002: not a number: 'x'\n", 699999},
        {"1 100\n9\n2 101 10x", 2,
         "reqpack: input.txt: line 1, request 1: runs on to line 2: '1 100'\n"
         "reqpack: input.txt: line 3, request 3: not a number: 'x'\n"},
        {"1 100 9 -", 1, "reqpack: input.txt: line 1, request 2: not a number: '-'\n"},
        {"1,100,9", 0, "reqpack: input.txt: line 1, request 1: not a number: ',100,9'\n"},
        {"1 100 9\n2 101 2147483648\n", 1,
         "reqpack: input.txt: line 2, request 2: number outside the 32-bit range: '2147483648'\n"},
        {"-2147483649 1 1", 0, "reqpack: input.txt: line 1, request 1: number outside the 32-bit range: '-2147483649 1 1'\n"},
        {"1 100 9\n99999999999999999999 0 0\n", 1,
         "reqpack: input.txt: line 2, request 2: number outside the 32-bit range: '99999999999999999999'\n"},
        // The number starts 5 bytes before the end of the first 64 KiB read: quoted whole.
        {std::string(65531, ' ') + "99999999999999999999", 0,
         "reqpack: input.txt: line 1, request 1: number outside the 32-bit range: '99999999999999999999'\n"},
    };
    const std::string echo[] = {"binary 1 100 9 \n", "binary 2 101 10 \n"};
    const std::string bytes[] = {record_bytes(1, 100, 9), record_bytes(2, 101, 10)};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        std::string input, out, records;
        for (int k = 0; k < c.before; ++k) {
            input += "1 100 9\n";
            out += echo[0];
            records += bytes[0];
        }
        auto r = run_on(input + c.input);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        for (int k = 0; k < c.written; ++k) {
            out += echo[k];
            records += bytes[k];
        }
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.files["Records.bin"], records);
    }
}

// ---- files that cannot be opened, read or written ----

TEST(ReqpackFiles, MissingInputLeavesAnExistingRecordsFileAlone) {
    auto r = harness::run("reqpack", {{"Records.bin", "keep these bytes"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Check input text file name\n");
    EXPECT_EQ(r.files["Records.bin"], "keep these bytes");

    auto none = harness::run("reqpack", {});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "Check input text file name\n");
    EXPECT_TRUE(none.files.empty());
}

TEST(ReqpackFiles, UnreadableInputLeavesAnExistingRecordsFileAlone) {
    auto r = harness::run({.program = "reqpack",
                           .files = {{"input.txt", "1 2 3\n"}, {"Records.bin", "old"}},
                           .setup =
                               [](const fs::path& dir) {
                                   harness::make_unreadable(dir / "input.txt");
                                   fs::permissions(dir / "Records.bin", fs::perms::all);
                               },
                           .unprivileged = true});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Check input text file name\n");
    EXPECT_EQ(r.files["Records.bin"], "old");
}

TEST(ReqpackFiles, InputThatIsAFolderIsAReadErrorAndCreatesNothing) {
    auto r = harness::run({.program = "reqpack",
                           .setup = [](const fs::path& dir) { harness::replace_by_folder(dir / "input.txt"); }});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "reqpack: input.txt: Is a directory\n");
    EXPECT_TRUE(r.files.empty());
}

TEST(ReqpackFiles, RecordsFileThatCannotBeCreatedSaysSo) {
    auto r = harness::run({.program = "reqpack",
                           .args = {"-r", "out"},
                           .files = {{"input.txt", "1 2 3\n"}},
                           .setup = [](const fs::path& dir) { harness::replace_by_folder(dir / "out"); }});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Check records file name\n");

    auto l = harness::run({.program = "reqpack",
                           .files = {{"input.txt", "1 2 3\n"}},
                           .setup = [](const fs::path& dir) { harness::make_read_only(dir); },
                           .unprivileged = true});
    EXPECT_EQ(l.status, 1);
    EXPECT_EQ(l.out, "Check records file name\n");
    EXPECT_EQ(l.files.count("Records.bin"), 0u);
}

TEST(ReqpackFiles, FullRecordsFileIsAFailure) {
    // Many more requests than a block of records holds, each written with a '+' sign,
    // which the usual pass leaves to the request-at-a-time way: the full disk stops that
    // way at its first block, long before the end of the input.
    std::string requests;
    for (int k = 0; k < 20000; ++k)
        requests += "+1 +2 +3\n";
    auto r = harness::run({.program = "reqpack",
                           .files = {{"input.txt", requests}},
                           .setup = [](const fs::path& d) {
                               harness::replace_by_link_to_dev_full(d / "Records.bin");
                           }});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "reqpack: Records.bin: No space left on device\n");
    EXPECT_LT(std::count(r.out.begin(), r.out.end(), '\n'), 10000) << "the echo goes on past the failed records";
}

TEST(ReqpackFiles, FullStandardOutputIsAFailure) {
    harness::Run run{.program = "reqpack", .files = {{"input.txt", "1 2 3\n"}}, .stdout_path = "/dev/full"};
    auto r = harness::run(run);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "reqpack: standard output: No space left on device\n");
    EXPECT_EQ(r.files.count("Records.bin"), 0u) << "records of a failed run are not kept";

    run.files = {};
    auto missing = harness::run(run);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "reqpack: input.txt: No such file or directory\n"
                           "reqpack: standard output: No space left on device\n");

    auto c = harness::run({.program = "reqpack",
                           .files = {{"input.txt", "1 2 3\n"}, {"Records.bin", "old"}},
                           .closed = {1}});
    EXPECT_EQ(c.status, 1);
    EXPECT_EQ(c.err, "reqpack: standard output: Bad file descriptor\n");
    EXPECT_EQ(c.files["Records.bin"], "old");
}

TEST(ReqpackFiles, RecordsFileThatIsTheInputIsNotOverwritten) {
    for (const char* name : {"input.txt", "./input.txt", "link.bin"}) {
        auto r = harness::run({.program = "reqpack",
                               .args = {"-r", name},
                               .files = {{"input.txt", "1 2 3\n"}},
                               .setup = [](const fs::path& d) { fs::create_symlink("input.txt", d / "link.bin"); }});
        SCOPED_TRACE(name);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("reqpack: ") + name + ": is the input file input.txt itself; not overwritten\n");
        EXPECT_EQ(r.files["input.txt"], "1 2 3\n");
    }
}

TEST(ReqpackFiles, ClosedPipeFailsAConversionButEndsAPrinterQuietly) {
    harness::Run run{.program = "reqpack", .files = {{"input.txt", "1 2 3\n"}}, .stdout_to_closed_pipe = true};
    auto convert = harness::run(run);
    EXPECT_EQ(convert.status, 1);
    EXPECT_EQ(convert.err, "reqpack: standard output: Broken pipe\n");

    // Enough lines to fill the pipe's buffer; the first failed write ends the printer
    // as it ends cat.
    std::string records;
    for (int k = 0; k < 20000; ++k)
        records += record_bytes(k, -k, 9);
    run.files = {{"Records.bin", records}};
    run.args = {"--print"};
    auto print = harness::run(run);
    EXPECT_EQ(print.status, 128 + SIGPIPE);
    EXPECT_EQ(print.err, "");
}

// ---- options ----

TEST(ReqpackOptions, BadOptionsStopBeforeAnyFileIsTouched) {
    const std::string usage = "usage: reqpack [-r records]";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;   // the start of standard error
    } cases[] = {
        {{"-s", "8", "-r"}, 1, "reqpack: option -r needs a value\n"},
        {{"-r", ""}, 1, "reqpack: option -r: the file name is empty\n"},
        {{"--pirnt"}, 2, "reqpack: unknown option '--pirnt'\n" + usage},
        {{"--records", "out.bin"}, 2, "reqpack: unknown option '--records'\n" + usage},
        {{"-R", "out.bin", "-r", "--"}, 2, "reqpack: unknown option '--'\n" + usage},
        {{"-r", "out.bin", "--pirnt", "--help"}, 2, "reqpack: unknown option '--pirnt'\n" + usage},
        {{"--print=Records.bin"}, 2, "reqpack: unknown option '--print=Records.bin'; write '--print Records.bin'\n" + usage},
        {{"--export", "-x", "r.xml", "--tab\n"}, 2, "reqpack: unknown option '--tab'$'\\n'\n" + usage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        auto r = harness::run("reqpack", {{"input.txt", "1 2 3\n"}, {"Records.bin", "old"}}, c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
        EXPECT_EQ(r.files.size(), 2u);
        EXPECT_EQ(r.files["Records.bin"], "old");
    }
}

TEST(ReqpackInfo, HelpAndVersionAnswerInAnyOptionsPlaceAsTheyDoFirst) {
    const std::string help = harness::run("reqpack", {}, {"--help"}).out;
    const std::string version = harness::run("reqpack", {}, {"--version"}).out;
    EXPECT_EQ(help.rfind("usage: reqpack", 0), 0u) << help;
    EXPECT_EQ(version, "reqpack (batch suite) " SUITE_VERSION ", MIT licence\n");
    const struct {
        std::vector<std::string> args;
        const std::string& out;
    } cases[] = {
        {{"--help"}, help},
        {{"--version"}, version},
        {{"-r", "out.bin", "--help"}, help},
        {{"-q", "x", "--version", "-r"}, version},
        {{"--export", "--help"}, help},
        {{"--export", "-r", "out.bin", "--version"}, version},
        {{"--print", "--help"}, help},
        {{"--print", "Records.bin", "--version"}, version},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        auto r = harness::run("reqpack", {{"input.txt", "1 2 3\n"}, {"Records.bin", "old"}}, c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.files.size(), 2u);
        EXPECT_EQ(r.files["Records.bin"], "old");
    }

    // After a letter it is that letter's value.
    auto value = run_on("1 2 3\n", {"-r", "--help"});
    EXPECT_EQ(value.status, 0);
    EXPECT_EQ(value.out, "binary 1 2 3 \n");
    EXPECT_EQ(value.files["--help"], record_bytes(1, 2, 3));
}

// ---- --print: the records file back as request lines ----

TEST(ReqpackPrint, PrintedLinesConvertBackToTheSameRecords) {
    const auto generated = harness::run("bench_gen", {}, {"requests", "30000"});
    ASSERT_EQ(generated.status, 0);
    auto first = run_on(generated.out);
    ASSERT_EQ(first.status, 0);
    ASSERT_EQ(first.files["Records.bin"].size(), 30000 * kRecordSize);

    const auto printed = harness::run("reqpack", {{"Records.bin", first.files["Records.bin"]}}, {"--print"});
    ASSERT_EQ(printed.status, 0);
    EXPECT_EQ(printed.err, "");
    auto again = run_on(printed.out);
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(again.files["Records.bin"] == first.files["Records.bin"]) << "records differ";
}

TEST(ReqpackPrint, LinesAndFailures) {
    const std::string two = record_bytes(INT32_MIN, INT32_MAX, 0) + record_bytes(-1, 100, 9);
    const std::string two_lines = "-2147483648 2147483647 0\n-1 100 9\n";
    harness::expect_prints("reqpack", {
        {"default file", {{"Records.bin", two}}, {"--print"}, "", 0, two_lines, ""},
        {"named file", {{"out.bin", two}}, {"--print", "out.bin"}, "", 0, two_lines, ""},
        {"standard input", {{"in", two}}, {"--print", "-"}, "in", 0, two_lines, ""},
        {"empty file", {{"Records.bin", ""}}, {"--print"}, "", 0, "", ""},
        {"cut file", {{"Records.bin", two + "\x01\x02\x03\x04\x05"}}, {"--print"}, "", 1, two_lines,
         "reqpack: Records.bin: 5 bytes after the last whole record\n"},
        {"cut standard input", {{"in", two.substr(0, 13)}}, {"--print", "-"}, "in", 1,
         "-2147483648 2147483647 0\n", "reqpack: standard input: 1 byte after the last whole record\n"},
        {"missing file", {}, {"--print"}, "", 1, "", "reqpack: Records.bin: No such file or directory\n"},
        {"folder", {}, {"--print", "."}, "", 1, "", "reqpack: .: Is a directory\n"},
        {"closed standard input", {}, {"--print", "-"}, "", 1, "", "reqpack: standard input: Bad file descriptor\n", {0}},
        {"closed standard output", {{"Records.bin", two}}, {"--print"}, "", 1, "",
         "reqpack: standard output: Bad file descriptor\n", {1}},
    });
}

TEST(ReqpackPrint, TakesOneFileAtMost) {
    auto r = harness::run("reqpack", {{"a", ""}}, {"--print", "a", "b"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("reqpack: unknown argument 'b'\nusage: reqpack ", 0), 0u) << r.err;
}

// ---- --export: the records file as Records.xml and Parameters.txt ----

const char kDefaultParameters[] =
    "Records.bin         \nPatients.xml        \nDelete.txt          \nRecords.xml         \n"
    "Appointments.csv    \nParameters.txt      \n9    \n17   \n";

TEST(ReqpackExport, WritesBothFilesFromTheRecordsFile) {
    // A piece shorter than a record is not counted, as the record library reads it.
    auto r = harness::run("reqpack", {{"Records.bin", record_bytes(-2, 100, 9) + "cut"}}, {"--export"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.files["Records.xml"],
              "<Size>1</Size>\n<Records>\n"
              " \t<Appointment>\n \t\t<app_id> -2 </app_id>\n \t\t<patient_id> 100 </patient_id>\n"
              " \t\t<hour> 9 </hour>\n \t</Appointment>\n"
              " \t</Records>\n");
    EXPECT_EQ(r.files["Parameters.txt"], kDefaultParameters);
}

TEST(ReqpackExport, OptionsAfterExportNameTheFilesAndHours) {
    auto r = harness::run("reqpack", {{"in.bin", record_bytes(5, 6, 7)}},
                          {"--export", "-r", "in.bin", "/x", "r.xml", "-t", "p.txt", "-s", "8", "-e", "18h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.files.count("Records.xml") + r.files.count("Parameters.txt"), 0u);
    EXPECT_EQ(r.files["r.xml"].rfind("<Size>1</Size>\n", 0), 0u);
    EXPECT_EQ(r.files["p.txt"],
              "in.bin              \nPatients.xml        \nDelete.txt          \nr.xml               \n"
              "Appointments.csv    \np.txt               \n8    \n18   \n");
}

// A records file of 96 MiB that takes no disk space, in a folder the run's snapshot skips.
void make_large_records(const fs::path& dir) {
    fs::create_directory(dir / "big");
    harness::write_file(dir / "big/Records.bin", "");
    fs::resize_file(dir / "big/Records.bin", std::uintmax_t{96} << 20);
}

TEST(ReqpackExport, FailureWritesNeitherFile) {
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::string err;
        std::function<void(const fs::path&)> setup = {};
        std::size_t memory = 0;
    } cases[] = {
        {"missing records file", {"--export", "-r", "none.bin"}, "reqpack: none.bin: No such file or directory\n"},
        {"name with a line end", {"--export", "-r", "a\nb"}, "reqpack: 'a'$'\\n''b': No such file or directory\n"},
        {"records file is a folder", {"--export", "-r", "."}, "reqpack: .: Is a directory\n"},
        {"option without value", {"--export", "-t"}, "reqpack: option -t needs a value\n"},
        {"export over the records file", {"--export", "-t", "Records.bin"},
         "reqpack: Records.bin: is the input file Records.bin itself; not overwritten\n"},
        {"a direct target that fails", {"--export", "-t", "/dev/full"}, "reqpack: /dev/full: No space left on device\n"},
        {"one new file for both", {"--export", "-x", "same.txt", "-t", "./same.txt"},
         "reqpack: ./same.txt: named for both the readable file and the parameters file; not written\n"},
        {"one old file for both", {"--export", "-t", "Records.xml"},
         "reqpack: Records.xml: named for both the readable file and the parameters file; not written\n"},
        {"an empty file name", {"--export", "-x", ""}, "reqpack: option -x: the file name is empty\n"},
        {"records larger than memory", {"--export", "-r", "big/Records.bin"},
         "reqpack: big/Records.bin: not enough memory\n", make_large_records, std::size_t{64} << 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
#if defined(__SANITIZE_ADDRESS__)
        if (c.memory > 0)
            continue;   // AddressSanitizer's shadow memory alone is beyond any such limit
#endif
        const std::map<std::string, std::string> files = {
            {"Records.bin", record_bytes(1, 2, 3)}, {"Records.xml", "old xml"}, {"Parameters.txt", "old"}};
        auto r = harness::run({.program = "reqpack", .args = c.args, .files = files, .setup = c.setup, .memory = c.memory});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.files, files);
    }
}

}  // namespace
