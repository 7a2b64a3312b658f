// payrise: the raise rules, the 56-byte record encoder, and read_write, which reads the
// input in large chunks, splits each line with the mask tokenizer and writes records in blocks.
#include "payrise.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "common/coding.h"
#include "common/process.h"
#include "payrise_internal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace payrise {
namespace {

constexpr char kShortLineFormat[] = "%s: line %ju: too few fields for kind %c, no record written";
constexpr char kLongLineFormat[] = "%s: line %ju: longer than 1 MiB, no record written";
constexpr char kNotANumberFormat[] = "%s: line %ju: salary %s is not a number, read as 0";

// suite::warn's line on the stream the caller chose (none when it is null): tests and
// fuzz targets read the messages back from memory.
[[gnu::format(printf, 2, 3)]] void note(std::FILE* messages, const char* format, ...) {
    if (messages == nullptr)
        return;
    std::fprintf(messages, "%s: ", suite::program());
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(messages, format, arguments);
    va_end(arguments);
    std::fputc('\n', messages);
}

// I and i (E and e) differ in bit 5 only, and no other byte ORs to i or e.
char lower_kind(char kind) {
    return static_cast<char>(kind | 0x20);
}

// Writes all kRecordSize bytes at into.
void encode_into(const staff_record& record, unsigned char* into) {
    std::memset(into, 0, kRecordSize);
    into[kKindOffset] = static_cast<unsigned char>(record.kind);
    if (lower_kind(record.kind) == 'e') {
        suite::put_double(into + kSalaryOffsetE, record.salary);
        into[kGradeOffsetE] = static_cast<unsigned char>(record.grade);
    } else {
        suite::put_double(into + kSalaryOffsetI, record.salary);
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
    if (masks_.zero != 0)  // the text ends at its first zero byte
        text_ = text_.substr(0, std::min(text_.size(), from + static_cast<std::size_t>(std::countr_zero(masks_.zero))));
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

// A line as the reader hands it out: its text, which is not to be used for a long line.
struct next_line {
    bool found = false;
    bool too_long = false;
    std::string_view text;
    int error = 0;  // the error number of a read error; no line then
};

// Hands out the input line by line from a buffer filled in large reads. A line's text
// holds its line end, or ends at the end of the input or at a zero byte; it may hold a
// zero byte still, where the tokenizer ends it. The tokenizer may read a window after
// any position of a text, and the byte after it is a zero byte unless the text ends in
// its line end. The rest of a long line, and of a line cut at a zero byte here, is read
// past and never held: the buffer holds one longest line at most.
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

    // Where begin_ stands: at the start of a line, or inside the line handed out last,
    // whose text must stay in place until the next call.
    enum class place { line_start, inside_line };
    // What the input can still give: more bytes, nothing more, or nothing after an error.
    enum class input { open, ended, failed };

    bool read_past_line();
    next_line cut_line(std::size_t size, bool has_line_end);
    void fill();
    next_line no_line() const { return {.found = false, .too_long = false, .text = {}, .error = error_}; }

    std::FILE* input_;
    std::size_t chunk_;
    std::unique_ptr<char[]> data_;
    std::size_t begin_ = 0;  // start of the bytes not handed out or read past
    std::size_t end_ = 0;    // end of the bytes read; a window of zero bytes follows
    place place_ = place::line_start;
    input input_state_ = input::open;
    int error_ = 0;          // input::failed: the read's error number
};

next_line line_reader::next() {
    if (place_ == place::inside_line && !read_past_line())
        return no_line();
    for (;;) {
        const char* const begin = data_.get() + begin_;
        const auto* line_end = static_cast<const char*>(std::memchr(begin, '\n', end_ - begin_));
        const std::size_t size = line_end != nullptr ? static_cast<std::size_t>(line_end - begin) : end_ - begin_;
        if (line_end != nullptr && size <= kLongestLine) {
            begin_ += size + 1;
            return {.found = true, .too_long = false, .text = {begin, size + 1}};
        }
        if (line_end != nullptr || size > kLongestLine || input_state_ != input::open)
            return cut_line(size, line_end != nullptr);
        fill();
    }
}

// Past the rest of the line handed out last, to the start of the next; false when the
// input ends first.
bool line_reader::read_past_line() {
    for (;;) {
        const char* const begin = data_.get() + begin_;
        if (const void* line_end = std::memchr(begin, '\n', end_ - begin_)) {
            begin_ += static_cast<std::size_t>(static_cast<const char*>(line_end) - begin) + 1;
            place_ = place::line_start;
            return true;
        }
        begin_ = end_;
        if (input_state_ != input::open)
            return false;
        fill();
    }
}

// The line at begin_ when no whole line of a text's size is there: a line cut at a zero
// byte, a long one, or the last one, which has no line end. An unfinished line is not
// converted after a read error: it may be cut short.
next_line line_reader::cut_line(std::size_t size, bool has_line_end) {
    const char* const begin = data_.get() + begin_;
    const auto* zero = static_cast<const char*>(std::memchr(begin, 0, std::min(size, kLongestLine + 1)));
    if (zero == nullptr && !has_line_end && (input_state_ == input::failed || size == 0))
        return no_line();
    const bool too_long = zero == nullptr && size > kLongestLine;
    if (zero != nullptr || too_long)
        place_ = place::inside_line;
    else
        begin_ = end_;
    return {.found = true, .too_long = too_long, .text = {begin, zero != nullptr ? static_cast<std::size_t>(zero - begin) : size}};
}

// Moves the unfinished line to the front and reads more after it.
void line_reader::fill() {
    std::memmove(data_.get(), data_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    const std::size_t wanted = std::min(chunk_, kCapacity - end_);
    const std::size_t got = std::fread(data_.get() + end_, 1, wanted, input_);
    if (got < wanted && std::ferror(input_)) {
        input_state_ = input::failed;
        error_ = suite::last_error();
    } else if (got < wanted) {
        input_state_ = input::ended;
    }
    end_ += got;
    std::memset(data_.get() + end_, 0, kWindow);
}

}  // namespace

convert_result read_write(std::FILE* input, std::FILE* output, std::FILE* messages, std::size_t chunk_size) {
    convert_result result;
    line_reader reader(input, chunk_size);
    const auto block = std::make_unique_for_overwrite<unsigned char[]>(kRecordSize * kRecordsPerBlock);
    std::size_t used = 0;  // records in the block
    const auto write_block = [&] {
        const bool written = std::fwrite(block.get(), kRecordSize, used, output) == used;
        used = 0;
        return written ? 0 : suite::last_error();
    };
    next_line line;
    int write_error = 0;
    while ((line = reader.next()).found) {
        const auto number = static_cast<std::uintmax_t>(++result.lines);
        if (line.too_long) {
            note(messages, kLongLineFormat, kInputName, number);
            continue;
        }
        // Kind I: text 1 to a blank, texts 2 to 5 and the salary each to a comma. Kind E:
        // text 1 to a blank, text 2 and the salary to a comma, the grade to a blank or
        // line end. A missing token leaves none after it, so the last one tells whether
        // all are there.
        tokenizer cursor(line.text);
        const std::string_view kind = cursor.next(kBlank | kComma);
        const char letter = kind.empty() ? '\0' : lower_kind(kind.front());
        if (letter != 'i' && letter != 'e')
            continue;
        for (std::size_t k = 0; k < (letter == 'i' ? 5 : 2); ++k)
            cursor.next(k == 0 ? kBlank : kComma);
        const std::string_view salary = cursor.next(kComma);
        const std::string_view last = letter == 'i' ? salary : cursor.next(kBlank | kLineEnd);
        if (last.empty()) {
            note(messages, kShortLineFormat, kInputName, number, kind.front());
            continue;
        }
        const std::optional<double> value = salary_from_text(salary);
        // Quoted without the line end an I line's salary text may hold.
        if (!value)
            note(messages, kNotANumberFormat, kInputName, number,
                 suite::quote_argument(salary.substr(0, salary.size() - (salary.ends_with('\n') ? 1 : 0))).c_str());
        if (used == kRecordsPerBlock && (write_error = write_block()) != 0)
            break;
        const staff_record record{.kind = kind.front(), .salary = value.value_or(0), .grade = letter == 'e' ? last.front() : '\0'};
        encode_into(salary_rise(record), block.get() + kRecordSize * used++);
        ++result.records;
    }
    if (write_error == 0 && (write_error = write_block()) == 0 && std::fflush(output) != 0)
        write_error = suite::last_error();
    using failure = convert_result::failure;
    result.failed = line.error != 0 ? failure::read : write_error != 0 ? failure::write : failure::none;
    result.error = line.error != 0 ? line.error : write_error;
    return result;
}

}  // namespace payrise
