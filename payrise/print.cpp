// The line of one 56-byte record, for payrise --print.
#include "print.h"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/process.h"
#include "common/record_file.h"
#include "payrise.h"

namespace payrise {
namespace {

// The longest line: a kind, a blank, a double of at most 24 characters
// (-2.2250738585072014e-308), a blank, a grade and the line end.
constexpr std::size_t kMaxPrintLine = 29;

double decode_double(const unsigned char* in) {
    std::uint64_t bits = 0;
    for (int k = 7; k >= 0; --k)
        bits = bits << 8 | in[k];
    return std::bit_cast<double>(bits);
}

std::string print_one(const unsigned char* record, std::uint64_t number, std::FILE* out) {
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
    const double salary = decode_double(record + (is_i ? kSalaryOffsetI : kSalaryOffsetE));
    at = std::to_chars(at, line + kMaxPrintLine, salary).ptr;
    if (is_e) {
        *at++ = ' ';
        *at++ = static_cast<char>(record[kGradeOffsetE]);
    }
    *at++ = '\n';
    std::fwrite(line, 1, static_cast<std::size_t>(at - line), out);
    return {};
}

}  // namespace

int print_file(const char* path) {
    suite::end_quietly_on_closed_pipe();
    return suite::print_record_file(path, kRecordSize, print_one);
}

}  // namespace payrise
