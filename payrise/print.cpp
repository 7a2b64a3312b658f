// The records printer: blocks of 56-byte records in, one text line per record out.
#include "print.h"

#include <bit>
#include <charconv>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/process.h"
#include "payrise.h"

namespace payrise {
namespace {

// fread fills a whole block unless the input ends or fails, so only the last block
// can end inside a record.
constexpr std::size_t kPrintBlock = kRecordSize * 1024;

double decode_double(const unsigned char* in) {
    std::uint64_t bits = 0;
    for (int k = 7; k >= 0; --k)
        bits = bits << 8 | in[k];
    return std::bit_cast<double>(bits);
}

std::string trailing_message(std::size_t bytes) {
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes") + " after the last whole record";
}

std::string bad_kind_message(std::uint64_t record, unsigned char kind) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", kind);
    return "record " + std::to_string(record) + ": kind byte " + hex + " is not I or E";
}

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::size_t format_record(const unsigned char* record, char* out) {
    const char kind = static_cast<char>(record[kKindOffset]);
    const bool is_i = kind == 'I' || kind == 'i';
    const bool is_e = kind == 'E' || kind == 'e';
    if (!is_i && !is_e)
        return 0;
    char* at = out;
    *at++ = kind;
    *at++ = ' ';
    const double salary = decode_double(record + (is_i ? kSalaryOffsetI : kSalaryOffsetE));
    at = std::to_chars(at, out + kMaxPrintLine, salary).ptr;
    if (is_e) {
        *at++ = ' ';
        *at++ = static_cast<char>(record[kGradeOffsetE]);
    }
    *at++ = '\n';
    return static_cast<std::size_t>(at - out);
}

print_result print_records(std::FILE* in, std::FILE* out) {
    print_result result;
    std::vector<unsigned char> block(kPrintBlock);
    char line[kMaxPrintLine];
    for (;;) {
        const std::size_t got = std::fread(block.data(), 1, block.size(), in);
        const int read_error = got < block.size() && std::ferror(in) ? suite::last_error() : 0;
        for (std::size_t at = 0; at + kRecordSize <= got; at += kRecordSize) {
            const std::size_t size = format_record(block.data() + at, line);
            if (size == 0) {
                result.bad_kind = true;
                result.kind_byte = block[at + kKindOffset];
                break;
            }
            if (std::fwrite(line, 1, size, out) != size) {
                result.write_error = suite::last_error();
                return result;
            }
            ++result.records;
        }
        if (result.bad_kind)
            break;
        if (read_error != 0) {
            result.read_error = read_error;
            break;
        }
        if (got < block.size()) {
            result.trailing = got % kRecordSize;
            break;
        }
    }
    if (std::fflush(out) != 0)
        result.write_error = suite::last_error();
    return result;
}

int print_file(const char* path) {
    const bool from_stdin = std::strcmp(path, "-") == 0;
    const char* name = from_stdin ? "standard input" : path;
    std::unique_ptr<std::FILE, file_closer> file;
    if (!from_stdin) {
        file.reset(std::fopen(path, "rb"));
        if (!file) {
            suite::report_error(name, suite::last_error());
            return 1;
        }
    }
    const auto result = print_records(from_stdin ? stdin : file.get(), stdout);
    if (result.write_error != 0) {
        suite::report_error("standard output", result.write_error);
        return 1;
    }
    if (result.read_error != 0) {
        suite::report_error(name, result.read_error);
        return 1;
    }
    if (result.bad_kind) {
        suite::report(name, bad_kind_message(result.records + 1, result.kind_byte));
        return 1;
    }
    if (result.trailing != 0) {
        suite::report(name, trailing_message(result.trailing));
        return 1;
    }
    return 0;
}

}  // namespace payrise
