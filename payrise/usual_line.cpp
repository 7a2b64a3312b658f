// payrise's usual line in one pass: tokens found eight bytes at a time, and the salary
// read in one word, exactly, with one division.
#include "usual_line.h"

#include <bit>
#include <cstdint>

#include "common/coding.h"
#include "plain_line.h"

namespace payrise {
namespace {

constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHighBits = kOnes << 7;

std::uint64_t word_at(const char* at) {
    return suite::get_fixed64(reinterpret_cast<const unsigned char*>(at));
}

// The high bit of each byte of `word` that is no digit, exactly: XORed with '0' the
// digits are 0 to 9, and 0x76 added to the low seven bits sets the high bit from 10 up,
// with no carry into the next byte.
std::uint64_t non_digits(std::uint64_t word) {
    const std::uint64_t t = word ^ (kOnes * '0');
    return (((t & ~kHighBits) + kOnes * 0x76) | t) & kHighBits;
}

// The index of the first byte of a mask's high bits that is set, 8 when none is: the
// bit past the last one spares std::countr_zero its branch for a zero, which a salary's
// length would take at random.
unsigned first_set_byte(std::uint64_t mask) {
    return static_cast<unsigned>(std::countr_zero((mask >> 7) | (std::uint64_t{1} << 63)) + 1) / 8;
}

// A decimal without a sign as salaries are written: at most 8 digits, perhaps with a
// point among them. They make an integer m below 10^8 and a k of at most 8 such that the
// number is m / 10^k: both are exact doubles, so the one division rounds as strtod does
// (Clinger's fast path). The position after the number, or null for any other text; the
// caller decides whether the byte there ends the number.
const char* exact_decimal(const char* at, double& value) {
    const std::uint64_t first = word_at(at);
    const std::uint64_t rest = word_at(at + 1);
    const unsigned whole = first_set_byte(non_digits(first));
    const bool point = whole < 8 && at[whole] == '.';
    // The digits alone: after a point, the bytes that follow it moved down over it.
    const std::uint64_t before = point ? (std::uint64_t{1} << (8 * whole)) - 1 : ~std::uint64_t{0};
    const std::uint64_t digits_word = (first & before) | (rest & ~before);
    const unsigned digits = first_set_byte(non_digits(digits_word));
    // The size once more, up to the first byte after the first that is neither a digit
    // nor a point (a zero byte of `points`): the next line waits for this short count only.
    const std::uint64_t points = rest ^ (kOnes * '.');
    const unsigned size = first_set_byte(non_digits(rest) & (((points & ~kHighBits) + ~kHighBits) | points)) + 1;
    if (digits == 0 || digits + (point ? 1 : 0) != size)
        return nullptr;
    // The digits at the top of the word, zeros below them, then joined in pairs, fours
    // and eights, the first byte the most significant.
    std::uint64_t v = (digits_word ^ (kOnes * '0')) << (8 * (8 - digits));
    v = v * 10 + (v >> 8);
    v = ((v & 0x000000FF000000FF) * (100 + (1000000ULL << 32)) +
         ((v >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32))) >> 32;
    value = static_cast<double>(v) / kPowersOfTen[point ? digits - whole : 0];
    return at + size;
}

// The high bit of the first byte of `word` (the first one lowest) that is `c` or below
// `limit`, which is at most 0x80; a borrow can mark the byte after `c`, or `limit`, right
// after a byte marked. The two subtractions borrow apart, and a byte with its high bit
// set is neither, so one mask serves both.
std::uint64_t first_of(std::uint64_t word, char c, unsigned char limit) {
    return (((word ^ (kOnes * static_cast<unsigned char>(c))) - kOnes) | (word - kOnes * limit)) & ~word & kHighBits;
}

// The first byte from `at` that is a delimiter of `Set` or a control byte (below a
// blank), eight bytes at a time. One always comes: the buffer's bytes end in zero bytes.
template <unsigned Set>
const char* token_end(const char* at) {
    // A blank follows the control bytes: one subtraction finds either.
    constexpr unsigned char kBelow = (Set & kBlank) != 0 ? ' ' + 1 : ' ';
    for (;; at += 8) {
        const std::uint64_t found = first_of(word_at(at), (Set & kComma) != 0 ? ',' : ' ', kBelow);
        if (found != 0)
            return at + static_cast<unsigned>(std::countr_zero(found)) / 8;
    }
}

// The comma that ends text 5 of an I line, found with texts 2 to 5 in one window from
// `text`, the start of text 2: the masks of the window's words do not wait for one
// another, where a search per text waits for the one before. Null unless the four
// commas lie in the window, each after a text that is not empty, with no control byte
// before them; the search text by text then looks again.
const char* fourth_comma(const char* text) {
    static_assert(kWindow % 8 == 0 && kWindow <= 64);
    // Bit k: byte k may end a text, a comma or a control byte; a borrow may mark a '-' or
    // a blank right after one too, so the first four bits are true ones unless a control
    // byte or an empty text comes first, which the checks below refuse.
    std::uint64_t ends = 0;
    for (std::size_t word = 0; word < kWindow / 8; ++word) {
        // One multiplication gathers the eight high bits, the first lowest, into the top byte.
        ends |= ((first_of(word_at(text + 8 * word), ',', ' ') * 0x0002040810204081) >> 56) << (8 * word);
    }
    const std::uint64_t all = ends;
    unsigned end[4];
    for (unsigned& e : end) {
        e = static_cast<unsigned>(std::countr_zero(ends));
        ends &= ends - 1;
    }
    // A text is empty where an end follows another, or starts the window.
    const std::uint64_t four = all ^ ends;
    if (end[3] >= kWindow || (four & ((four << 1) | 1)) != 0 ||
        ((text[end[0]] ^ ',') | (text[end[1]] ^ ',') | (text[end[2]] ^ ',') | (text[end[3]] ^ ',')) != 0)
        return nullptr;
    return text + end[3];
}

// The line's size with its line end, and its record; 0 for a line that is not the usual
// one. Reads at most kWindow bytes past the first zero byte from `line`.
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
    if (const char* comma = letter == 'i' ? fourth_comma(end + 1) : nullptr)
        end = comma;
    else
        for (int k = letter == 'i' ? 4 : 1; k > 0; --k) {
            at = end + 1;
            end = token_end<kComma>(at);
            if (end == at || *end != ',')
                return 0;
        }
    double salary = 0;
    if ((at = exact_decimal(end + 1, salary)) == nullptr)
        return 0;
    // Kind E: a comma, then a grade of one byte, no control byte or blank.
    if (letter == 'e' && (*at != ',' || static_cast<unsigned char>(at[1]) <= ' '))
        return 0;
    const char grade = letter == 'e' ? at[1] : '\0';
    at += letter == 'e' ? 2 : 0;
    if (*at != '\n' || static_cast<std::size_t>(at - line) > kLongestLine)
        return 0;
    record = {.kind = line[0], .salary = salary, .grade = grade};
    return static_cast<std::size_t>(at - line) + 1;
}

}  // namespace

std::size_t convert_usual_lines(line_reader& reader, std::size_t most, unsigned char* records,
                                std::uintmax_t lines_before, std::FILE* messages) {
    const std::string_view text = reader.ahead();
    std::size_t lines = 0;
    std::size_t at = 0;
    staff_record record;
    for (std::size_t size; lines < most && at < text.size() && (size = convert_usual_line(text.data() + at, record)) != 0;
         at += size) {
        if (lower_kind(record.kind) == 'e' && static_cast<unsigned char>(record.grade - 'a') > 2)
            name_odd_grade(messages, lines_before + lines + 1, std::string_view(&record.grade, 1));
        encode_staff_record(salary_rise(record), records + kRecordSize * lines++);
    }
    reader.take(at);
    return lines;
}

}  // namespace payrise
