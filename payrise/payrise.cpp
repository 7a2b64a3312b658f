// payrise: the raise rules, the 56-byte record encoder, and read_write, which reads the
// input in large chunks, converts the usual line in one pass and any other with the
// tokenizer, and writes records in blocks.
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

#include "common/chars.h"
#include "common/coding.h"
#include "common/process.h"
#include "payrise_internal.h"

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

namespace {

constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// A decimal without a sign as salaries are written: at most 15 digits, some of them
// perhaps after a point. They make an integer m below 10^15 < 2^53 and a k of at most 15
// such that the number is m / 10^k: both are exact doubles, so the one division rounds
// as strtod does (Clinger's fast path). The position after the number, or null for any
// other text; the caller decides whether the byte there ends the number.
const char* exact_decimal(const char* at, double& value) {
    std::uint64_t m = 0;  // wraps past 19 digits, which are refused anyway
    const char* const first = at;
    for (; suite::is_c_digit(*at); ++at)
        m = m * 10 + static_cast<unsigned>(*at - '0');
    std::ptrdiff_t digits = at - first;
    std::ptrdiff_t after_point = 0;
    if (*at == '.') {
        const char* const fraction = ++at;
        for (; suite::is_c_digit(*at); ++at)
            m = m * 10 + static_cast<unsigned>(*at - '0');
        after_point = at - fraction;
        digits += after_point;
    }
    if (digits == 0 || digits > 15)
        return nullptr;
    value = static_cast<double>(m) / kPowersOfTen[after_point];
    return at;
}

}  // namespace

// Splits as strtok does; a zero byte ends the text where it stands.
std::string_view tokenizer::next(unsigned set) {
    const auto is_delimiter = [set](char c) {
        return ((set & kBlank) != 0 && c == ' ') || ((set & kComma) != 0 && c == ',') ||
               ((set & kLineEnd) != 0 && c == '\n');
    };
    while (at_ != end_ && is_delimiter(*at_))
        ++at_;
    const char* const start = at_;
    while (at_ != end_ && *at_ != '\0' && !is_delimiter(*at_))
        ++at_;
    const std::string_view token(start, static_cast<std::size_t>(at_ - start));
    if (at_ == end_ || *at_ == '\0')
        end_ = at_;
    else
        ++at_;
    return token;
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
    // The fast path; an exponent or a hexadecimal form would go on after its number.
    const bool negative = *first == '-';
    double value = 0;
    const char* const number_end = exact_decimal(first + (*first == '-' || *first == '+' ? 1 : 0), value);
    if (number_end != nullptr && number_end <= last &&
        (number_end == last || (*number_end != '.' && *number_end != 'e' && *number_end != 'E' &&
                                *number_end != 'x' && *number_end != 'X')))
        return negative ? -value : value;
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

// The bytes an I line's texts 2 to 5 are looked for in at once.
constexpr std::size_t kCommaWindow = 40;
static_assert(kCommaWindow % 8 == 0 && kCommaWindow <= 64);

// How many zero bytes the line reader keeps after the bytes it has read: the fast path
// reads words, and a window of them, from any byte up to the first zero byte.
constexpr std::size_t kWindow = kCommaWindow;

// A line as the reader hands it out: its text, which is not to be used for a long line.
struct next_line {
    bool found = false;
    bool too_long = false;
    std::string_view text;
    int error = 0;  // the error number of a read error; no line then
};

// Hands out the input line by line from a buffer filled in large reads. A line's text
// holds its line end, or ends at the end of the input or at a zero byte; it may hold a
// zero byte still, where the tokenizer ends it. The byte after a text is a zero byte
// unless the text ends in its line end. The rest of a long line, and of a line cut at a
// zero byte here, is read past and never held: the buffer holds one longest line at most.
class line_reader {
  public:
    line_reader(std::FILE* input, std::size_t chunk_size)
        : input_(input), chunk_(std::max<std::size_t>(chunk_size, 1)),
          data_(std::make_unique_for_overwrite<char[]>(kCapacity + kWindow)) {
        std::memset(data_.get(), 0, kWindow);
    }

    next_line next();

    // The bytes read and not handed out yet, when they start a line, else none; a read
    // is made first when fewer than kAhead are left. kWindow zero bytes follow them.
    std::string_view ahead() {
        if (place_ != place::line_start)
            return {};
        if (end_ - begin_ < kAhead && input_state_ == input::open)
            fill();
        return {data_.get() + begin_, end_ - begin_};
    }
    // Hands out the first `size` bytes of ahead(), which end a line.
    void take(std::size_t size) { begin_ += size; }

  private:
    static constexpr std::size_t kAhead = 4096;
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

constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHighBits = kOnes << 7;

// The high bit of the first byte of `word` (the first one lowest) that is below `limit`,
// which is at most 0x80; a borrow can mark a byte equal to `limit` right after a byte
// marked. Eight bytes are compared in one subtraction.
std::uint64_t first_below(std::uint64_t word, unsigned char limit) {
    return (word - kOnes * limit) & ~word & kHighBits;
}

// The same for the first byte that is a comma or below `limit`; a borrow can mark a '-'
// too. The two subtractions borrow apart, and a byte with its high bit set is neither,
// so one mask serves both.
std::uint64_t first_comma_or_below(std::uint64_t word, unsigned char limit) {
    return (((word ^ (kOnes * ',')) - kOnes) | (word - kOnes * limit)) & ~word & kHighBits;
}

// The first byte from `at` that is a delimiter of `Set` or a control byte (below a
// blank), eight bytes at a time. One always comes: the buffer's bytes end in zero bytes.
template <unsigned Set>
const char* token_end(const char* at) {
    // A blank follows the control bytes: one subtraction finds either.
    constexpr unsigned char kBelow = (Set & kBlank) != 0 ? ' ' + 1 : ' ';
    for (;; at += 8) {
        const std::uint64_t word = suite::get_fixed64(reinterpret_cast<const unsigned char*>(at));
        const std::uint64_t found =
            (Set & kComma) != 0 ? first_comma_or_below(word, kBelow) : first_below(word, kBelow);
        if (found != 0)
            return at + static_cast<unsigned>(std::countr_zero(found)) / 8;
    }
}

// The comma that ends text 5 of an I line, found with texts 2 to 5 in one window from
// `text`, the start of text 2: the masks of the window's words do not wait for one
// another, where a search per text waits for the one before. Null unless the four
// commas lie in the window, each after a text that is not empty, with no control byte
// before them; the plain search then looks again.
const char* fourth_comma(const char* text) {
    // Bit k: byte k may end a text, a comma or a control byte; a borrow may mark a '-' or
    // a blank right after one too, so the first four bits are true ones unless a control
    // byte or an empty text comes first, which the checks below refuse.
    std::uint64_t ends = 0;
    for (std::size_t word = 0; word < kCommaWindow / 8; ++word) {
        const std::uint64_t w = suite::get_fixed64(reinterpret_cast<const unsigned char*>(text + 8 * word));
        // One multiplication gathers the eight high bits, the first lowest, into the top byte.
        ends |= ((first_comma_or_below(w, ' ') * 0x0002040810204081) >> 56) << (8 * word);
    }
    const std::uint64_t all = ends;
    unsigned end[4];
    for (unsigned& e : end) {
        e = static_cast<unsigned>(std::countr_zero(ends));
        ends &= ends - 1;
    }
    // A text is empty where an end follows another, or starts the window.
    const std::uint64_t four = all ^ ends;
    if (end[3] >= kCommaWindow || (four & ((four << 1) | 1)) != 0 ||
        ((text[end[0]] ^ ',') | (text[end[1]] ^ ',') | (text[end[2]] ^ ',') | (text[end[3]] ^ ',')) != 0)
        return nullptr;
    return text + end[3];
}

// A line of kind I or E as nearly every line is, converted in one pass over its bytes,
// where the plain path finds the line end first and then splits the line: each token
// right after one delimiter, no control byte (one below a blank: a tab, a zero byte)
// before the line end, a salary that exact_decimal reads, which ends the line (kind I)
// or is followed by a comma and a one-byte grade that does (kind E). The line's size
// with its line end, and its record; 0 for any other line, which the plain path takes.
// Reads at most kWindow bytes past the first zero byte from `line`.
std::size_t convert_usual_line(const char* line, staff_record& record) {
    const char letter = lower_kind(line[0]);
    if (letter != 'i' && letter != 'e')
        return 0;
    // The rest of the kind token, which is one letter nearly always, text 1 to a blank,
    // then text 2 (kind I: texts 2 to 5) each to a comma; none of them empty.
    const char* end = line[1] == ' ' ? line + 1 : token_end<kBlank | kComma>(line + 1);
    if (*end != ' ' && *end != ',')
        return 0;
    const char* at = end + 1;
    end = token_end<kBlank>(at);
    if (end == at || *end != ' ')
        return 0;
    if (const char* comma = letter == 'i' ? fourth_comma(end + 1) : nullptr) {
        end = comma;
    } else {
        for (int k = letter == 'i' ? 4 : 1; k > 0; --k) {
            at = end + 1;
            end = token_end<kComma>(at);
            if (end == at || *end != ',')
                return 0;
        }
    }
    double salary = 0;
    at = exact_decimal(end + 1, salary);
    if (at == nullptr)
        return 0;
    char grade = '\0';
    if (letter == 'e') {
        if (*at != ',' || static_cast<unsigned char>(at[1]) <= ' ')
            return 0;
        grade = at[1];
        at += 2;
    }
    if (*at != '\n' || static_cast<std::size_t>(at - line) > kLongestLine)
        return 0;
    record = {.kind = line[0], .salary = salary, .grade = grade};
    return static_cast<std::size_t>(at - line) + 1;
}

// A line from the plain path, split with the tokenizer: false when it gives no record,
// with a message for a long line or a missing field.
bool convert_line(const next_line& line, std::uintmax_t number, std::FILE* messages, staff_record& record) {
    if (line.too_long) {
        note(messages, kLongLineFormat, kInputName, number);
        return false;
    }
    // Kind I: text 1 to a blank, texts 2 to 5 and the salary each to a comma. Kind E:
    // text 1 to a blank, text 2 and the salary to a comma, the grade to a blank or
    // line end. A missing token leaves none after it, so the last one tells whether
    // all are there.
    tokenizer cursor(line.text);
    const std::string_view kind = cursor.next(kBlank | kComma);
    const char letter = kind.empty() ? '\0' : lower_kind(kind.front());
    if (letter != 'i' && letter != 'e')
        return false;
    cursor.next(kBlank);
    for (int k = 0; k < (letter == 'i' ? 4 : 1); ++k)
        cursor.next(kComma);
    const std::string_view salary = cursor.next(kComma);
    const std::string_view last = letter == 'i' ? salary : cursor.next(kBlank | kLineEnd);
    if (last.empty()) {
        note(messages, kShortLineFormat, kInputName, number, kind.front());
        return false;
    }
    const std::optional<double> value = salary_from_text(salary);
    // Quoted without the line end an I line's salary text may hold.
    if (!value)
        note(messages, kNotANumberFormat, kInputName, number,
             suite::quote_argument(salary.substr(0, salary.size() - (salary.ends_with('\n') ? 1 : 0))).c_str());
    record = {.kind = kind.front(), .salary = value.value_or(0), .grade = letter == 'e' ? last.front() : '\0'};
    return true;
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
    for (;;) {
        staff_record record;
        const std::string_view ahead = reader.ahead();
        if (const std::size_t size = ahead.empty() ? 0 : convert_usual_line(ahead.data(), record)) {
            reader.take(size);
            ++result.lines;
        } else if (!(line = reader.next()).found) {
            break;
        } else if (!convert_line(line, ++result.lines, messages, record)) {
            continue;
        }
        if (used == kRecordsPerBlock && (write_error = write_block()) != 0)
            break;
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
