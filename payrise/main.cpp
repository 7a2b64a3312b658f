// payrise: converts "input1.txt" into "binary_f.bin"; opens the files, runs
// read_write and maps what happened to messages and the exit status.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "payrise.h"

namespace {

const char kUsage[] =
    "usage: payrise\n"
    "Reads staff lines from \"input1.txt\" in the current directory, raises each\n"
    "salary by the rule of its kind (I: 5.15 per cent; E: 17.5, 12 or 9 per cent\n"
    "for grades a, b and c) and writes one 56-byte record for each I and E line\n"
    "to \"binary_f.bin\", replacing that file. Other lines are skipped; a line with\n"
    "too few fields is named on standard error and skipped.\n"
    "Exit status: 0 on success; 1 if input1.txt cannot be opened or read, or\n"
    "binary_f.bin cannot be written.\n";

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using file_owner = std::unique_ptr<std::FILE, file_closer>;

void report(const char* file, int error) {
    std::fprintf(stderr, "payrise: %s: %s\n", file, std::strerror(error));
}

// Answers --help and --version; returns true when it did.
bool answer_info_option(int argc, char** argv) {
    if (argc < 2)
        return false;
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return true;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::fputs("payrise " SUITE_VERSION "\n", stdout);
        return true;
    }
    return false;
}

// A full disk or a closed pipe shows up at the latest when standard output is closed.
int close_stdout() {
    if (std::fclose(stdout) != 0) {
        report("standard output", errno);
        return 1;
    }
    return 0;
}

// Reads ahead one byte, so that an input that opens but cannot be read (a
// directory) fails before the output is created. Returns 0 or the errno.
int probe_input(std::FILE* input) {
    errno = 0;
    const int c = std::getc(input);
    if (c == EOF)
        return std::ferror(input) ? (errno != 0 ? errno : EIO) : 0;
    std::ungetc(c, input);
    return 0;
}

int convert(std::FILE* input) {
    if (const int error = probe_input(input)) {
        report(payrise::kInputName, error);
        return 1;
    }
    file_owner output(std::fopen(payrise::kOutputName, "wb"));
    if (!output) {
        report(payrise::kOutputName, errno);
        return 1;
    }
    const auto result = payrise::read_write(input, output.get(), stderr);
    using failure = payrise::convert_result::failure;
    if (result.failed == failure::read)
        report(payrise::kInputName, result.error);
    if (result.failed == failure::write)
        report(payrise::kOutputName, result.error);
    errno = 0;
    if (std::fclose(output.release()) != 0 && result.failed != failure::write) {
        report(payrise::kOutputName, errno != 0 ? errno : EIO);
        return 1;
    }
    return result.failed == failure::none ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (answer_info_option(argc, argv))
        return close_stdout();

    file_owner input(std::fopen(payrise::kInputName, "r"));
    if (!input) {
        const int error = errno;
        std::fputs(payrise::kCheckFileMessage, stdout);
        report(payrise::kInputName, error);
        close_stdout();
        return 1;
    }
    const int status = convert(input.get());
    return close_stdout() != 0 ? 1 : status;
}
