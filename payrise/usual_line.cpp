// payrise's usual line in one pass: tokens found eight bytes at a time, and the salary
// read exactly with one division.
#include "usual_line.h"

#include <bit>
#include <cstdint>

#include "common/chars.h"
#include "common/coding.h"
#include "plain_line.h"

namespace payrise {
namespace {

constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

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
// before them; the search text by text then looks again.
const char* fourth_comma(const char* text) {
    static_assert(kWindow % 8 == 0 && kWindow <= 64);
    // Bit k: byte k may end a text, a comma or a control byte; a borrow may mark a '-' or
    // a blank right after one too, so the first four bits are true ones unless a control
    // byte or an empty text comes first, which the checks below refuse.
    std::uint64_t ends = 0;
    for (std::size_t word = 0; word < kWindow / 8; ++word) {
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

}  // namespace

std::size_t convert_usual_lines(line_reader& reader, std::size_t most, unsigned char* records) {
    const std::string_view text = reader.ahead();
    std::size_t lines = 0;
    std::size_t at = 0;
    staff_record record;
    for (std::size_t size; lines < most && at < text.size() && (size = convert_usual_line(text.data() + at, record)) != 0;
         at += size)
        encode_staff_record(salary_rise(record), records + kRecordSize * lines++);
    reader.take(at);
    return lines;
}

}  // namespace payrise
