// reqpack: converts the requests of "input.txt" into 12-byte records, echoing each
// request on standard output; prints a records file back, or exports it as text.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "common/file.h"
#include "common/output/output_file.h"
#include "common/own_input.h"
#include "common/process.h"
#include "common/record_file.h"
#include "convert.h"
#include "export.h"
#include "part1.h"

namespace {

const char kInputFile[] = "input.txt";
const char kOpenInputMessage[] = "Check input text file name";
// Printed when the records file cannot be opened for the conversion to write it.
const char kWriteRecordsMessage[] = "Check records file name";

const char kSynopsis[] =
    "usage: reqpack [-r records] [-s hour] [-e hour] [-p name] [-d name] [-x name]\n"
    "               [-c name] [-t name]\n"
    "       reqpack --print [FILE]\n"
    "       reqpack --export [options]\n"
    "       reqpack -h | --help | --version\n";

const char kDescription[] =
    "Reads appointment requests, three integers each (appointment id, patient id,\n"
    "hour), from input.txt in the current folder, prints each as \"binary A P H \" on\n"
    "standard output and writes it as a 12-byte little-endian record to the records\n"
    "file (default Records.bin, replaced). Each option is two arguments: only the\n"
    "second character of the first one counts, and any other letter skips the pair\n"
    "(with a warning on standard error).\n"
    "--print prints each record of FILE (default Records.bin, - for standard input)\n"
    "as the line \"A P H\", the format of input.txt.\n"
    "--export reads the records file (-r) and writes the readable file (-x, default\n"
    "Records.xml) and the parameters file (-t, default Parameters.txt), with the\n"
    "hours of -s and -e; the options are those above.\n"
    "--help and --version answer in the place of any option as they do first.\n"
    "Any other argument that begins with \"--\" ends the run before a file is opened.\n"
    "Exit status: 0 on success, 1 on any failure, 2 for an unknown \"--\" option or\n"
    "an argument after --print FILE. A --print whose reader goes away ends by SIGPIPE.\n";

// The options of more than one letter. Any other argument that begins with "--" is a
// typo, not a letter option whose letter is "-": the pair rule would skip it and go on
// to replace the records file.
constexpr std::string_view kLongOptions[] = {"--help", "--version", "--print", "--export"};

// Names the first unknown "--" option with the synopsis on standard error; true when
// there is one and the run must end with kUsageStatus.
bool refuse_unknown_long_option(int argc, char** argv) {
    for (int index = 1; index < argc; ++index) {
        const std::string_view argument = argv[index];
        if (!argument.starts_with("--") || std::ranges::find(kLongOptions, argument) != std::end(kLongOptions))
            continue;
        std::string hint;
        if (constexpr std::string_view print = "--print="; argument.starts_with(print))
            hint = "; write " + suite::quote_argument("--print " + std::string(argument.substr(print.size())));
        suite::warn("unknown option %s%s", suite::quote_argument(argument).c_str(), hint.c_str());
        std::fputs(kSynopsis, stderr);
        return true;
    }
    return false;
}

// --help or --version where an option may stand, as open_run answers it first: in the
// first place of a pair (after --export, whose pairs start one place later) or anywhere
// after --print, which takes no options. After a letter (-r --help) it is the value.
const char* later_info_option(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    const int first = mode == "--print" || mode == "--export" ? 2 : 1;
    const int step = mode == "--print" ? 1 : 2;
    for (int index = first; index < argc; index += step)
        if (const std::string_view argument = argv[index]; argument == "--help" || argument == "--version")
            return argv[index];
    return nullptr;
}

// "line 3, request 2: ", how a message points at a request.
std::string where(std::uint64_t line, std::int64_t request) {
    return "line " + std::to_string(line) + ", request " + std::to_string(request) + ": ";
}

// Says why the conversion stopped early; returns the exit status it calls for.
int report_input(const convert_result& result) {
    const std::int64_t request = result.requests + 1;
    const char* what = nullptr;
    switch (result.input) {
    case scan_status::complete:
    case scan_status::end_of_input:
        return 0;
    case scan_status::read_failed:
        suite::report_error(kInputFile, result.input_error);
        return 1;
    case scan_status::incomplete:
        what = "the last request is incomplete";
        break;
    case scan_status::not_a_number:
        what = "not a number";
        break;
    case scan_status::out_of_range:
        what = "number outside the 32-bit range";
        break;
    }
    std::string text = where(result.input_line, request) + what;
    // A file that ends inside the request shows nothing there to quote.
    if (result.input != scan_status::incomplete)
        text += ": " + suite::quote_argument(result.input_found);
    suite::report(kInputFile, text);
    return 1;
}

// Converts into the records file. Malformed input still leaves the records before it
// in place; a failed read or write leaves the records file as it was.
int convert(std::FILE* input, const char* records_name) {
    suite::output_file records(records_name);
    if (const int error = records.open()) {
        std::printf("%s\n", kWriteRecordsMessage);
        suite::report_error(records.blamed(), error);
        return 1;
    }
    if (suite::is_own_input(records, fileno(input), kInputFile))
        return 1;
    const convert_result result =
        convert_requests(input, stdout, records.stream(), [](std::int64_t request, const scan_result& scan) {
            suite::report(kInputFile, where(scan.line, request) + "runs on to line " + std::to_string(scan.last_line) +
                                          ": " + suite::quote_argument(scan.found));
        });
    const int status = report_input(result);
    if (result.output == output_failure::echo)
        suite::report_stdout_error(result.output_error);
    if (result.output == output_failure::records)
        suite::report_error(records.blamed(), result.output_error);
    if (result.input == scan_status::read_failed || result.output != output_failure::none)
        return 1;
    return suite::report_outcome(records_name, records.commit()) ? 1 : status;
}

int run(const file_names& names) {
    suite::file_ptr input(std::fopen(kInputFile, "r"));
    if (!input) {
        const int error = suite::last_error();
        std::printf("%s\n", kOpenInputMessage);
        suite::report_error(kInputFile, error);
        return 1;
    }
    // Replacing the records file must never empty the very input being read.
    if (suite::is_own_input(names.records_file, input.get(), kInputFile))
        return 1;
    return convert(input.get(), names.records_file);
}

// --print [FILE]: the records as request lines on standard output.
int print_records(const char* path) {
    suite::end_quietly_on_closed_pipe();
    return suite::print_record_file(path, kRecordSize, [](const unsigned char* bytes, std::uint64_t, std::FILE* out) {
        const request_record record = decode_request(bytes);
        std::fprintf(out, kPrintFormat, record.app_id, record.patient_id, record.hour);
        return std::string();
    });
}

// --export: the records file as the readable file and the parameters file. Both are
// written whole before either replaces its old version.
int export_records(const file_names& names, const hour_range& hours) {
    std::vector<request_record> records;
    try {
        if (const int error = read_records_file(names.records_file, records)) {
            suite::report_error(names.records_file, error);
            return 1;
        }
    } catch (const std::bad_alloc&) {
        // The records are held whole: name the file that did not fit.
        suite::report(names.records_file, suite::kNoMemory);
        return 1;
    }
    if (records.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        suite::report(names.records_file, "more records than a 32-bit count can tell");
        return 1;
    }
    if (suite::is_own_input(names.readable_records_file, names.records_file) ||
        suite::is_own_input(names.parameters_file, names.records_file))
        return 1;
    const auto count = static_cast<std::int32_t>(records.size());
    const export_file files[] = {readable_export(std::move(records), count, names), parameters_export(names, hours)};
    return write_exports(files, legacy_lines::omit, names.records_file);
}

}  // namespace

int main(int argc, char** argv) try {
    if (const auto status = suite::open_run("reqpack", argc, argv, kSynopsis, kDescription, suite::kOwnArguments))
        return *status;
    if (const char* option = later_info_option(argc, argv)) {
        suite::answer_info_option(option, kSynopsis, kDescription);
        return suite::close_stdout();
    }
    if (refuse_unknown_long_option(argc, argv))
        return suite::kUsageStatus;
    const std::string_view mode = argc > 1 ? argv[1] : "";
    hour_range hours;
    file_names names;
    int status = 0;
    if (mode == "--print") {
        if (suite::refuse_extra_arguments(argc, argv, 2, kSynopsis))
            return suite::kUsageStatus;
        status = print_records(argc > 2 ? argv[2] : records_file_n);
    } else if (mode == "--export") {
        // The options follow --export, which stands where the program name does.
        if (!get_main_arguments(argc - 1, argv + 1, hours, names))
            return 1;
        status = export_records(names, hours);
    } else {
        if (!get_main_arguments(argc, argv, hours, names))
            return 1;
        status = run(names);
    }
    return suite::worse(status, suite::close_stdout());
} catch (const std::bad_alloc&) {
    return suite::report_no_memory();
}
