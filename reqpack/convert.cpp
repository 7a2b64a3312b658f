// The converter's loop: its scanner over large input blocks, its echo formatting and
// the block writers for the echo lines and the records.
#include "convert.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "common/chars.h"
#include "common/int32.h"
#include "common/process.h"

namespace {

char* put_number(char* out, std::int32_t value) {
    return std::to_chars(out, out + 11, value).ptr;
}

// Collects output in a large block and hands it to its stream a block at a time.
class block_writer {
public:
    explicit block_writer(std::FILE* out) : out_(out) {}

    // Room for `size` more bytes, flushing first when needed; null when the flush failed
    // (error() tells why).
    char* reserve(std::size_t size) {
        if (kBlockSize - used_ < size && flush() != 0)
            return nullptr;
        return block_ + used_;
    }
    void commit(std::size_t size) { used_ += size; }
    // The room left before the block must be flushed, and where it starts.
    std::size_t room() const { return kBlockSize - used_; }
    char* free_space() { return block_ + used_; }

    // Hands the block to the stream and the stream to the system; 0, or the error
    // number of the first write that failed.
    int flush() {
        const std::size_t pending = used_;
        used_ = 0;
        if (error_ == 0 && (std::fwrite(block_, 1, pending, out_) != pending || std::fflush(out_) != 0))
            error_ = suite::last_error();
        return error_;
    }
    int error() const { return error_; }

private:
    static constexpr std::size_t kBlockSize = 64 * 1024;

    std::FILE* out_;
    std::size_t used_ = 0;
    int error_ = 0;
    char block_[kBlockSize];
};

}  // namespace

std::size_t format_echo(const request_record& record, char* out) {
    static constexpr char kLead[] = "binary ";
    char* at = out;
    std::memcpy(at, kLead, sizeof kLead - 1);
    at += sizeof kLead - 1;
    at = put_number(at, record.app_id);
    *at++ = ' ';
    at = put_number(at, record.patient_id);
    *at++ = ' ';
    at = put_number(at, record.hour);
    *at++ = ' ';
    *at++ = '\n';
    return static_cast<std::size_t>(at - out);
}

namespace {

// White space as is_c_space has it, in one comparison and one bit test per byte: the
// scanner asks before every number.
bool is_space(unsigned char c) {
    constexpr std::uint64_t kSpaces = std::uint64_t{1} << ' ' | std::uint64_t{0x1F} << '\t';
    return c <= ' ' && (kSpaces >> c & 1) != 0;
}

}  // namespace

// A whole request of three numbers in range, each ended before the end of the block:
// the usual request, read without a refill check per byte. Its echo line goes to `echo`
// (room for kEchoRoom bytes) as the numbers are read, copied from their own text: that
// is what %d prints unless a number has a leading zero or is -0, when echo_size is 0 and
// format_echo must write the line. False for anything else, a '+' sign among it, with
// nothing consumed, which next() then reads.
inline bool request_scanner::read_request(request_record& record, char* echo, std::size_t& echo_size) {
    static constexpr char kLead[] = "binary ";
    const unsigned char* at = pos_;
    char* line = echo;
    std::memcpy(line, kLead, sizeof kLead - 1);
    line += sizeof kLead - 1;
    bool as_printed = true;
    // Each number in turn, with the white space before it, into its field and the echo.
    const auto number = [&](std::int32_t& field) {
        while (is_space(*at))
            ++at;
        const unsigned char* const start = at;
        const bool negative = *at == '-';
        at += negative ? 1 : 0;
        const unsigned char* const digits = at;
        std::uint64_t magnitude = 0;
        for (unsigned digit; (digit = *at - 0x30u) < 10; ++at)
            magnitude = magnitude * 10 + digit;
        // None, or more than ten, where the magnitude may have wrapped.
        const auto count = static_cast<std::size_t>(at - digits);
        if (count - 1 >= 10 || magnitude > 2147483647u + (negative ? 1u : 0u))
            return false;
        field = static_cast<std::int32_t>(negative ? 0u - static_cast<std::uint32_t>(magnitude)
                                                   : static_cast<std::uint32_t>(magnitude));
        if (*digits == '0')  // %d prints no leading zero, and no -0
            as_printed = as_printed && count == 1 && !negative;
        std::memcpy(line, start, 16);  // the bytes past the number are written over or past the line
        line += at - start;
        *line++ = ' ';
        return true;
    };
    request_record read;
    if (!number(read.app_id) || !number(read.patient_id) || !number(read.hour))
        return false;
    // A number that ends the block may go on in the next one; one before it would have
    // left the next without digits.
    if (at == end_)
        return false;
    *line++ = '\n';
    record = read;
    pos_ = const_cast<unsigned char*>(at);
    echo_size = as_printed ? static_cast<std::size_t>(line - echo) : 0;
    return true;
}

request_scanner::converted request_scanner::convert_usual(std::size_t most, char* echo, unsigned char* records) {
    converted done{0, 0};
    request_record record;
    std::size_t echo_size = 0;
    while (done.requests < most) {
        // As next() does: more bytes first when fewer than kAhead are left and more may come.
        if (static_cast<std::size_t>(end_ - pos_) < kAhead && !input_ended_)
            refill();
        if (!read_request(record, echo + done.echo_size, echo_size))
            break;
        done.echo_size += echo_size != 0 ? echo_size : format_echo(record, echo + done.echo_size);
        encode_request(record, records + kRecordSize * done.requests);
        ++done.requests;
    }
    return done;
}

// Moves the bytes not scanned yet (fewer than kAhead) to just before the read area and
// reads a block after them; false when nothing more came.
bool request_scanner::refill() {
    if (read_failed_)
        return false;
    const auto rest = static_cast<std::size_t>(end_ - pos_);
    unsigned char* const read_area = block_ + kAhead;
    std::memmove(read_area - rest, pos_, rest);
    pos_ = read_area - rest;
    const std::size_t got = std::fread(read_area, 1, kBlockSize, in_);
    end_ = read_area + got;
    *end_ = kSentinel;
    input_ended_ = got < kBlockSize;
    if (got == 0 && std::ferror(in_)) {
        read_failed_ = true;
        read_error_ = suite::last_error();
    }
    return got != 0;
}

// The loops below run over the block without bounds checks: they stop at the
// sentinel, and only there ask whether the block is used up.
bool request_scanner::skip_space() {
    for (;;) {
        while (suite::is_c_space(*pos_))
            ++pos_;
        if (pos_ != end_)
            return true;
        if (!refill())
            return false;
    }
}

bool request_scanner::at_digit() {
    return (pos_ != end_ || refill()) && suite::is_c_digit(*pos_);
}

scan_status request_scanner::read_number(std::int32_t& value) {
    if (!skip_space())
        return read_failed_ ? scan_status::read_failed : scan_status::end_of_input;
    const bool negative = *pos_ == '-';
    if (*pos_ == '-' || *pos_ == '+')
        ++pos_;
    if (!at_digit())
        return read_failed_ ? scan_status::read_failed : scan_status::not_a_number;
    suite::int32_digits number(negative);
    do {
        // A local position spares a store to the member at every digit.
        unsigned char* at = pos_;
        for (; suite::is_c_digit(*at); ++at)
            number.add(static_cast<char>(*at));
        pos_ = at;
        // A number out of range stays so; say it before a refill could fail and hide it.
        if (!number.in_range())
            return scan_status::out_of_range;
    } while (at_digit());
    // A read error right after the digits may have cut the number short.
    if (read_failed_)
        return scan_status::read_failed;
    value = number.value();
    return scan_status::complete;
}

scan_result request_scanner::next(request_record& record) {
    if (static_cast<std::size_t>(end_ - pos_) < kAhead && !input_ended_)
        refill();
    std::int32_t* const fields[] = {&record.app_id, &record.patient_id, &record.hour};
    for (int k = 0; k < 3; ++k) {
        scan_status status = read_number(*fields[k]);
        if (status == scan_status::end_of_input && k > 0)
            status = scan_status::incomplete;
        if (status != scan_status::complete)
            return {status, k};
    }
    return {scan_status::complete, 3};
}

namespace {

// Records the first output that failed, with its reason.
void note_failure(convert_result& result, output_failure which, int error) {
    if (result.output == output_failure::none && error != 0) {
        result.output = which;
        result.output_error = error;
    }
}

}  // namespace

convert_result convert_requests(std::FILE* input, std::FILE* echo, std::FILE* records) {
    request_scanner scanner(input);
    block_writer echo_out(echo);
    block_writer records_out(records);
    convert_result result;
    request_record record{};
    for (;;) {
        // The usual requests, as many at once as both blocks hold without a flush; then
        // the next request, whatever it is, one at a time.
        if (const std::size_t most = std::min(echo_out.room() / kEchoRoom, records_out.room() / kRecordSize)) {
            const auto done = scanner.convert_usual(
                most, echo_out.free_space(), reinterpret_cast<unsigned char*>(records_out.free_space()));
            echo_out.commit(done.echo_size);
            records_out.commit(kRecordSize * done.requests);
            result.requests += static_cast<std::int64_t>(done.requests);
            if (done.requests != 0)
                continue;
        }
        const scan_result scanned = scanner.next(record);
        if (scanned.status != scan_status::complete) {
            result.input = scanned.status;
            result.input_error = scanner.read_error();
            break;
        }
        char* line = echo_out.reserve(kEchoRoom);
        if (line == nullptr) {
            note_failure(result, output_failure::echo, echo_out.error());
            break;
        }
        auto* bytes = reinterpret_cast<unsigned char*>(records_out.reserve(kRecordSize));
        if (bytes == nullptr) {
            note_failure(result, output_failure::records, records_out.error());
            break;
        }
        echo_out.commit(format_echo(record, line));
        encode_request(record, bytes);
        records_out.commit(kRecordSize);
        ++result.requests;
    }
    note_failure(result, output_failure::echo, echo_out.flush());
    note_failure(result, output_failure::records, records_out.flush());
    return result;
}
