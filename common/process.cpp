// The process-level chores every program shares.
#include "common/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/outcome.h"

namespace suite {
namespace {

const char* program_name = "suite";

// The length of the printable character that starts at `at`: one printable ASCII byte,
// or a well-formed UTF-8 sequence (RFC 3629: no overlong form, no surrogate) that is
// not a C1 control. 0 for a control byte or a byte that starts no such sequence.
std::size_t printable_length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t k) -> unsigned {
        return at + k < text.size() ? static_cast<unsigned char>(text[at + k]) : 0u;
    };
    const unsigned lead = byte(0);
    if (lead < 0x80)
        return lead >= 0x20 && lead != 0x7f ? 1 : 0;
    std::size_t length = 0;
    unsigned low = 0x80;   // the range of the second byte
    unsigned high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        low = lead == 0xc2 ? 0xa0 : low;   // U+0080 to U+009F are the C1 controls
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : low;
        high = lead == 0xed ? 0x9f : high;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : low;
        high = lead == 0xf4 ? 0x8f : high;
    } else {
        return 0;
    }
    if (byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (byte(k) < 0x80 || byte(k) > 0xbf)
            return 0;
    return length;
}

bool all_printable(std::string_view text) {
    for (std::size_t at = 0, length = 0; at < text.size(); at += length)
        if ((length = printable_length(text, at)) == 0)
            return false;
    return true;
}

// A byte as $'...' and C write it: \n, \t and the like, or three octal digits.
void append_escape(std::string& out, unsigned char byte) {
    static constexpr char kLetters[] = "abtnvfr";   // the escapes of bytes 7 to 13
    out += '\\';
    if (byte >= 7 && byte <= 13) {
        out += kLetters[byte - 7];
        return;
    }
    out += static_cast<char>('0' + (byte >> 6));
    out += static_cast<char>('0' + (byte >> 3 & 7));
    out += static_cast<char>('0' + (byte & 7));
}

// The text quoted for the shell: printable runs in '...', a quote as \', and runs of
// other bytes as $'...'.
std::string shell_escape(std::string_view text) {
    enum quoting { none, plain, escaped };
    quoting inside = none;
    std::string out;
    const auto enter = [&](quoting next) {
        if (inside == next)
            return;
        if (inside != none)
            out += '\'';
        if (next != none)
            out += next == plain ? "'" : "$'";
        inside = next;
    };
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = printable_length(text, at);
        if (length == 0) {
            enter(escaped);
            append_escape(out, static_cast<unsigned char>(text[at++]));
        } else if (text[at] == '\'') {
            enter(none);
            out += "\\'";
            ++at;
        } else {
            enter(plain);
            out.append(text, at, length);
            at += length;
        }
    }
    enter(none);
    return out.empty() ? "''" : out;
}

// Remembers the program's name and makes descriptors 0-2 and the signals trustworthy;
// false when a closed descriptor could not be reopened.
bool start(const char* program) {
    program_name = program;
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open takes the lowest free descriptor, which is this one. Open for the other
        // direction, a use of the stream fails with EBADF as on the closed descriptor.
        if (open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) != fd)
            return false;
    }
    return true;
}

}  // namespace

// The help is the synopsis (its "usage:" lines), then what it explains.
bool answer_info_option(std::string_view option, const char* synopsis, const char* description) {
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

void end_quietly_on_closed_pipe() {
    std::signal(SIGPIPE, SIG_DFL);
}

void set_program(const char* program) {
    program_name = program;
}

const char* program() {
    return program_name;
}

std::string quote_name(std::string_view name) {
    return all_printable(name) ? std::string(name) : shell_escape(name);
}

std::string quote_argument(std::string_view argument) {
    if (!all_printable(argument))
        return shell_escape(argument);
    std::string quoted(1, '\'');
    quoted.append(argument);
    quoted += '\'';
    return quoted;
}

void report(std::string_view file, std::string_view what) {
    std::string text(what);
    if (!all_printable(what)) {
        text.clear();
        for (std::size_t at = 0; at < what.size();) {
            const std::size_t length = printable_length(what, at);
            if (length == 0) {
                append_escape(text, static_cast<unsigned char>(what[at++]));
            } else {
                text.append(what, at, length);
                at += length;
            }
        }
    }
    warn("%s: %s", quote_name(file).c_str(), text.c_str());
}

namespace {

// The line is written with one call, so a message that fails is lost whole, never cut.
[[gnu::format(printf, 2, 0)]] void warn_with(std::FILE* stream, const char* format, va_list arguments) {
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    std::string line = std::string(program_name) + ": ";
    const std::size_t start = line.size();
    line.resize(start + static_cast<std::size_t>(length > 0 ? length : 0) + 1);
    std::vsnprintf(line.data() + start, line.size() - start, format, again);
    va_end(again);
    line.back() = '\n';
    std::fwrite(line.data(), 1, line.size(), stream);
}

}  // namespace

void warn(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    warn_with(stderr, format, arguments);
    va_end(arguments);
}

void warn_to(std::FILE* stream, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    warn_with(stream, format, arguments);
    va_end(arguments);
}

namespace {

// The system's words for an error number, or the output layer's for its own.
std::string error_words(int error) {
    return error == kChangedDuringRun ? "was changed by another process during the run" : std::strerror(error);
}

}  // namespace

void report_error(std::string_view file, int error) {
    report(file, error_words(error) + (error == kChangedDuringRun ? "; left as it is" : ""));
}

bool report_outcome(std::string_view output, const outcome& result) {
    static const char* const kLeft[] = {"", "what stood there before", "a file another process put in its place",
                                        "an emptied file of this run"};
    if (result.left.kind != left_kind::none)
        report(output, std::string(kLeft[static_cast<int>(result.left.kind)]) + " is left beside it as " +
                           quote_name(result.left.name) +
                           (result.left.error != 0 ? std::string(": ") + std::strerror(result.left.error) : ""));
    const std::string why = error_words(result.error);
    switch (result.error == 0 ? holds::previous : result.output) {
    case holds::previous:
        if (result.error != 0)
            report_error(result.blamed, result.error);
        break;
    case holds::new_content:
        report(output, why + "; the new content stands all the same");
        break;
    case holds::another_file:
        report(output, why + "; a file another process put there stands in its place");
        break;
    case holds::part_new:
        report(output, why + "; it is left part written");
        break;
    }
    return result.error != 0;
}

int last_error() {
    return errno != 0 ? errno : EIO;
}

bool refuse_extra_arguments(int argc, char** argv, int taken, const char* synopsis) {
    if (argc <= taken + 1)
        return false;
    warn("unknown argument %s", quote_argument(argv[taken + 1]).c_str());
    std::fputs(synopsis, stderr);
    return true;
}

std::optional<int> open_run(const char* program, int argc, char** argv, const char* synopsis,
                            const char* description, int taken) {
    if (!start(program))
        return 1;
    if (argc > 1 && answer_info_option(argv[1], synopsis, description))
        return close_stdout();
    if (taken != kOwnArguments && refuse_extra_arguments(argc, argv, taken, synopsis))
        return kUsageStatus;
    return std::nullopt;
}

void report_stdout_error(int error) {
    static bool reported = false;
    if (!reported)
        report_error("standard output", error);
    reported = true;
}

int close_stdout() {
    int error = std::fflush(stdout) != 0 ? last_error() : 0;
    // A write that failed earlier, its reason gone with its errno.
    if (error == 0 && std::ferror(stdout))
        error = EIO;
    if (std::fclose(stdout) != 0 && error == 0)
        error = last_error();
    if (error != 0)
        report_stdout_error(error);
    // A message that could not be written fails the run too, as in coreutils; there is
    // nowhere left to say so. Standard error stays open for a sanitizer's report.
    const bool message_lost = std::fflush(stderr) != 0 || std::ferror(stderr);
    return error != 0 || message_lost ? 1 : 0;
}

int report_no_memory() {
    warn("%s", kNoMemory);
    return 1;
}

}  // namespace suite
