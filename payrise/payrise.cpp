// payrise: the raise rules, the 56-byte record encoder, and read_write, which reads the
// input in large chunks, splits each line with the mask tokenizer and writes records in blocks.
#include "payrise.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "payrise_internal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace payrise {
namespace {

constexpr char kShortLineFormat[] = "payrise: %s: line %ju: too few fields for kind %c, no record written\n";
constexpr char kLongLineFormat[] = "payrise: %s: line %ju: longer than 1 MiB, no record written\n";
constexpr char kNotANumberFormat[] = "payrise: %s: line %ju: salary '%.*s' is not a number, read as 0\n";

// The error number of a stdio call that has just failed; EIO if it set none.
int error_of_failed_call() {
    return errno != 0 ? errno : EIO;
}

// I and i (E and e) differ in bit 5 only, and no other byte ORs to i or e.
char lower_kind(char kind) {
    return static_cast<char>(kind | 0x20);
}

void put_double(unsigned char* bytes, double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    for (std::size_t k = 0; k < sizeof bits; ++k)
        bytes[k] = static_cast<unsigned char>(bits >> (8 * k));
}

// Writes all kRecordSize bytes at into.
void encode_into(const staff_record& record, unsigned char* into) {
    std::memset(into, 0, kRecordSize);
    into[kKindOffset] = static_cast<unsigned char>(record.kind);
    if (lower_kind(record.kind) == 'e') {
        put_double(into + kSalaryOffsetE, record.salary);
        into[kGradeOffsetE] = static_cast<unsigned char>(record.grade);
    } else {
        put_double(into + kSalaryOffsetI, record.salary);
    }
}

}  // namespace

record_bytes encode_staff_record(const staff_record& record) {
    record_bytes bytes;
    encode_into(record, bytes.data());
    return bytes;
}

staff_record salary_rise(staff_record record) {
    const double s = record.salary;
    if (lower_kind(record.kind) == 'i') {
        // Half the salary rises by 5 per cent, the other half by 5.3.
        const double a = s + ((s / 2) * 5) / 100;
        record.salary = a + ((s / 2) * 5.3) / 100;
    } else if (lower_kind(record.kind) == 'e') {
        switch (record.grade) {
        case 'a': record.salary = s + (17.5 * s) / 100; break;
        case 'b': record.salary = s + (12 * s) / 100; break;
        case 'c': record.salary = s + (9 * s) / 100; break;
        default: break;
        }
    }
    return record;
}

byte_masks classify_portable(const char* bytes) {
    byte_masks m;
    for (std::size_t k = 0; k < kWindow; ++k) {
        m.blank |= std::uint64_t{bytes[k] == ' '} << k;
        m.comma |= std::uint64_t{bytes[k] == ','} << k;
        m.line_end |= std::uint64_t{bytes[k] == '\n'} << k;
        m.zero |= std::uint64_t{bytes[k] == '\0'} << k;
    }
    return m;
}

byte_masks classify(const char* bytes) {
#if defined(__SSE2__)
    byte_masks m;
    for (std::size_t k = 0; k < kWindow; k += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + k));
        const auto found = [&](char c) {
            const int bits = _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(c)));
            return std::uint64_t{static_cast<std::uint16_t>(bits)} << k;
        };
        m.blank |= found(' ');
        m.comma |= found(',');
        m.line_end |= found('\n');
        m.zero |= found('\0');
    }
    return m;
#else
    return classify_portable(bytes);
#endif
}

void tokenizer::load(std::size_t from) {
    window_ = from;
    masks_ = classify(text_.data() + from);
}

// Bits of a mask past the text's end stand for bytes that are not the line's; every
// step stops at the end before it trusts them.
std::string_view tokenizer::next(unsigned set) {
    for (;;) {  // skip the leading delimiters
        if (pos_ >= text_.size())
            return {};
        if (pos_ - window_ == kWindow)
            load(pos_);
        pos_ += static_cast<std::size_t>(std::countr_one(mask(set) >> (pos_ - window_)));
        if (pos_ - window_ < kWindow)
            break;
    }
    const std::size_t start = std::min(pos_, text_.size());
    for (;;) {  // find the token's end
        if (pos_ >= text_.size()) {
            pos_ = text_.size();
            return {text_.data() + start, pos_ - start};
        }
        if (pos_ - window_ == kWindow)
            load(pos_);
        const std::uint64_t ahead = mask(set) >> (pos_ - window_);
        if (ahead != 0) {
            pos_ += static_cast<std::size_t>(std::countr_zero(ahead));
            if (pos_ >= text_.size())
                continue;
            return {text_.data() + start, pos_++ - start};
        }
        pos_ = window_ + kWindow;
    }
}

std::optional<double> salary_from_text(std::string_view text) {
    // Skipped here, so that strtod, which would skip them too, starts on a character
    // that ends the number at the text's end at the latest.
    const char* first = text.data();
    const char* const last = first + text.size();
    while (first != last && (*first == ' ' || (*first >= '\t' && *first <= '\r')))
        ++first;
    if (first == last)
        return std::nullopt;
    double value = 0;
    const auto [stop, failure] = std::from_chars(first, last, value);
    // from_chars is strtod without '+', hexadecimal forms (it stops at the x of "0x")
    // and nan payloads; anything it leaves out goes to strtod.
    const bool hex = stop != last && (*stop == 'x' || *stop == 'X');
    if (failure == std::errc{} && !hex && !std::isnan(value))
        return value;
    char* end = nullptr;
    value = std::strtod(first, &end);
    return end == first ? std::nullopt : std::optional(value);
}

namespace {

// A line as the reader hands it out: its text, or none for a long line.
struct next_line {
    bool found = false;
    bool too_long = false;
    std::string_view text;
    int error = 0;  // the error number of a read error; no line then
};

// Hands out the input line by line from a buffer filled in large reads. A line's text
// ends at its first zero byte or after its line end; the tokenizer may read a window
// after any position of it, and the byte after it is a zero byte unless the text ends
// in its line end. The rest of a line after a zero byte, and the rest of a long line,
// are read past and never held: the buffer holds one longest line at most.
class line_reader {
  public:
    line_reader(std::FILE* input, std::size_t chunk_size)
        : input_(input), chunk_(std::max<std::size_t>(chunk_size, 1)),
          data_(std::make_unique_for_overwrite<char[]>(kCapacity + kWindow)) {
        std::memset(data_.get(), 0, kWindow);
    }

    next_line next();

  private:
    // A longest line and its line end, and one byte more, which tells a long line.
    static constexpr std::size_t kCapacity = kLongestLine + 2;

    next_line hand_out(std::size_t at);
    void read_more();

    std::FILE* input_;
    std::size_t chunk_;
    std::unique_ptr<char[]> data_;
    std::size_t begin_ = 0;    // start of the first line not handed out
    std::size_t scanned_ = 0;  // no line end or zero byte in [begin_, scanned_)
    std::size_t end_ = 0;      // end of the bytes read; a window of zero bytes follows
    bool skipping_ = false;    // [begin_, end_) is the rest of a line handed out
    bool at_end_ = false;
    int error_ = 0;
};

next_line line_reader::next() {
    for (;;) {
        if (skipping_) {
            const void* found = std::memchr(data_.get() + begin_, '\n', end_ - begin_);
            skipping_ = found == nullptr;
            begin_ = scanned_ = skipping_ ? end_ : static_cast<std::size_t>(static_cast<const char*>(found) - data_.get()) + 1;
        }
        for (; !skipping_ && scanned_ < end_; scanned_ += kWindow) {
            const byte_masks m = classify(data_.get() + scanned_);
            std::uint64_t stops = m.line_end | m.zero;
            if (end_ - scanned_ < kWindow)
                stops &= (std::uint64_t{1} << (end_ - scanned_)) - 1;
            if (stops == 0)
                continue;
            return hand_out(scanned_ + static_cast<std::size_t>(std::countr_zero(stops)));
        }
        scanned_ = std::min(scanned_, end_);
        // After a read error the unfinished line may be cut short: it is not converted.
        if (error_ != 0)
            return next_line{.found = false, .too_long = false, .text = {}, .error = error_};
        if (!skipping_ && (end_ - begin_ > kLongestLine || (at_end_ && begin_ != end_)))
            return hand_out(end_);
        if (at_end_)
            return {};
        read_more();
    }
}

// The line from begin_ whose text ends at at, its first line end or zero byte or the
// end of the bytes read; no text if it is longer than a longest line. Reading goes on
// after at, past the rest of the line first unless at is its line end.
next_line line_reader::hand_out(std::size_t at) {
    const bool too_long = at - begin_ > kLongestLine;
    const bool line_end = at < end_ && data_[at] == '\n';
    const std::size_t size = too_long ? 0 : at - begin_ + (line_end ? 1 : 0);
    const next_line line{.found = true, .too_long = too_long, .text = {data_.get() + begin_, size}};
    begin_ = scanned_ = at < end_ ? at + 1 : end_;
    skipping_ = !line_end && (at < end_ || too_long);
    return line;
}

// Moves the unfinished line to the front and reads after it.
void line_reader::read_more() {
    std::memmove(data_.get(), data_.get() + begin_, end_ - begin_);
    scanned_ -= begin_;
    end_ -= begin_;
    begin_ = 0;
    const std::size_t wanted = std::min(chunk_, kCapacity - end_);
    const std::size_t got = std::fread(data_.get() + end_, 1, wanted, input_);
    if (got < wanted && std::ferror(input_))
        error_ = error_of_failed_call();
    at_end_ = got < wanted && error_ == 0;
    end_ += got;
    std::memset(data_.get() + end_, 0, kWindow);
}

// Collects encoded records and writes them a block at a time. put and finish return
// 0 or the error number of the failed write.
class record_writer {
  public:
    explicit record_writer(std::FILE* output) : output_(output) {}

    int put(const staff_record& record) {
        if (used_ == sizeof block_)
            if (const int error = write_block())
                return error;
        encode_into(record, block_ + used_);
        used_ += kRecordSize;
        return 0;
    }

    // Writes what is left and flushes the stream.
    int finish() {
        if (const int error = write_block())
            return error;
        return std::fflush(output_) != 0 ? error_of_failed_call() : 0;
    }

  private:
    int write_block() {
        if (std::fwrite(block_, 1, used_, output_) != used_)
            return error_of_failed_call();
        used_ = 0;
        return 0;
    }

    std::FILE* output_;
    unsigned char block_[kRecordSize * kRecordsPerBlock];
    std::size_t used_ = 0;
};

enum class line_kind { record, not_a_number, skipped, too_few_fields, too_long };

// Kind I: text 1 to a blank, texts 2 to 5 and the salary each to a comma. Kind E:
// text 1 to a blank, text 2 and the salary to a comma, the grade to a blank or line
// end. A missing token leaves none after it, so the last one tells whether all are there.
line_kind split_line(std::string_view text, staff_record& record, std::string_view& salary) {
    tokenizer cursor(text);
    const std::string_view kind = cursor.next(kBlank | kComma);
    const char letter = kind.empty() ? '\0' : lower_kind(kind.front());
    if (letter != 'i' && letter != 'e')
        return line_kind::skipped;
    const bool is_i = letter == 'i';
    // Field by field: a whole new record is cleared with a slow string instruction.
    record.kind = kind.front();
    record.texts = {};
    for (std::size_t k = 0; k < (is_i ? 5 : 2); ++k)
        record.texts[k] = cursor.next(k == 0 ? kBlank : kComma);
    salary = cursor.next(kComma);
    const std::string_view last = is_i ? salary : cursor.next(kBlank | kLineEnd);
    if (last.empty())
        return line_kind::too_few_fields;
    const std::optional<double> value = salary_from_text(salary);
    record.salary = value.value_or(0);
    record.grade = is_i ? 0 : last.front();
    return value ? line_kind::record : line_kind::not_a_number;
}

}  // namespace

// Flattened: with the reader, the tokenizer and the writer inlined into the loop, the
// conversion takes about a tenth less time.
[[gnu::flatten]] convert_result read_write(std::FILE* input, std::FILE* output, std::FILE* messages,
                                           std::size_t chunk_size) {
    convert_result result;
    line_reader reader(input, chunk_size);
    record_writer writer(output);
    staff_record record;
    next_line line;
    int write_error = 0;
    while (write_error == 0 && (line = reader.next()).found) {
        const auto number = static_cast<std::uintmax_t>(++result.lines);
        std::string_view salary;
        switch (line.too_long ? line_kind::too_long : split_line(line.text, record, salary)) {
        case line_kind::too_long:
            ++result.long_lines;
            if (messages != nullptr)
                std::fprintf(messages, kLongLineFormat, kInputName, number);
            break;
        case line_kind::too_few_fields:
            ++result.short_lines;
            if (messages != nullptr)
                std::fprintf(messages, kShortLineFormat, kInputName, number, record.kind);
            break;
        case line_kind::not_a_number:
            // Quoted without the line end an I line's salary text may hold.
            if (messages != nullptr)
                std::fprintf(messages, kNotANumberFormat, kInputName, number,
                             static_cast<int>(salary.size() - (salary.ends_with('\n') ? 1 : 0)), salary.data());
            [[fallthrough]];
        case line_kind::record:
            write_error = writer.put(salary_rise(record));
            result.records += write_error == 0 ? 1 : 0;
            break;
        case line_kind::skipped:
            break;
        }
    }
    if (write_error == 0)
        write_error = writer.finish();
    if (line.error != 0) {
        result.failed = convert_result::failure::read;
        result.error = line.error;
    } else if (write_error != 0) {
        result.failed = convert_result::failure::write;
        result.error = write_error;
    }
    return result;
}

}  // namespace payrise
