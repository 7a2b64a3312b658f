// The converter: the echo line's encoder, the scanner over large input blocks, and the
// converter that owns the scanner and the block writers of the echo and the records.
#include "convert.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "common/chars.h"
#include "common/int32.h"
#include "common/process.h"

namespace {

char* put_text(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

// Sixteen bytes at once, a fixed copy, where the number's own length would make a call;
// the bytes past the number are written over by what follows, or lie past the line.
char* put_number(char* out, number_text number) {
    std::memcpy(out, number.text, 16);
    return out + number.size;
}

}  // namespace

std::size_t put_echo(const number_text (&numbers)[3], char* out) {
    char* at = put_text(out, kEchoText.lead);
    at = put_text(put_number(at, numbers[0]), kEchoText.gaps[0]);
    at = put_text(put_number(at, numbers[1]), kEchoText.gaps[1]);
    at = put_text(put_number(at, numbers[2]), kEchoText.end);
    return static_cast<std::size_t>(at - out);
}

std::size_t format_echo(const request_record& record, char* out) {
    char digits[3][16] = {};
    const std::int32_t values[] = {record.app_id, record.patient_id, record.hour};
    number_text numbers[3];
    for (int k = 0; k < 3; ++k)
        numbers[k] = {digits[k], static_cast<std::size_t>(std::to_chars(digits[k], digits[k] + kMaxNumber, values[k]).ptr - digits[k])};
    return put_echo(numbers, out);
}

// ---- the scanner ----

// The read-ahead rule: more bytes first when fewer than kAhead are left and more may come.
void request_scanner::read_ahead() {
    if (static_cast<std::size_t>(end_ - pos_) < kAhead && !input_ended_)
        refill();
}

namespace {

// White space as is_c_space has it, in one comparison and one bit test per byte: the
// scanner asks before every number. Within a request the usual one has no line end, so
// a line end there ends the number as any other byte would, and next() reads the
// request and names it, at no cost to the usual one.
constexpr std::uint64_t kSpaces = std::uint64_t{1} << ' ' | std::uint64_t{0x1F} << '\t';
constexpr std::uint64_t kSpacesWithinLine = kSpaces & ~(std::uint64_t{1} << '\n');

template <std::uint64_t Spaces>
bool is_space(unsigned char c) {
    return c <= ' ' && (Spaces >> c & 1) != 0;
}

// The digits from `at` as one magnitude; the position after them. Past 19 digits the
// magnitude wraps, which the caller's count of digits tells.
const unsigned char* read_digits(const unsigned char* at, std::uint64_t& magnitude) {
    magnitude = 0;
    for (unsigned digit; (digit = *at - 0x30u) < 10; ++at)
        magnitude = magnitude * 10 + digit;
    return at;
}

// One number of the usual request from `at`, after the white space before it: its value
// in `field` and its text in `text`; the position after it, or null when it has no digit
// or more than ten, or lies out of range. `as_printed` turns false for a text %d does not
// print so: a leading zero, or -0. `Spaces` are the bytes skipped before it.
template <std::uint64_t Spaces>
inline const unsigned char* usual_number(const unsigned char* at, std::int32_t& field, number_text& text, bool& as_printed) {
    while (is_space<Spaces>(*at))
        ++at;
    const unsigned char* const start = at;
    const bool negative = *at == '-';
    const unsigned char* const digits = at + (negative ? 1 : 0);
    std::uint64_t magnitude = 0;
    at = read_digits(digits, magnitude);
    const auto count = static_cast<std::size_t>(at - digits);
    if (count - 1 >= 10 || magnitude > 2147483647u + (negative ? 1u : 0u))
        return nullptr;
    field = static_cast<std::int32_t>(negative ? 0u - static_cast<std::uint32_t>(magnitude)
                                               : static_cast<std::uint32_t>(magnitude));
    if (*digits == '0')
        as_printed = as_printed && count == 1 && !negative;
    text = {reinterpret_cast<const char*>(start), static_cast<std::size_t>(at - start)};
    return at;
}

}  // namespace

inline bool request_scanner::next_usual(block_request& request) {
    read_ahead();
    request.as_printed = true;
    const unsigned char* at = pos_;
    if ((at = usual_number<kSpaces>(at, request.record.app_id, request.texts[0], request.as_printed)) == nullptr ||
        (at = usual_number<kSpacesWithinLine>(at, request.record.patient_id, request.texts[1], request.as_printed)) == nullptr ||
        (at = usual_number<kSpacesWithinLine>(at, request.record.hour, request.texts[2], request.as_printed)) == nullptr)
        return false;
    // A number that ends the block may go on in the next one; one before it would have
    // left the next without digits.
    if (at == end_)
        return false;
    pos_ = const_cast<unsigned char*>(at);
    return true;
}

// Moves the bytes not scanned yet (fewer than kAhead) to just before the read area and
// reads a block after them; false when nothing more came.
bool request_scanner::refill() {
    if (read_failed_)
        return false;
    line_at(pos_);
    const auto rest = static_cast<std::size_t>(end_ - pos_);
    unsigned char* const read_area = block_ + kAhead;
    std::memmove(read_area - rest, pos_, rest);
    pos_ = read_area - rest;
    counted_ = pos_;
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

namespace {

// The line ends in [from, to), summed in runs of at most 255 bytes into one byte, which
// the compiler turns into whole vectors of comparisons; std::count widens every byte to
// a 64-bit sum and takes about three instructions a byte, the whole converter's cost of
// counting lines.
std::uint64_t count_line_ends(const unsigned char* from, const unsigned char* to) {
    std::uint64_t total = 0;
    while (from != to) {
        const auto run = std::min<std::size_t>(static_cast<std::size_t>(to - from), 255);
        unsigned char sum = 0;
        for (std::size_t k = 0; k < run; ++k)
            sum = static_cast<unsigned char>(sum + (from[k] == '\n' ? 1 : 0));
        total += sum;
        from += run;
    }
    return total;
}

}  // namespace

std::uint64_t request_scanner::line_at(const unsigned char* at) {
    lines_ += count_line_ends(counted_, at);
    counted_ = at;
    return lines_ + 1;
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

scan_status request_scanner::read_number(std::int32_t& value, std::uint64_t& line, quote& found) {
    if (!skip_space())
        return read_failed_ ? scan_status::read_failed : scan_status::end_of_input;
    // The quote is taken now: a refill inside the number drops what came before.
    read_ahead();
    line = line_at(pos_);
    found.size = 0;
    for (const unsigned char* at = pos_; found.size < kQuoteSize && at != end_ && *at != '\n'; ++at)
        found.text[found.size++] = static_cast<char>(*at);
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
    read_ahead();
    std::int32_t* const fields[] = {&record.app_id, &record.patient_id, &record.hour};
    scan_result result{scan_status::complete, 0};
    quote opening;
    for (int k = 0; k < 3; ++k) {
        std::uint64_t line = 0;
        quote found;
        scan_status status = read_number(*fields[k], line, found);
        if (k == 0) {
            result.line = line;
            opening = found;
        }
        if (status == scan_status::end_of_input && k > 0)
            status = scan_status::incomplete;
        if (status != scan_status::complete) {
            result.status = status;
            result.fields = k;
            if (status == scan_status::not_a_number || status == scan_status::out_of_range) {
                result.line = line;
                result.found.assign(found.text, found.size);
            }
            return result;
        }
        result.last_line = line;
    }
    result.fields = 3;
    if (result.last_line != result.line)
        result.found.assign(opening.text, opening.size);
    return result;
}

// ---- the converter ----

namespace {

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

// Owns the scanner and the two block writers, and writes each request the scanner reads
// as its echo line and its record.
class request_converter {
public:
    request_converter(std::FILE* input, std::FILE* echo, std::FILE* records, const split_notice& on_split)
        : scanner_(input), echo_(echo), records_(records), on_split_(on_split) {}

    // The usual requests, as many as both blocks hold without a flush: each one's echo
    // copied from its numbers' own text where %d prints them so.
    std::size_t convert_usual() {
        const std::size_t most = std::min(echo_.room() / kEchoRoom, records_.room() / kRecordSize);
        std::size_t done = 0;
        for (block_request request; done < most && scanner_.next_usual(request); ++done) {
            char* const line = echo_.free_space();
            echo_.commit(request.as_printed ? put_echo(request.texts, line) : format_echo(request.record, line));
            encode_request(request.record, reinterpret_cast<unsigned char*>(records_.free_space()));
            records_.commit(kRecordSize);
        }
        return done;
    }

    // The next request, whatever it is; false when the conversion stops, as `result` says.
    bool convert_next(convert_result& result) {
        request_record record{};
        const scan_result scanned = scanner_.next(record);
        if (scanned.status != scan_status::complete) {
            result.input = scanned.status;
            result.input_line = scanned.line;
            result.input_found = scanned.found;
            result.input_error = scanner_.read_error();
            return false;
        }
        if (scanned.last_line != scanned.line && on_split_)
            on_split_(result.requests + 1, scanned);
        char* const line = echo_.reserve(kEchoRoom);
        if (line == nullptr) {
            note_failure(result, output_failure::echo, echo_.error());
            return false;
        }
        auto* const bytes = reinterpret_cast<unsigned char*>(records_.reserve(kRecordSize));
        if (bytes == nullptr) {
            note_failure(result, output_failure::records, records_.error());
            return false;
        }
        echo_.commit(format_echo(record, line));
        encode_request(record, bytes);
        records_.commit(kRecordSize);
        return true;
    }

    // Hands what is left of both blocks to their streams.
    void finish(convert_result& result) {
        note_failure(result, output_failure::echo, echo_.flush());
        note_failure(result, output_failure::records, records_.flush());
    }

private:
    // Records the first output that failed, with its reason.
    static void note_failure(convert_result& result, output_failure which, int error) {
        if (result.output == output_failure::none && error != 0) {
            result.output = which;
            result.output_error = error;
        }
    }

    request_scanner scanner_;
    block_writer echo_;
    block_writer records_;
    const split_notice& on_split_;
};

}  // namespace

convert_result convert_requests(std::FILE* input, std::FILE* echo, std::FILE* records, const split_notice& on_split) {
    request_converter converter(input, echo, records, on_split);
    convert_result result;
    // The usual requests, as many at once as both blocks hold; then the next request,
    // whatever it is, one at a time.
    for (;;) {
        if (const std::size_t done = converter.convert_usual()) {
            result.requests += static_cast<std::int64_t>(done);
            continue;
        }
        if (!converter.convert_next(result))
            break;
        ++result.requests;
    }
    converter.finish(result);
    return result;
}
