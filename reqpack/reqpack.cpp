// reqpack: converts the requests of "input.txt" into 12-byte records, echoing each
// request on standard output.
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "convert.h"
#include "part1.h"

namespace {

const char kInputFile[] = "input.txt";
const char kOpenInputMessage[] = "Check input text file name";
const char kOpenRecordsMessage[] = "Check records file name";

const char kUsage[] =
    "usage: reqpack [-r records] [-s hour] [-e hour] [-p name] [-d name] [-x name]\n"
    "               [-c name] [-t name]\n"
    "Reads appointment requests, three integers each (appointment id, patient id,\n"
    "hour), from input.txt in the current folder, prints each as \"binary A P H \" on\n"
    "standard output and writes it as a 12-byte little-endian record to the records\n"
    "file (default Records.bin, replaced). Each option is two arguments: only the\n"
    "second character of the first one counts, and any other letter skips the pair.\n"
    "Exit status: 0 when every request was converted, 1 on any failure.\n";

// Answers --help and --version; returns true when it did.
bool answer_info_option(int argc, char** argv) {
    if (argc < 2)
        return false;
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return true;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::fputs("reqpack " SUITE_VERSION "\n", stdout);
        return true;
    }
    return false;
}

// A full disk or a closed pipe shows up at the latest when standard output is closed.
int close_stdout() {
    if (std::fclose(stdout) != 0) {
        report("standard output", std::strerror(errno));
        return 1;
    }
    return 0;
}

// Reads ahead one byte, so that an input that opens but cannot be read (a folder) is
// found before the records file is replaced.
bool input_readable(std::FILE* input) {
    const int c = std::getc(input);
    if (c == EOF)
        return !std::ferror(input);
    return std::ungetc(c, input) != EOF;
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
        report(kInputFile, std::strerror(result.input_error));
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
    std::fprintf(stderr, "reqpack: %s: request %" PRId64 ": %s\n", kInputFile, request, what);
    return 1;
}

int convert(std::FILE* input, file_ptr records, const char* records_name) {
    const convert_result result = convert_requests(input, stdout, records.get());
    int status = report_input(result);
    if (result.output == output_failure::echo) {
        report("standard output", std::strerror(result.output_error));
        status = 1;
    }
    if (result.output == output_failure::records) {
        report(records_name, std::strerror(result.output_error));
        status = 1;
    } else if (!close_output(std::move(records))) {
        report(records_name, std::strerror(errno));
        status = 1;
    }
    return status;
}

int run(const file_names& names) {
    file_ptr input(std::fopen(kInputFile, "r"));
    if (!input) {
        std::printf("%s\n", kOpenInputMessage);
        return 1;
    }
    if (!input_readable(input.get())) {
        report(kInputFile, std::strerror(errno));
        return 1;
    }
    // Replacing the records file would empty the very input being read.
    std::error_code ignored;
    if (std::filesystem::equivalent(kInputFile, names.records_file, ignored)) {
        report(names.records_file, "is the input file itself; not overwritten");
        return 1;
    }
    file_ptr records(std::fopen(names.records_file, "wb"));
    if (!records) {
        std::printf("%s\n", kOpenRecordsMessage);
        return 1;
    }
    return convert(input.get(), std::move(records), names.records_file);
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that went away is a write error to report, not a silent end.
    std::signal(SIGPIPE, SIG_IGN);
    if (answer_info_option(argc, argv))
        return close_stdout();
    hour_range hours;
    file_names names;
    if (!get_main_arguments(argc, argv, hours, names))
        return 1;
    const int status = run(names);
    return close_stdout() != 0 ? 1 : status;
}
