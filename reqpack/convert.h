// The converter's loop: "%d %d %d" groups of a text stream become echo lines and
// 12-byte records, streamed through fixed-size blocks whatever the input's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "part1.h"

// One request in the input, and its echo line on standard output (with the blank
// before the line end).
inline constexpr char kRequestFormat[] = "%d %d %d";
inline constexpr char kEchoFormat[] = "binary %d %d %d \n";
// A record printed back as a request line of input.txt's own format.
inline constexpr char kPrintFormat[] = "%d %d %d\n";

// The longest echo line: three numbers of 11 characters, such as -2147483648.
inline constexpr std::size_t kMaxEchoLine = 44;

// Writes the echo line of a record, exactly as kEchoFormat prints it, to `out`
// (room for kMaxEchoLine bytes) and returns its length.
std::size_t format_echo(const request_record& record, char* out);

// The room an echo line needs when its numbers are copied from the input sixteen bytes
// at a time: the third number starts 31 bytes in at most.
inline constexpr std::size_t kEchoRoom = 31 + 16;

enum class scan_status {
    complete,      // all three numbers read
    end_of_input,  // nothing but white space before the end
    incomplete,    // the input ends after one or two numbers
    not_a_number,  // a character that cannot start a number, or a sign without digits
    out_of_range,  // a number outside the signed 32-bit range
    read_failed,   // the stream reported an error (read_error() tells why)
};

struct scan_result {
    scan_status status;
    int fields;  // numbers stored into the record, in order
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

    // Converts the usual requests, up to `most`, as next() and convert_requests would:
    // each one's echo line to `echo`, which has room for kEchoRoom bytes a request, and
    // its record to `records`. Stops early at any other request, which next() then reads.
    struct converted {
        std::size_t requests;
        std::size_t echo_size;  // bytes of echo lines written
    };
    converted convert_usual(std::size_t most, char* echo, unsigned char* records);

    // The error number of the read that failed; 0 while none has.
    int read_error() const { return read_error_; }

private:
    static constexpr std::size_t kBlockSize = 64 * 1024;
    // Bytes kept ahead of the scan, so that a request nearly always lies whole in the
    // block and convert_usual can take it.
    static constexpr std::size_t kAhead = 256;

    // Follows the bytes read, so that the scanning loops stop there: neither white
    // space nor a digit.
    static constexpr unsigned char kSentinel = 'x';

    bool read_request(request_record& record, char* echo, std::size_t& echo_size);
    bool refill();
    bool skip_space();
    bool at_digit();
    scan_status read_number(std::int32_t& value);

    std::FILE* in_;
    // kAhead bytes for what was left of the last read, the read area, then the sentinel
    // and room for a copy of sixteen bytes from a number's start.
    unsigned char block_[kAhead + kBlockSize + 16];
    unsigned char* pos_ = block_;
    unsigned char* end_ = block_;
    bool input_ended_ = false;  // a read gave fewer bytes than asked for
    bool read_failed_ = false;
    int read_error_ = 0;
};

// Why an output of the conversion failed.
enum class output_failure { none, echo, records };

struct convert_result {
    std::int64_t requests = 0;                      // requests echoed and written
    scan_status input = scan_status::end_of_input;  // why the conversion stopped
    int input_error = 0;                            // error number of a read failure
    output_failure output = output_failure::none;   // the first output that failed
    int output_error = 0;                           // its error number
};

// Converts every request of `input`: an echo line to `echo` and a record to `records`.
// Stops at the end of the input, at the first request that cannot be read whole, or
// at the first write that fails; what came before is flushed to both streams.
convert_result convert_requests(std::FILE* input, std::FILE* echo, std::FILE* records);
