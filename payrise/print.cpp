// payrise --print: the line of one 56-byte record, and the printing of a whole file.
#include "print.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/coding.h"
#include "common/process.h"
#include "common/record_file.h"
#include "payrise.h"

namespace payrise {
namespace {

// The longest line: a kind, a blank, a double of at most 24 characters
// (-2.2250738585072014e-308), a blank, a grade and the line end.
constexpr std::size_t kMaxPrintLine = 29;

}  // namespace

std::string print_line(const unsigned char* record, std::uint64_t number, std::FILE* out) {
    const char kind = static_cast<char>(record[kKindOffset]);
    const bool is_i = kind == 'I' || kind == 'i';
    const bool is_e = kind == 'E' || kind == 'e';
    if (!is_i && !is_e) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned>(record[kKindOffset]));
        return "record " + std::to_string(number) + ": kind byte " + hex + " is not I or E";
    }
    char line[kMaxPrintLine];
    char* at = line;
    *at++ = kind;
    *at++ = ' ';
    const double salary = suite::get_double(record + (is_i ? kSalaryOffsetI : kSalaryOffsetE));
    at = std::to_chars(at, line + kMaxPrintLine, salary).ptr;
    if (is_e) {
        *at++ = ' ';
        *at++ = static_cast<char>(record[kGradeOffsetE]);
    }
    *at++ = '\n';
    std::fwrite(line, 1, static_cast<std::size_t>(at - line), out);
    return {};
}

int print_file(const char* path) {
    suite::end_quietly_on_closed_pipe();
    return suite::print_record_file(path, kRecordSize, print_line);
}

}  // namespace payrise
