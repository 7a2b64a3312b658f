// What every program of the suite does at the process level: standard descriptors it
// can trust, --help and --version, its messages, and the checked close of standard output.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "common/outcome.h"

namespace suite {

// For a printer: a reader that goes away ends the run by SIGPIPE, quietly, as it ends
// cat or seq. Nothing is left half done, since a printer writes no file.
void end_quietly_on_closed_pipe();

// The name messages begin with; start() sets it, a test of a library may too.
void set_program(const char* program);
const char* program();

// A file name as messages show it: unchanged when every byte is printable (UTF-8
// included); otherwise quoted for the shell, as ls --quoting-style=shell-escape does:
// 'a'$'\n''b'. So a name never puts a control byte on the terminal or splits a line.
std::string quote_name(std::string_view name);
// An argument as messages show it, between single quotes ('-q'); quoted for the shell
// as above when it holds a byte that is not printable.
std::string quote_argument(std::string_view argument);

// "program: " and the formatted message, one line on standard error: every message the
// suite adds is written through here, so the compiler checks each format.
[[gnu::format(printf, 1, 2)]] void warn(const char* format, ...);
// The same line on `stream`, for a library whose caller says where its messages go.
[[gnu::format(printf, 2, 3)]] void warn_to(std::FILE* stream, const char* format, ...);

// "program: file: what" on standard error, the file quoted by quote_name. Names inside
// `what` are the caller's to quote; a control byte left there is printed escaped.
void report(std::string_view file, std::string_view what);
// The same with the system's words for an error number, or the output layer's for its
// own (kChangedDuringRun, common/outcome.h).
void report_error(std::string_view file, int error);

// The messages of an output's step (common/outcome.h): a file left beside the output,
// then the failure, saying what the output holds unless it is the previous content.
// True when the step failed.
bool report_outcome(std::string_view output, const outcome& result);

// The error number of the call that just failed; EIO when it left none (stdio may
// fail without a system call, and a failure must never read as success).
int last_error();

// The status of a run refused for its arguments.
inline constexpr int kUsageStatus = 2;

// The opening of every main. Remembers the program's name for its messages; opens
// /dev/null on any of descriptors 0, 1 and 2 that is closed (so no output file can take
// its place), for the other direction, so that reading a closed standard input or
// writing a closed standard output still fails with EBADF; ignores SIGPIPE and SIGXFSZ,
// so that a reader that went away or a file-size limit is a write error to report;
// answers --help, -h or --version as the first argument; and refuses any argument after
// the `taken` first ones, unless taken is kOwnArguments. The status to end with at once
// (1 when a closed descriptor could not be reopened), or nothing when the run goes on.
inline constexpr int kOwnArguments = -1;   // the program checks its arguments itself
std::optional<int> open_run(const char* program, int argc, char** argv, const char* synopsis,
                            const char* description, int taken);

// Answers --help, -h or --version on standard output as open_run does when it is the
// first argument; true when `option` is one of them. The run then ends with close_stdout().
bool answer_info_option(std::string_view option, const char* synopsis, const char* description);

// For a run that takes no more arguments than the `taken` first ones: names the first
// argument after them, with the synopsis, on standard error; true when there was one
// and the run must end with kUsageStatus.
bool refuse_extra_arguments(int argc, char** argv, int taken, const char* synopsis);

// The status of a run that ended two ways: the worse of the two.
constexpr int worse(int status, int other) {
    return status > other ? status : other;
}

// "program: standard output: reason", once a run: a later failure of the same stream,
// its close say, is not reported again.
void report_stdout_error(int error);

// Flushes standard output, checks it for any write that failed, and closes it, so a
// full disk or a closed pipe shows here at the latest; then checks standard error for
// a message that could not be written. Returns the exit status it calls for: 0, or 1,
// after a message for standard output (none when it was reported already), without
// one for standard error.
int close_stdout();

// What a run that runs out of memory says: "program: not enough memory", or, where one
// file did not fit, "program: file: not enough memory".
inline constexpr char kNoMemory[] = "not enough memory";
// Every main catches std::bad_alloc and ends through here, after its outputs were
// unwound (each keeps its previous content): the message, and the status 1.
int report_no_memory();

}  // namespace suite
