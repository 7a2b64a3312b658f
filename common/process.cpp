// The process-level chores every program shares.
#include "common/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace suite {
namespace {

const char* program_name = "suite";

}  // namespace

bool start(const char* program) {
    program_name = program;
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open takes the lowest free descriptor, which is this one.
        if (open("/dev/null", O_RDWR) != fd)
            return false;
    }
    return true;
}

void set_program(const char* program) {
    program_name = program;
}

const char* program() {
    return program_name;
}

void report(std::string_view file, std::string_view what) {
    std::fprintf(stderr, "%s: %.*s: %.*s\n", program_name, static_cast<int>(file.size()), file.data(),
                 static_cast<int>(what.size()), what.data());
}

void report_error(std::string_view file, int error) {
    if (error == kChangedDuringRun)
        report(file, "was changed by another process during the run; left as it is");
    else
        report(file, std::strerror(error));
}

int last_error() {
    return errno != 0 ? errno : EIO;
}

bool answer_info_option(int argc, char** argv, const char* synopsis, const char* description) {
    if (argc < 2)
        return false;
    const std::string_view option = argv[1];
    if (option == "--help" || option == "-h") {
        std::fputs(synopsis, stdout);
        std::fputs(description, stdout);
        return true;
    }
    if (option == "--version") {
        std::printf("%s (batch suite) %s, MIT licence\n", program_name, SUITE_VERSION);
        return true;
    }
    return false;
}

bool refuse_extra_arguments(int argc, char** argv, int taken, const char* synopsis) {
    if (argc <= taken + 1)
        return false;
    std::fprintf(stderr, "%s: unknown argument '%s'\n%s", program_name, argv[taken + 1], synopsis);
    return true;
}

int close_stdout() {
    if (std::fclose(stdout) != 0) {
        report_error("standard output", errno);
        return 1;
    }
    return 0;
}

}  // namespace suite
