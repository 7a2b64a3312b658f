// reqpack: converts the requests of "input.txt" into 12-byte records, echoing each
// request on standard output.
#include <cerrno>
#include <cstdio>
#include <string>

#include "common/output_file.h"
#include "common/process.h"
#include "convert.h"
#include "part1.h"

namespace {

const char kInputFile[] = "input.txt";
const char kOpenInputMessage[] = "Check input text file name";
const char kOpenRecordsMessage[] = "Check records file name";

const char kUsage[] =
    "usage: reqpack [-r records] [-s hour] [-e hour] [-p name] [-d name] [-x name]\n"
    "               [-c name] [-t name]\n"
    "       reqpack -h | --help | --version\n"
    "Reads appointment requests, three integers each (appointment id, patient id,\n"
    "hour), from input.txt in the current folder, prints each as \"binary A P H \" on\n"
    "standard output and writes it as a 12-byte little-endian record to the records\n"
    "file (default Records.bin, replaced). Each option is two arguments: only the\n"
    "second character of the first one counts, and any other letter skips the pair\n"
    "(with a warning on standard error).\n"
    "Exit status: 0 when every request was converted, 1 on any failure.\n";

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
    suite::report(kInputFile, "request " + std::to_string(request) + ": " + what);
    return 1;
}

// Converts into the records file. Malformed input still leaves the records before it
// in place; a failed read or write leaves the records file as it was.
int convert(std::FILE* input, const char* records_name) {
    suite::output_file records(records_name);
    if (const int error = records.open()) {
        std::printf("%s\n", kOpenRecordsMessage);
        suite::report_error(records_name, error);
        return 1;
    }
    const convert_result result = convert_requests(input, stdout, records.stream());
    const int status = report_input(result);
    if (result.output == output_failure::echo)
        suite::report_error("standard output", result.output_error);
    if (result.output == output_failure::records)
        suite::report_error(records_name, result.output_error);
    if (result.input == scan_status::read_failed || result.output != output_failure::none)
        return 1;
    if (const int error = records.commit()) {
        suite::report_error(records_name, error);
        return 1;
    }
    return status;
}

int run(const file_names& names) {
    file_ptr input(std::fopen(kInputFile, "r"));
    if (!input) {
        const int error = errno;
        std::printf("%s\n", kOpenInputMessage);
        suite::report_error(kInputFile, error);
        return 1;
    }
    // Replacing the records file must never empty the very input being read.
    if (suite::is_own_input(names.records_file, input.get(), kInputFile))
        return 1;
    return convert(input.get(), names.records_file);
}

}  // namespace

int main(int argc, char** argv) {
    if (!suite::start("reqpack"))
        return 1;
    if (suite::answer_info_option(argc, argv, kUsage))
        return suite::close_stdout();
    hour_range hours;
    file_names names;
    if (!get_main_arguments(argc, argv, hours, names))
        return 1;
    const int status = run(names);
    return suite::close_stdout() != 0 ? 1 : status;
}
