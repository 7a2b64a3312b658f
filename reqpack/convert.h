// The converter's loop: "%d %d %d" groups of a text stream become echo lines and
// 12-byte records, streamed through fixed-size blocks whatever the input's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "part1.h"

// One request in the input, and its echo line on standard output (with the blank
// before the line end).
inline constexpr char kRequestFormat[] = "%d %d %d";
inline constexpr char kEchoFormat[] = "binary %d %d %d \n";
// A record printed back as a request line of input.txt's own format.
inline constexpr char kPrintFormat[] = "%d %d %d\n";

// kEchoFormat's text around its three numbers, cut from the format when compiled: the
// echo's encoder writes these, so that it cannot drift from the format.
struct echo_text {
    std::string_view lead;     // before the first number
    std::string_view gaps[2];  // between the numbers
    std::string_view end;      // after the last
};

// The position of the first '%' in `format` from `from` on; its size when none is left.
constexpr std::size_t next_conversion(std::string_view format, std::size_t from) {
    while (from < format.size() && format[from] != '%')
        ++from;
    return from;
}

constexpr echo_text cut_echo_format(std::string_view format) {
    const std::size_t first = next_conversion(format, 0);
    const std::size_t second = next_conversion(format, first + 2);
    const std::size_t third = next_conversion(format, second + 2);
    return {format.substr(0, first),
            {format.substr(first + 2, second - first - 2), format.substr(second + 2, third - second - 2)},
            format.substr(third + 2)};
}

constexpr bool holds_three_numbers(std::string_view format) {
    std::size_t at = next_conversion(format, 0);
    for (int k = 0; k < 3; ++k, at = next_conversion(format, at + 2))
        if (at + 1 >= format.size() || format[at + 1] != 'd')
            return false;
    return at == format.size();
}
static_assert(holds_three_numbers(kEchoFormat), "kEchoFormat holds three %d and no other conversion");

inline constexpr echo_text kEchoText = cut_echo_format(kEchoFormat);

// The text of one number as %d prints it. The echo's encoder copies sixteen bytes from
// `text` at once, so that many must be readable there.
struct number_text {
    const char* text;
    std::size_t size;
};

// The longest number, such as -2147483648; the room the echo line needs with its
// numbers copied sixteen bytes at a time; and the longest echo line.
inline constexpr std::size_t kMaxNumber = 11;
inline constexpr std::size_t kEchoRoom = kEchoText.lead.size() + kEchoText.gaps[0].size() + kEchoText.gaps[1].size() +
                                         2 * kMaxNumber + (kEchoText.end.size() + kMaxNumber > 16 ? kEchoText.end.size() + kMaxNumber : 16);
inline constexpr std::size_t kMaxEchoLine = sizeof kEchoFormat - 1 - 3 * 2 + 3 * kMaxNumber;

// Writes the echo line of three numbers, given as %d prints them, at `out` (room for
// kEchoRoom bytes) and returns its length: the one encoder of the echo line.
std::size_t put_echo(const number_text (&numbers)[3], char* out);

// The echo line of a record, exactly as kEchoFormat prints it, by put_echo: at `out`,
// which has room for kEchoRoom bytes.
std::size_t format_echo(const request_record& record, char* out);

enum class scan_status {
    complete,      // all three numbers read
    end_of_input,  // nothing but white space before the end
    incomplete,    // the input ends after one or two numbers
    not_a_number,  // a character that cannot start a number, or a sign without digits
    out_of_range,  // a number outside the signed 32-bit range
    read_failed,   // the stream reported an error (read_error() tells why)
};

inline constexpr std::size_t kQuoteSize = 20;  // what a message quotes of the input

struct scan_result {
    scan_status status;
    int fields;  // numbers stored into the record, in order
    // The line the request starts on; not_a_number and out_of_range: the line of the
    // failing number. Lines count from 1.
    std::uint64_t line = 0;
    std::uint64_t last_line = 0;  // complete: the line its last number stands on
    // complete: the request's text; not_a_number and out_of_range: the failing number's;
    // from its start, up to kQuoteSize characters, within its line.
    std::string found{};
};

// A request read whole from the scanner's block: its record, and the text of each of its
// numbers there; `as_printed` tells whether the texts are what %d prints (no leading
// zero, no -0).
struct block_request {
    request_record record;
    number_text texts[3];
    bool as_printed;
};

// Reads requests as kRequestFormat does: white space in the C locale (blank, \t, \n,
// \v, \f, \r) before each number, an optional sign, decimal digits up to the first
// other character, so "1-2-3" is 1, -2, -3. Unlike scanf it notices a number that does
// not fit. Reads its stream in large blocks, so it must be the stream's only reader.
class request_scanner {
public:
    explicit request_scanner(std::FILE* in) : in_(in) { block_[0] = kSentinel; }
    request_scanner(const request_scanner&) = delete;
    request_scanner& operator=(const request_scanner&) = delete;

    scan_result next(request_record& record);

    // The next request when it is the usual one: three numbers in range and without a
    // '+', each ended before the end of the block, read without a refill check per byte.
    // False for any other, with nothing consumed: next() then reads it. Inline, in the
    // converter's loop, its one caller.
    inline bool next_usual(block_request& request);

    // The error number of the read that failed; 0 while none has.
    int read_error() const { return read_error_; }

private:
    static constexpr std::size_t kBlockSize = 64 * 1024;
    // Bytes kept ahead of the scan, so that a request nearly always lies whole in the
    // block and next_usual can take it.
    static constexpr std::size_t kAhead = 256;

    // Follows the bytes read, so that the scanning loops stop there: neither white
    // space nor a digit.
    static constexpr unsigned char kSentinel = 'x';

    void read_ahead();
    bool refill();
    bool skip_space();
    bool at_digit();
    // Up to kQuoteSize characters of the input from a number's start, within its line.
    struct quote {
        char text[kQuoteSize];
        std::size_t size = 0;
    };

    scan_status read_number(std::int32_t& value, std::uint64_t& line, quote& found);
    std::uint64_t line_at(const unsigned char* at);

    std::FILE* in_;
    // kAhead bytes for what was left of the last read, the read area, then the sentinel
    // and sixteen bytes more, which a copy of a number's text may read.
    unsigned char block_[kAhead + kBlockSize + 16];
    unsigned char* pos_ = block_;
    unsigned char* end_ = block_;
    // The line ends before `counted_`, which trails the scan: a refill counts the bytes
    // it drops, in one pass over the block, and so the usual request counts none.
    std::uint64_t lines_ = 0;
    const unsigned char* counted_ = block_;
    bool input_ended_ = false;  // a read gave fewer bytes than asked for
    bool read_failed_ = false;
    int read_error_ = 0;
};

// Why an output of the conversion failed.
enum class output_failure { none, echo, records };

struct convert_result {
    std::int64_t requests = 0;                      // requests echoed and written
    scan_status input = scan_status::end_of_input;  // why the conversion stopped
    std::uint64_t input_line = 0;                   // and where: scan_result's line
    std::string input_found;                        // and its found
    int input_error = 0;                            // error number of a read failure
    output_failure output = output_failure::none;   // the first output that failed
    int output_error = 0;                           // its error number
};

// Converts every request of `input`: an echo line to `echo` and a record to `records`.
// Stops at the end of the input, at the first request that cannot be read whole, or
// at the first write that fails; what came before is flushed to both streams.
// A request whose numbers stand on more than one line: its number, counting from 1, and
// how it scanned.
using split_notice = std::function<void(std::int64_t request, const scan_result& scan)>;
convert_result convert_requests(std::FILE* input, std::FILE* echo, std::FILE* records,
                                const split_notice& on_split = nullptr);
