// payrise: the staff-line tokenizer, the raise rules, the 56-byte record encoder and
// read_write, which streams the input in fixed-size chunks and writes records in blocks.
#include "payrise.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace payrise {
namespace {

constexpr delimiter_set kKindDelimiters{.blank = true, .comma = true};
constexpr delimiter_set kBlank{.blank = true};
constexpr delimiter_set kComma{.comma = true};
constexpr delimiter_set kGradeDelimiters{.blank = true, .line_end = true};

constexpr char kShortLineFormat[] = "payrise: %s: line %ju: too few fields for kind %c, no record written\n";

// I and i (E and e) differ in bit 5 only, and no other byte ORs to i or e: one
// compare, not a branch on a case the input mixes freely.
char lower_kind(char kind) {
    return static_cast<char>(kind | 0x20);
}

bool is_kind_e(char kind) {
    return lower_kind(kind) == 'e';
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
    if (is_kind_e(record.kind)) {
        put_double(into + kSalaryOffsetE, record.salary);
        into[kGradeOffsetE] = static_cast<unsigned char>(record.grade);
    } else {
        put_double(into + kSalaryOffsetI, record.salary);
    }
}

// The raise in per cent of grades a, b and c, and none for the others.
constexpr double kGradePercents[] = {17.5, 12, 9, 0};

// A table and a select, not a switch: grades come in no order a branch could learn.
double raised_by_grade(double s, char grade) {
    const auto index = std::min<unsigned>(static_cast<unsigned char>(grade) - 'a', 3);
    const double raised = s + (kGradePercents[index] * s) / 100;
    const auto bits = index < 3 ? std::bit_cast<std::uint64_t>(raised) : std::bit_cast<std::uint64_t>(s);
    return std::bit_cast<double>(bits);
}

// strtod wants a terminated text; a token is a view into the middle of a line.
double strtod_of_copy(std::string_view text) {
    char small[128];
    if (text.size() < sizeof small) {
        std::memcpy(small, text.data(), text.size());
        small[text.size()] = '\0';
        return std::strtod(small, nullptr);
    }
    const std::string copy(text);
    return std::strtod(copy.c_str(), nullptr);
}

// The common salary shape: [-]digits[.digits] with at most 19 digits, not followed
// by an exponent or the x of a hexadecimal form. When the digits as an integer are
// at most 2^53, they and the power of ten are exact doubles, so one division gives
// the correctly rounded quotient, as strtod rounds.
constexpr int kMostDigits = 19;
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                        1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19};
static_assert(std::size(kExactPowersOfTen) == kMostDigits + 1);

std::optional<double> exact_decimal(std::string_view text) {
    const char* p = text.data();
    const char* const last = p + text.size();
    const bool negative = p != last && *p == '-';
    p += negative ? 1 : 0;
    std::uint64_t digits = 0;
    int count = 0;
    int fraction = 0;
    for (; p != last && *p >= '0' && *p <= '9'; ++p, ++count)
        digits = digits * 10 + static_cast<unsigned>(*p - '0');
    if (p != last && *p == '.') {
        for (++p; p != last && *p >= '0' && *p <= '9'; ++p, ++count, ++fraction)
            digits = digits * 10 + static_cast<unsigned>(*p - '0');
    }
    const bool extended = p != last && (*p == 'e' || *p == 'E' || *p == 'x' || *p == 'X');
    if (count == 0 || count > kMostDigits || extended || digits > (std::uint64_t{1} << 53))
        return std::nullopt;
    const double value = static_cast<double>(digits) / kExactPowersOfTen[fraction];
    return negative ? -value : value;
}

constexpr std::uint64_t kEachByte = 0x0101010101010101;

// The value of 8 digit bytes, the first the most significant; zero bytes count as 0.
std::uint64_t value_of_eight_digits(std::uint64_t chars) {
    chars = ((chars & 0x0F0F0F0F0F0F0F0F) * 2561) >> 8;
    chars = ((chars & 0x00FF00FF00FF00FF) * 6553601) >> 16;
    return ((chars & 0x0000FFFF0000FFFF) * 42949672960001) >> 32;
}

}  // namespace

// All 8 bytes are tested at once, so the run's length costs no branch per digit.
// A carry out of a byte from 0xFA up only disturbs bytes after that non-digit.
digit_run leading_digits(const char* p, std::size_t size) {
    std::uint64_t chars;
    std::memcpy(&chars, p, sizeof chars);
    const std::uint64_t high = (chars & (0xF0 * kEachByte)) ^ (0x30 * kEachByte);
    const std::uint64_t low = ((chars + 0x06 * kEachByte) & (0xF0 * kEachByte)) ^ (0x30 * kEachByte);
    const std::uint64_t other = high | low;  // non-zero in the bytes that are no digit
    std::uint64_t stops = (((other & (0x7F * kEachByte)) + 0x7F * kEachByte) | other) & (0x80 * kEachByte);
    if (size < sizeof chars)
        stops |= (0x80 * kEachByte) << (8 * size);  // bytes past the text stop the run too
    digit_run run;
    run.count = stops == 0 ? 8 : std::countr_zero(stops) / 8;
    // Shifted so that the digits end at the top byte, the bytes below being zero.
    const std::uint64_t digits = run.count == 0 ? 0 : chars << (8 * (8 - run.count));
    run.value = value_of_eight_digits(digits);
    return run;
}

namespace {

constexpr std::uint64_t kPowersOfTen[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

// exact_decimal for a text followed by at least 8 readable bytes, reading up to 7 digits
// on each side of the point without a loop; longer runs go to exact_decimal.
std::optional<double> exact_decimal_padded(std::string_view text) {
    if constexpr (std::endian::native != std::endian::little)
        return exact_decimal(text);
    const char* p = text.data();
    std::size_t left = text.size();
    const bool negative = left != 0 && *p == '-';
    p += negative ? 1 : 0;
    left -= negative ? 1 : 0;
    const digit_run whole = leading_digits(p, left);
    if (whole.count == 8)
        return exact_decimal(text);
    p += whole.count;
    left -= static_cast<std::size_t>(whole.count);
    digit_run part;
    if (left != 0 && *p == '.') {
        part = leading_digits(p + 1, left - 1);
        if (part.count == 8)
            return exact_decimal(text);
        p += 1 + part.count;
        left -= 1 + static_cast<std::size_t>(part.count);
    }
    const bool extended = left != 0 && (*p == 'e' || *p == 'E' || *p == 'x' || *p == 'X');
    if (whole.count + part.count == 0 || extended)
        return std::nullopt;
    // At most 14 digits: far below 2^53, so exact.
    const std::uint64_t digits = whole.value * kPowersOfTen[part.count] + part.value;
    const double value = static_cast<double>(digits) / kExactPowersOfTen[part.count];
    return negative ? -value : value;
}

bool take(tokenizer& cursor, delimiter_set delimiters, std::string_view& into) {
    into = cursor.next(delimiters);
    return !into.empty();
}

// A line split into a record whose salary text is not read yet: read_write splits
// a batch of lines before it reads their salaries, so that the long chains of
// multiplications and divisions of several lines overlap instead of stalling.
struct split_line_state {
    line_kind kind = line_kind::skipped;
    staff_record record;
    std::string_view salary;
    std::size_t readable_after = 0;  // bytes after the salary text that may be read
};

// Text 1 to a blank, texts 2 to 5 and the salary each to a comma.
line_kind split_kind_i(tokenizer& cursor, split_line_state& line) {
    bool complete = take(cursor, kBlank, line.record.texts[0]);
    for (std::size_t k = 1; complete && k < line.record.texts.size(); ++k)
        complete = take(cursor, kComma, line.record.texts[k]);
    if (!complete || !take(cursor, kComma, line.salary))
        return line_kind::too_few_fields;
    line.readable_after = cursor.readable_after(line.salary);
    return line_kind::record;
}

// Text 1 to a blank, text 2 and the salary to a comma, the grade to a blank or line end.
line_kind split_kind_e(tokenizer& cursor, split_line_state& line) {
    std::string_view grade;
    if (!take(cursor, kBlank, line.record.texts[0]) || !take(cursor, kComma, line.record.texts[1]) ||
        !take(cursor, kComma, line.salary) || !take(cursor, kGradeDelimiters, grade))
        return line_kind::too_few_fields;
    line.readable_after = cursor.readable_after(line.salary);
    line.record.grade = grade.front();
    return line_kind::record;
}

// Hands out the input line by line from a buffer filled in large reads. Lines stay
// where they were read; only an unfinished line at the end of the buffer moves.
class line_reader {
  public:
    line_reader(std::FILE* input, std::size_t chunk_size)
        : input_(input), buffer_((chunk_size < 2 ? 2 : chunk_size) + kSpare) {}

    // The next line with its line end (the last line may have none); nullopt at the
    // end of the input or after a read error.
    std::optional<std::string_view> next();
    int error() const { return error_; }

    // The bytes read and not handed out yet, and a way to hand out a line found in them.
    std::string_view unread() const { return {buffer_.data() + begin_, end_ - begin_}; }
    void skip(std::size_t line_size) { begin_ = scanned_ = begin_ + line_size; }

    // The buffer ends in spare bytes that are never filled, so the tokenizer may
    // look at a whole window after any line.
    static constexpr std::size_t kSpare = tokenizer::kWindow;

  private:
    void fill();
    std::size_t capacity() const { return buffer_.size() - kSpare; }

    std::FILE* input_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;    // start of the first line not handed out
    std::size_t scanned_ = 0;  // no line end in [begin_, scanned_)
    std::size_t end_ = 0;      // end of the bytes read
    bool at_end_ = false;
    int error_ = 0;
};

std::optional<std::string_view> line_reader::next() {
    for (;;) {
        const char* data = buffer_.data();
        const void* found = std::memchr(data + scanned_, '\n', end_ - scanned_);
        if (found != nullptr) {
            const std::size_t stop = static_cast<std::size_t>(static_cast<const char*>(found) - data) + 1;
            const std::string_view line(data + begin_, stop - begin_);
            begin_ = scanned_ = stop;
            return line;
        }
        scanned_ = end_;
        // After a read error the unfinished line may be cut short: it is not converted.
        if (error_ != 0)
            return std::nullopt;
        if (at_end_) {
            if (begin_ == end_)
                return std::nullopt;
            const std::string_view last(data + begin_, end_ - begin_);
            begin_ = scanned_ = end_;
            return last;
        }
        fill();
    }
}

void line_reader::fill() {
    const std::size_t pending = end_ - begin_;
    std::memmove(buffer_.data(), buffer_.data() + begin_, pending);
    scanned_ -= begin_;
    end_ = pending;
    begin_ = 0;
    // Doubling for a long line keeps every read at least half a buffer.
    if (capacity() - end_ < capacity() / 2)
        buffer_.resize(capacity() * 2 + kSpare);
    const std::size_t wanted = capacity() - end_;
    errno = 0;
    const std::size_t got = std::fread(buffer_.data() + end_, 1, wanted, input_);
    end_ += got;
    if (got < wanted) {
        if (std::ferror(input_))
            error_ = errno != 0 ? errno : EIO;
        else
            at_end_ = true;
    }
}

// Collects encoded records and writes them a block at a time.
class record_writer {
  public:
    explicit record_writer(std::FILE* output) : output_(output) {}

    bool put(const staff_record& record) {
        if (used_ == buffer_.size() && !write_block())
            return false;
        // Encoded in place: a record built apart and copied stalls on its overlapping stores.
        encode_into(record, buffer_.data() + used_);
        used_ += kRecordSize;
        return true;
    }

    // Writes what is left and flushes the stream.
    bool finish() {
        if (!write_block())
            return false;
        errno = 0;
        if (std::fflush(output_) != 0) {
            error_ = errno != 0 ? errno : EIO;
            return false;
        }
        return true;
    }

    int error() const { return error_; }

  private:
    bool write_block() {
        errno = 0;
        const std::size_t written = std::fwrite(buffer_.data(), 1, used_, output_);
        if (written != used_) {
            error_ = errno != 0 ? errno : EIO;
            return false;
        }
        used_ = 0;
        return true;
    }

    std::FILE* output_;
    std::array<unsigned char, kRecordSize * kRecordsPerBlock> buffer_;
    std::size_t used_ = 0;
    int error_ = 0;
};

}  // namespace

record_bytes encode_staff_record(const staff_record& record) {
    record_bytes bytes;
    encode_into(record, bytes.data());
    return bytes;
}

staff_record salary_rise(staff_record record) {
    const double s = record.salary;
    switch (lower_kind(record.kind)) {
    case 'i': {
        // Half the salary rises by 5 per cent, the other half by 5.3.
        const double a = s + ((s / 2) * 5) / 100;
        record.salary = a + ((s / 2) * 5.3) / 100;
        break;
    }
    case 'e':
        record.salary = raised_by_grade(s, record.grade);
        break;
    default:
        break;
    }
    return record;
}

tokenizer::tokenizer(std::string_view line, std::size_t readable_after)
    : line_(line.data()), size_(line.size()), end_(line.size()), readable_end_(line.size() + readable_after) {
    load_window(0);
}

std::size_t tokenizer::first_line_size() const {
    std::uint64_t ends = line_end_;
    if (size_ < kWindow)
        ends &= (std::uint64_t{1} << size_) - 1;
    return ends == 0 ? 0 : static_cast<std::size_t>(std::countr_zero(ends)) + 1;
}

void tokenizer::end_text_at(std::size_t size) {
    size_ = std::min(size_, size);
    end_ = std::min(end_, size);
}

// Masks of the next 64 bytes of the line. Bits past the end of the text may be set
// by whatever follows the line; every step of next() stops at end_ before them.
void tokenizer::load_window(std::size_t from) {
    const std::size_t size = std::min(kWindow, end_ - from);
    alignas(16) unsigned char copy[kWindow];
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(line_) + from;
    if (from + kWindow > readable_end_) {
        std::memset(copy, 0, sizeof copy);
        if (size != 0)
            std::memcpy(copy, bytes, size);
        bytes = copy;
    }
    blank_ = comma_ = line_end_ = 0;
    std::uint64_t zero = 0;
    // Always the whole window, which is readable by now: a loop that stops at the
    // line's end mispredicts its exit on lines of varying length.
#if defined(__SSE2__)
    for (std::size_t k = 0; k < kWindow; k += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + k));
        const auto mask = [&](char c) {
            const int found = _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(c)));
            return std::uint64_t{static_cast<std::uint16_t>(found)} << k;
        };
        blank_ |= mask(' ');
        comma_ |= mask(',');
        line_end_ |= mask('\n');
        zero |= mask('\0');
    }
#else
    for (std::size_t k = 0; k < kWindow; ++k) {
        blank_ |= std::uint64_t{bytes[k] == ' '} << k;
        comma_ |= std::uint64_t{bytes[k] == ','} << k;
        line_end_ |= std::uint64_t{bytes[k] == '\n'} << k;
        zero |= std::uint64_t{bytes[k] == '\0'} << k;
    }
#endif
    if (zero != 0)
        end_ = std::min(end_, from + static_cast<std::size_t>(std::countr_zero(zero)));
    window_ = from;
}

std::uint64_t tokenizer::mask_of(delimiter_set delimiters) const {
    return (delimiters.blank ? blank_ : 0) | (delimiters.comma ? comma_ : 0) |
           (delimiters.line_end ? line_end_ : 0);
}

// next() for a text that ends within the first window, as most lines do: no window
// is loaded, so the token's bounds are found without a loop. The end of the text
// stops a token like a delimiter, but is not consumed.
std::string_view tokenizer::next_in_first_window(std::uint64_t delimiters) {
    const std::size_t skipped = pos_ + static_cast<std::size_t>(std::countr_one(delimiters >> pos_));
    const std::size_t start = std::min(skipped, end_);
    const std::uint64_t stops = (delimiters | std::uint64_t{1} << end_) >> start;
    const std::size_t stop = start + static_cast<std::size_t>(std::countr_zero(stops));
    pos_ = stop + (stop < end_ ? 1 : 0);
    return std::string_view(line_ + start, stop - start);
}

std::string_view tokenizer::next(delimiter_set delimiters) {
    if (end_ < kWindow)
        return next_in_first_window(mask_of(delimiters));
    // Skip the leading delimiters; a zero byte or the line's end is none.
    for (;;) {
        if (pos_ >= end_) {
            pos_ = end_;
            return {};
        }
        if (pos_ - window_ == kWindow)
            load_window(pos_);
        const std::size_t k = pos_ - window_;
        pos_ += static_cast<std::size_t>(std::countr_one(mask_of(delimiters) >> k));
        if (pos_ - window_ < kWindow)
            break;
    }
    if (pos_ >= end_) {
        pos_ = end_;
        return {};
    }
    const std::size_t start = pos_;
    for (;;) {
        const std::size_t k = pos_ - window_;
        const std::uint64_t ahead = mask_of(delimiters) >> k;
        pos_ += ahead == 0 ? kWindow - k : static_cast<std::size_t>(std::countr_zero(ahead));
        if (pos_ >= end_) {
            pos_ = end_;
            return std::string_view(line_ + start, end_ - start);
        }
        if (pos_ - window_ < kWindow)
            return std::string_view(line_ + start, pos_++ - start);
        load_window(pos_);
    }
}

double salary_from_text(std::string_view text, std::size_t readable_after) {
    const auto exact = readable_after >= 8 ? exact_decimal_padded(text) : exact_decimal(text);
    if (const auto value = exact)
        return *value;
    const char* first = text.data();
    const char* last = first + text.size();
    double value = 0;
    const auto [stop, failure] = std::from_chars(first, last, value);
    // from_chars is strtod without leading blanks, '+', hexadecimal forms (it stops at
    // the x of "0x") and nan payloads; anything it leaves out goes to strtod.
    const bool hex = stop != last && (*stop == 'x' || *stop == 'X');
    if (failure == std::errc{} && !hex && !std::isnan(value))
        return value;
    return strtod_of_copy(text);
}

namespace {

// Splits the line a fresh tokenizer stands at; the salary is left to read_salary.
line_kind split_tokens(tokenizer& cursor, split_line_state& line) {
    const std::string_view kind = cursor.next(kKindDelimiters);
    if (kind.empty())
        return line_kind::skipped;
    // Field by field: a whole new record is cleared with a slow string instruction.
    staff_record& record = line.record;
    record.kind = kind.front();
    record.texts = {};
    record.salary = 0;
    record.grade = 0;
    switch (lower_kind(record.kind)) {
    case 'i':
        return split_kind_i(cursor, line);
    case 'e':
        return split_kind_e(cursor, line);
    default:
        return line_kind::skipped;
    }
}

void split_with_tokenizer(tokenizer& cursor, split_line_state& line) {
    line.kind = split_tokens(cursor, line);
}

void read_salary(split_line_state& line) {
    if (line.kind == line_kind::record)
        line.record.salary = salary_from_text(line.salary, line.readable_after);
}

// Lines split before their salaries are read; more gained nothing measurable.
constexpr std::size_t kBatch = 16;

}  // namespace

[[gnu::flatten]] line_kind split_line(std::string_view line, staff_record& record,
                                      std::size_t readable_after) {
    tokenizer cursor(line, readable_after);
    split_line_state state;
    state.record = record;  // a line without tokens leaves it as it was
    split_with_tokenizer(cursor, state);
    read_salary(state);
    record = state.record;
    return state.kind;
}

// Flattened, so that the record passed to salary_rise by value is not copied.
[[gnu::flatten]] convert_result read_write(std::FILE* input, std::FILE* output, std::FILE* messages,
                                           std::size_t chunk_size) {
    convert_result result;
    line_reader reader(input, chunk_size);
    record_writer writer(output);
    bool writing = true;
    std::array<split_line_state, kBatch> batch;
    while (writing) {
        // Most lines end within the window the tokenizer masks anyway, so it finds
        // their end; a batch takes such lines only, as they stay where they were read.
        std::size_t count = 0;
        while (count < kBatch) {
            tokenizer cursor(reader.unread(), line_reader::kSpare);
            const std::size_t size = cursor.first_line_size();
            if (size == 0)
                break;
            reader.skip(size);
            cursor.end_text_at(size);
            split_with_tokenizer(cursor, batch[count++]);
        }
        // A longer line, or one that runs past what was read, goes the long way alone.
        if (count == 0) {
            const auto line = reader.next();
            if (!line)
                break;
            tokenizer cursor(*line, line_reader::kSpare);
            split_with_tokenizer(cursor, batch[count++]);
        }
        // In line order, stopping at a write error as a line-by-line loop would.
        for (std::size_t k = 0; k < count && writing; ++k) {
            split_line_state& line = batch[k];
            read_salary(line);
            ++result.lines;
            switch (line.kind) {
            case line_kind::record:
                writing = writer.put(salary_rise(line.record));
                result.records += writing ? 1 : 0;
                break;
            case line_kind::too_few_fields:
                ++result.short_lines;
                if (messages != nullptr)
                    std::fprintf(messages, kShortLineFormat, kInputName,
                                 static_cast<std::uintmax_t>(result.lines), line.record.kind);
                break;
            case line_kind::skipped:
                break;
            }
        }
    }
    if (writing)
        writing = writer.finish();
    if (reader.error() != 0) {
        result.failed = convert_result::failure::read;
        result.error = reader.error();
    } else if (!writing) {
        result.failed = convert_result::failure::write;
        result.error = writer.error();
    }
    return result;
}

}  // namespace payrise
