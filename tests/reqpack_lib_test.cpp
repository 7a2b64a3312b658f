// The reqpack record library called directly: option parsing, reading a records
// file back, the two text exports, and the converter's scanner and echo formatting
// held against the C library's.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "convert.h"
#include "export.h"
#include "harness.h"
#include "common/process.h"
#include "part1.h"

namespace fs = std::filesystem;

namespace {

// The library's messages begin with the program's name, as in a run.
[[maybe_unused]] const bool kNamed = (suite::set_program("reqpack"), true);

using harness::read_file;
using harness::TempDir;
using harness::write_file;

file_names names_with(const char* records, const char* readable, const char* parameters) {
    return {records, patients_file_n, delete_file_n, readable, accepted_appo_file_n, parameters};
}

// ---- option parsing ----

struct OptionCase {
    std::vector<std::string> args;  // after the program name
    bool ok;
    std::string records, patients, remove, readable, accepted, parameters;
    std::int32_t start_hour, end_hour;
    std::string err;
};

OptionCase defaults(std::vector<std::string> args) {
    return {std::move(args), true, "Records.bin", "Patients.xml", "Delete.txt", "Records.xml",
            "Appointments.csv", "Parameters.txt", 9, 17, ""};
}

// The warning for an argument whose second character names no option.
std::string unknown(const std::string& argument) {
    return "reqpack: option '" + argument + "': unknown, ignored\n";
}

template <typename Change>
OptionCase with(std::vector<std::string> args, Change change) {
    OptionCase c = defaults(std::move(args));
    change(c);
    return c;
}

std::vector<OptionCase> option_cases() {
    std::vector<OptionCase> cases = {
        defaults({}),
        with({"-r", "a.bin", "-r", "b.bin"}, [](OptionCase& c) { c.records = "b.bin"; }),
        with({"-q", "x", "-r", "a.bin"}, [](OptionCase& c) { c.records = "a.bin"; c.err = unknown("-q"); }),
        with({"-s", "8", "-e", "18"}, [](OptionCase& c) { c.start_hour = 8; c.end_hour = 18; }),
        with({"-s", "abc"}, [](OptionCase& c) { c.start_hour = 0; }),
        with({"-e", "16h"}, [](OptionCase& c) { c.end_hour = 16; }),
        with({"-s", " \t-12", "-e", "+7"}, [](OptionCase& c) { c.start_hour = -12; c.end_hour = 7; }),
        with({"-s", "-2147483648", "-e", "2147483647"},
             [](OptionCase& c) { c.start_hour = INT32_MIN; c.end_hour = INT32_MAX; }),
        with({"-s", "20", "-e", "6"}, [](OptionCase& c) { c.start_hour = 20; c.end_hour = 6; }),
        with({"-ra.bin", "b.bin"}, [](OptionCase& c) { c.records = "b.bin"; }),
        with({"-records", "a.bin"}, [](OptionCase& c) { c.records = "a.bin"; }),
        with({"/r", "a.bin"}, [](OptionCase& c) { c.records = "a.bin"; }),
        // The lone dash skips -r; x.bin has no letter.
        with({"-", "-r", "x.bin"}, [](OptionCase& c) { c.err = unknown("-") + unknown("x.bin"); }),
        // The empty argument skips -r, which is no option then.
        with({"", "-r"}, [](OptionCase& c) { c.err = unknown(""); }),
        with({"-R", "a.bin"}, [](OptionCase& c) { c.err = unknown("-R"); }),   // upper case does nothing
        with({"-q"}, [](OptionCase& c) { c.err = unknown("-q"); }),            // another letter may stand last
        // The second character is a dash: no option, however the rest reads.
        with({"--records=x.bin"}, [](OptionCase& c) { c.err = unknown("--records=x.bin"); }),
        with({"-r", "a.bin", "--help", "-x", "-x", "y.xml"},
             [](OptionCase& c) { c.records = "a.bin"; c.readable = "y.xml"; c.err = unknown("--help"); }),
        with({"-c", "C", "-d", "D", "-e", "5", "-p", "P", "-r", "R", "-s", "3", "-t", "T", "-x", "X"},
             [](OptionCase& c) {
                 c.accepted = "C"; c.remove = "D"; c.end_hour = 5; c.patients = "P";
                 c.records = "R"; c.start_hour = 3; c.parameters = "T"; c.readable = "X";
             }),
        with({"-r", "a.bin", "-s", "99999999999"}, [](OptionCase& c) {
            c.ok = false; c.records = "a.bin";
            c.err = "reqpack: option -s: 99999999999: hour out of range\n";
        }),
        with({"-e", "-2147483649"}, [](OptionCase& c) {
            c.ok = false; c.err = "reqpack: option -e: -2147483649: hour out of range\n";
        }),
    };
    // Each of the eight letters last, with no value after it; what came before still holds.
    for (char letter : std::string("cdeprstx")) {
        cases.push_back(with({"-r", "a.bin", std::string("-") + letter}, [letter](OptionCase& c) {
            c.ok = false;
            c.records = "a.bin";
            c.err = std::string("reqpack: option -") + letter + " needs a value\n";
        }));
    }
    return cases;
}

std::string describe(const std::vector<std::string>& args) {
    std::string text = "reqpack";
    for (const auto& a : args)
        text += " '" + a + "'";
    return text;
}

TEST(ReqpackOptions, ArgumentVectorsGiveTheirSettings) {
    for (const OptionCase& c : option_cases()) {
        std::vector<std::string> words = {"reqpack"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (auto& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);

        hour_range hours{-1, -1};
        file_names names{};
        testing::internal::CaptureStderr();
        const bool ok = get_main_arguments(static_cast<int>(words.size()), argv.data(), hours, names);
        const std::string err = testing::internal::GetCapturedStderr();

        SCOPED_TRACE(describe(c.args));
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(err, c.err);
        EXPECT_STREQ(names.records_file, c.records.c_str());
        EXPECT_STREQ(names.patients_file, c.patients.c_str());
        EXPECT_STREQ(names.delete_file, c.remove.c_str());
        EXPECT_STREQ(names.readable_records_file, c.readable.c_str());
        EXPECT_STREQ(names.accepted_appo_file, c.accepted.c_str());
        EXPECT_STREQ(names.parameters_file, c.parameters.c_str());
        EXPECT_EQ(hours.start_hour, c.start_hour);
        EXPECT_EQ(hours.end_hour, c.end_hour);
    }
}

TEST(ReqpackOptions, NamesReferToDefaultsAndArgumentsWithoutCopying) {
    char program[] = "reqpack";
    char letter[] = "-x";
    char value[] = "mine.xml";
    char* argv[] = {program, letter, value, nullptr};
    hour_range hours{};
    file_names names{};
    ASSERT_TRUE(get_main_arguments(3, argv, hours, names));
    EXPECT_EQ(names.readable_records_file, value);
    EXPECT_EQ(names.records_file, records_file_n);
    EXPECT_EQ(names.parameters_file, parameters_file_n);
}

// ---- reading the records file back ----

TEST(ReqpackGetRequests, TrailingPieceIsNotCountedAndEmptyFileGivesNone) {
    TempDir dir;
    const std::string path = dir.file("r.bin");
    const std::string bytes("\x01\x00\x00\x00\x64\x00\x00\x00\x09\x00\x00\x00"
                            "\xff\xff\xff\xff\x00\x00\x00\x80\xff\xff\xff\x7f"
                            "\x05\x06\x07\x08\x09\x0a",
                            30);
    write_file(path, bytes);
    const auto records = getRequests(names_with(path.c_str(), "", ""));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].app_id, 1);
    EXPECT_EQ(records[0].patient_id, 100);
    EXPECT_EQ(records[0].hour, 9);
    EXPECT_EQ(records[1].app_id, -1);
    EXPECT_EQ(records[1].patient_id, INT32_MIN);
    EXPECT_EQ(records[1].hour, INT32_MAX);

    write_file(path, "");
    EXPECT_TRUE(getRequests(names_with(path.c_str(), "", "")).empty());
}

TEST(ReqpackGetRequests, ReadsEveryRecordBeyondOneHundredAcrossBlocks) {
    TempDir dir;
    const std::string path = dir.file("many.bin");
    const int count = 20000;  // more than one read block
    std::string bytes(count * kRecordSize + 5, '\x7e');
    for (int k = 0; k < count; ++k)
        encode_request({k, -k, k % 24}, reinterpret_cast<unsigned char*>(bytes.data()) + k * kRecordSize);
    write_file(path, bytes);
    const auto records = getRequests(names_with(path.c_str(), "", ""));
    ASSERT_EQ(records.size(), static_cast<std::size_t>(count));
    for (int k = 0; k < count; ++k) {
        ASSERT_EQ(records[k].app_id, k);
        ASSERT_EQ(records[k].patient_id, -k);
        ASSERT_EQ(records[k].hour, k % 24);
    }
}

TEST(ReqpackGetRequests, ReadErrorInALaterBlockLeavesNoRecords) {
    const std::string bytes(20000 * kRecordSize, '\x01');  // more than one read block
    const harness::memory_input in(bytes, bytes.size() / 2);
    std::vector<request_record> records(3);
    EXPECT_EQ(read_requests(in.get(), bytes.size(), records), EIO);
    EXPECT_TRUE(records.empty()) << records.size() << " records left";
}

TEST(ReqpackGetRequests, MissingFileSaysSoAndGivesAnEmptyTable) {
    TempDir dir;
    const std::string path = dir.file("absent.bin");
    testing::internal::CaptureStdout();
    const auto records = getRequests(names_with(path.c_str(), "", ""));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "check records file name\n");
    EXPECT_TRUE(records.empty());
}

TEST(ReqpackGetRequests, FolderIsAReadErrorNotAnEmptyFile) {
    TempDir dir;
    const std::string path = dir.file("folder.bin");
    fs::create_directory(path);
    testing::internal::CaptureStderr();
    const auto records = getRequests(names_with(path.c_str(), "", ""));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "reqpack: " + path + ": Is a directory\n");
    EXPECT_TRUE(records.empty());
}

// ---- the readable export ----

TEST(ReqpackReadableExport, NoRecordsGiveTheSizeLineAndEmptyRecords) {
    TempDir dir;
    const std::string path = dir.file("Records.xml");
    write_appointments(nullptr, 0, names_with("", path.c_str(), ""));
    EXPECT_EQ(read_file(path), "<Size>0</Size>\n<Records>\n \t</Records>\n");

    write_appointments(nullptr, -3, names_with("", path.c_str(), ""));
    EXPECT_EQ(read_file(path), "<Size>-3</Size>\n<Records>\n \t</Records>\n");
}

TEST(ReqpackReadableExport, OneRecordIsIndentedWithBlankAndTabs) {
    TempDir dir;
    const std::string path = dir.file("Records.xml");
    const request_record record{1, 100, 9};
    write_appointments(&record, 1, names_with("", path.c_str(), ""));
    EXPECT_EQ(read_file(path),
              "<Size>1</Size>\n"
              "<Records>\n"
              " \t<Appointment>\n"
              " \t\t<app_id> 1 </app_id>\n"
              " \t\t<patient_id> 100 </patient_id>\n"
              " \t\t<hour> 9 </hour>\n"
              " \t</Appointment>\n"
              " \t</Records>\n");
}

TEST(ReqpackReadableExport, WritesOnlyTheFirstCountRecordsWithTheirSigns) {
    TempDir dir;
    const std::string path = dir.file("Records.xml");
    const request_record records[] = {{-1, INT32_MIN, -9}, {2, 3, 4}};
    write_appointments(records, 1, names_with("", path.c_str(), ""));
    EXPECT_EQ(read_file(path),
              "<Size>1</Size>\n<Records>\n \t<Appointment>\n \t\t<app_id> -1 </app_id>\n"
              " \t\t<patient_id> -2147483648 </patient_id>\n \t\t<hour> -9 </hour>\n"
              " \t</Appointment>\n \t</Records>\n");
}

// ---- the parameters file ----

TEST(ReqpackParameters, DefaultsGivePaddedLines) {
    TempDir dir;
    const fs::path here = fs::current_path();
    fs::current_path(dir.file(""));
    print_parameters(names_with(records_file_n, readable_records_file_n, parameters_file_n), {9, 17});
    fs::current_path(here);
    EXPECT_EQ(read_file(dir.file("Parameters.txt")), "Records.bin         \n"
                                                      "Patients.xml        \n"
                                                      "Delete.txt          \n"
                                                      "Records.xml         \n"
                                                      "Appointments.csv    \n"
                                                      "Parameters.txt      \n"
                                                      "9    \n"
                                                      "17   \n");
}

TEST(ReqpackParameters, LongNamesAreWrittenWholeAndHoursKeepTheirDigits) {
    TempDir dir;
    const std::string path = dir.file("a-parameters-file-name-longer-than-twenty.txt");
    print_parameters(names_with("r.bin", "x.xml", path.c_str()), {-5, 123456});
    EXPECT_EQ(read_file(path), "r.bin               \n"
                                "Patients.xml        \n"
                                "Delete.txt          \n"
                                "x.xml               \n"
                                "Appointments.csv    \n" +
                                    path + "\n-5   \n123456\n");
}

// ---- files that cannot be written ----

TEST(ReqpackExports, UnopenableFilesPrintTheirMessageAndWriteNothing) {
    TempDir dir;
    const std::string missing = dir.file("no/such/folder/file");
    testing::internal::CaptureStdout();
    write_appointments(nullptr, 0, names_with("", missing.c_str(), ""));
    print_parameters(names_with("", "", missing.c_str()), {9, 17});
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Check readable records file name\nCheck paramerters file name \n");
    EXPECT_FALSE(fs::exists(dir.file("no")));
}

TEST(ReqpackExports, FullDiskIsReportedOnStandardError) {
    testing::internal::CaptureStderr();
    const request_record record{1, 2, 3};
    write_appointments(&record, 1, names_with("", "/dev/full", ""));
    print_parameters(names_with("", "", "/dev/full"), {9, 17});
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "reqpack: /dev/full: No space left on device\n"
              "reqpack: /dev/full: No space left on device\n");
}

// The program's --export says why a file cannot be opened on standard error only, and
// the file opened before it keeps its old content.
TEST(ReqpackExports, ProgramPathPrintsNoLegacyLineAndReplacesNothing) {
    TempDir dir;
    const std::string readable = dir.file("Records.xml");
    const std::string missing = dir.file("no/Parameters.txt");
    write_file(readable, "old xml");
    const file_names names = names_with("", readable.c_str(), missing.c_str());
    const request_record record{1, 2, 3};
    const export_file files[] = {readable_export({record}, 1, names), parameters_export(names, {9, 17})};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_exports(files, legacy_lines::omit), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "reqpack: " + missing + ": No such file or directory\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(read_file(readable), "old xml");
}

// An export keeps its own copy of what it writes: what the caller lent may change or go
// before the files are written.
TEST(ReqpackExports, WriteWhatTheyWereGivenWhateverBecomesOfIt) {
    TempDir dir;
    const std::string readable = dir.file("r.xml");
    const std::string parameters = dir.file("p.txt");
    std::string records_name = "in.bin";
    file_names names = names_with(records_name.c_str(), readable.c_str(), parameters.c_str());
    hour_range hours{8, 18};
    std::vector<request_record> records = {{1, 2, 3}};
    const export_file files[] = {readable_export(records, 1, names), parameters_export(names, hours)};
    records[0] = {7, 7, 7};
    records_name = "changed.bin";
    names.patients_file = "changed.xml";
    hours = {0, 0};
    EXPECT_EQ(write_exports(files, legacy_lines::omit), 0);
    EXPECT_EQ(read_file(readable), "<Size>1</Size>\n<Records>\n \t<Appointment>\n \t\t<app_id> 1 </app_id>\n"
                                   " \t\t<patient_id> 2 </patient_id>\n \t\t<hour> 3 </hour>\n"
                                   " \t</Appointment>\n \t</Records>\n");
    EXPECT_EQ(read_file(parameters), "in.bin              \n"
                                     "Patients.xml        \n"
                                     "Delete.txt          \n" +
                                         readable + "\nAppointments.csv    \n" + parameters + "\n8    \n18   \n");
}

// ---- the converter's scanner and echo, against the C library ----

// Random white space of the C locale, never empty.
std::string white_space(std::mt19937& random) {
    static const char kSpaces[] = " \t\n\v\f\r";
    std::string text;
    const int count = 1 + static_cast<int>(random() % 3);
    for (int k = 0; k < count; ++k)
        text += kSpaces[random() % 6];
    return text;
}

// A number as a writer might put it: any 32-bit value, sometimes signed with '+',
// sometimes with leading zeros, and the extremes now and then.
std::string number_text(std::mt19937& random, std::int32_t& value) {
    switch (random() % 8) {
    case 0: value = INT32_MIN; break;
    case 1: value = INT32_MAX; break;
    case 2: value = static_cast<std::int32_t>(random() % 200) - 100; break;
    default: value = static_cast<std::int32_t>(random()); break;
    }
    std::string digits = std::to_string(value);
    if (value >= 0 && random() % 4 == 0)
        digits = "+" + digits;
    if (random() % 6 == 0) {
        const std::size_t at = digits[0] == '-' || digits[0] == '+' ? 1 : 0;
        digits.insert(at, std::string(1 + random() % 12, '0'));
    }
    return digits;
}

// The text of one group of up to three numbers, joined by white space or glued where
// the next number carries a sign; a group after the first starts with a separator too.
std::string group_text(std::mt19937& random, int numbers, bool first) {
    std::string text = first && random() % 2 ? white_space(random) : "";
    for (int k = 0; k < numbers; ++k) {
        std::int32_t value;
        const std::string number = number_text(random, value);
        const bool signed_number = number[0] == '-' || number[0] == '+';
        if ((k > 0 || !first) && (!signed_number || random() % 3 != 0))
            text += white_space(random);
        text += number;
    }
    return text;
}

struct Scanned {
    std::vector<request_record> records;
    scan_result last;
};

Scanned scan_all(const std::string& text) {
    const harness::memory_input in(text);
    Scanned scanned;
    request_scanner scanner(in.get());
    for (;;) {
        request_record record{};
        scanned.last = scanner.next(record);
        if (scanned.last.status != scan_status::complete) {
            scanned.records.push_back(record);  // the fields it stored before stopping
            break;
        }
        scanned.records.push_back(record);
    }
    return scanned;
}

// Each group scanned alone gives the numbers it gives within the whole text, since
// every group after the first begins with white space or a sign.
TEST(ReqpackScanner, AgreesWithScanfFieldForFieldOnGeneratedInput) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 10000; ++round) {
        const int numbers = static_cast<int>(random() % 10);
        std::vector<std::string> groups;
        std::string text;
        for (int left = numbers; left > 0; left -= 3) {
            groups.push_back(group_text(random, left < 3 ? left : 3, groups.empty()));
            text += groups.back();
        }
        if (random() % 2)
            text += white_space(random);
        SCOPED_TRACE("input: '" + text + "'");
        const Scanned scanned = scan_all(text);
        ASSERT_EQ(scanned.records.size(), static_cast<std::size_t>(numbers / 3 + 1));

        for (std::size_t k = 0; k < scanned.records.size(); ++k) {
            request_record expected{};
            const char* group = k < groups.size() ? groups[k].c_str() : "";
            const int fields = std::sscanf(group, kRequestFormat, &expected.app_id,
                                           &expected.patient_id, &expected.hour);
            const bool last = k + 1 == scanned.records.size();
            const int got_fields = last ? scanned.last.fields : 3;
            ASSERT_EQ(got_fields, fields == EOF ? 0 : fields);
            if (last) {
                ASSERT_EQ(scanned.last.status,
                          fields == EOF ? scan_status::end_of_input : scan_status::incomplete);
            }
            const request_record& got = scanned.records[k];
            const std::int32_t got_values[] = {got.app_id, got.patient_id, got.hour};
            const std::int32_t expected_values[] = {expected.app_id, expected.patient_id, expected.hour};
            for (int f = 0; f < got_fields; ++f)
                ASSERT_EQ(got_values[f], expected_values[f]) << "request " << k + 1 << " field " << f + 1;
        }
    }
}

TEST(ReqpackEcho, FormatsExactlyAsTheEchoFormatDoes) {
    std::mt19937 random(7);
    std::vector<request_record> records = {{0, 0, 0}, {INT32_MIN, INT32_MAX, -1}, {9, 10, 99},
                                           {100, -100, 1000000000}, {999999999, -999999999, 10}};
    // Shifting a random value by a random amount gives numbers of every length.
    const auto draw = [&random] { return static_cast<std::int32_t>(random()) >> (random() % 32); };
    for (int k = 0; k < 5000; ++k)
        records.push_back({draw(), draw(), draw()});
    for (const request_record& record : records) {
        char expected[kMaxEchoLine + 1];
        const int length = std::snprintf(expected, sizeof expected, kEchoFormat, record.app_id,
                                         record.patient_id, record.hour);
        char got[kEchoRoom];
        ASSERT_EQ(std::string(got, format_echo(record, got)), std::string(expected, length));
    }
    char longest[kEchoRoom];
    EXPECT_EQ(format_echo({INT32_MIN, INT32_MIN, INT32_MIN}, longest), kMaxEchoLine);
}

struct Converted {
    convert_result result;
    std::string echo;
    std::string records;
};

Converted convert_text(const std::string& text) {
    const harness::memory_input in(text);
    harness::memory_output echo;
    harness::memory_output records;
    Converted converted{convert_requests(in.get(), echo.get(), records.get()), "", ""};
    EXPECT_TRUE(echo.close());
    EXPECT_TRUE(records.close());
    converted.echo = echo.bytes();
    converted.records = records.bytes();
    return converted;
}

// The usual request is read whole from the block and its echo copied from the input's
// digits. At the edges of that path (ten digits, the 32-bit limits, digits that wrap a
// 64-bit sum, signs and zeros %d does not print, a number cut by the end of a block) the
// echo is still what printf prints, each record holds the numbers echoed, and a number
// out of range still stops the run.
TEST(ReqpackConvert, FastPathEdgesEchoAsPrintfDoes) {
    const std::string filler = [] {
        std::string text;
        for (int k = 0; k < 10000; ++k)
            text += "1 1 1\n";
        return text;
    }();
    std::string filler_echo;
    for (int k = 0; k < 10000; ++k)
        filler_echo += "binary 1 1 1 \n";
    struct Case {
        std::string input;
        std::string echo;
        scan_status stop;
    };
    const Case cases[] = {
        {"2147483647 -2147483648 0\n", "binary 2147483647 -2147483648 0 \n", scan_status::end_of_input},
        {"1234567890\t-999999999\v\f\r10", "binary 1234567890 -999999999 10 \n", scan_status::end_of_input},
        {"-0 007 00\n", "binary 0 7 0 \n", scan_status::end_of_input},
        {"1 2 3\n+5 6 7\n", "binary 1 2 3 \nbinary 5 6 7 \n", scan_status::end_of_input},
        {"00000000001 2 3\n", "binary 1 2 3 \n", scan_status::end_of_input},
        {"1 2 2147483648\n", "", scan_status::out_of_range},
        {"1 2 -2147483649\n", "", scan_status::out_of_range},
        {"1 2 18446744073709551617\n", "", scan_status::out_of_range},
        // Zeros and minus signs %d does not print, one a line, as the echo is written while
        // reading.
        {"00000001 2 3\n-0 2 3\n-0000002 -1000000000 3\n", "binary 1 2 3 \nbinary 0 2 3 \nbinary -2 -1000000000 3 \n",
         scan_status::end_of_input},
        // Each white space of the C locale, and a control byte that is none.
        {"-7\v-8\f-9\r\n10\t11 12", "binary -7 -8 -9 \nbinary 10 11 12 \n", scan_status::end_of_input},
        {"1\x1c 2 3\n", "", scan_status::not_a_number},
        // The byte after '9' is no digit: the request ends before it.
        {"1 2 9:00\n", "binary 1 2 9 \n", scan_status::not_a_number},
        // "12345" starts two bytes before the end of the first 64 KiB block.
        {filler + "5 6" + std::string(65534 - filler.size() - 3, ' ') + "12345\n",
         filler_echo + "binary 5 6 12345 \n", scan_status::end_of_input},
    };
    // The last bytes of a text, enough to tell a failing case.
    const auto tail = [](const std::string& text) { return text.substr(text.size() > 60 ? text.size() - 60 : 0); };
    for (const Case& c : cases) {
        SCOPED_TRACE("input ending '" + tail(c.input) + "'");
        const Converted converted = convert_text(c.input);
        EXPECT_EQ(converted.result.input, c.stop);
        EXPECT_EQ(converted.echo.size(), c.echo.size());
        EXPECT_EQ(tail(converted.echo), tail(c.echo));
        std::string records_echoed;
        for (std::size_t at = 0; at + kRecordSize <= converted.records.size(); at += kRecordSize) {
            const request_record r = decode_request(reinterpret_cast<const unsigned char*>(converted.records.data() + at));
            char line[kMaxEchoLine + 1];
            records_echoed.append(line, static_cast<std::size_t>(std::snprintf(line, sizeof line, kEchoFormat, r.app_id,
                                                                                r.patient_id, r.hour)));
        }
        EXPECT_EQ(records_echoed.size(), c.echo.size());
        EXPECT_EQ(tail(records_echoed), tail(c.echo));
    }
}

}  // namespace
