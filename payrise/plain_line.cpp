// payrise's plain line: the tokenizer, the salary as atof reads it, and convert_line.
#include "plain_line.h"

#include <cstdlib>

#include "common/process.h"

namespace payrise {

std::string_view next_token(std::string_view& rest, unsigned set) {
    const auto is_delimiter = [set](char c) {
        return ((set & kBlank) != 0 && c == ' ') || ((set & kComma) != 0 && c == ',') || ((set & kLineEnd) != 0 && c == '\n');
    };
    std::size_t start = 0;
    while (start != rest.size() && is_delimiter(rest[start]))
        ++start;
    std::size_t end = start;
    while (end != rest.size() && rest[end] != '\0' && !is_delimiter(rest[end]))
        ++end;
    const std::string_view token = rest.substr(start, end - start);
    rest = end == rest.size() || rest[end] == '\0' ? std::string_view() : rest.substr(end + 1);
    return token;
}

std::optional<double> salary_from_text(std::string_view text) {
    // Skipped here, not by strtod, which would go on past a text of white space into the
    // next line: so strtod starts on a byte of the text, and stops at its end at the latest.
    const std::size_t first = text.find_first_not_of(" \t\n\v\f\r");
    if (first == std::string_view::npos)
        return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.data() + first, &end);
    return end == text.data() + first ? std::nullopt : std::optional(value);
}

bool convert_line(const next_line& line, std::uintmax_t number, std::FILE* messages, unsigned char* record) {
    if (line.too_long) {
        suite::warn_to(messages, "%s: line %ju: longer than 1 MiB, no record written", kInputName, number);
        return false;
    }
    // Kind I: text 1 to a blank, texts 2 to 5 and the salary each to a comma. Kind E:
    // text 1 to a blank, text 2 and the salary to a comma, the grade to a blank or
    // line end. A missing token leaves none after it, so the last one tells whether
    // all are there.
    std::string_view rest = line.text;
    const std::string_view kind = next_token(rest, kBlank | kComma);
    const char letter = kind.empty() ? '\0' : lower_kind(kind.front());
    if (letter != 'i' && letter != 'e')
        return false;
    next_token(rest, kBlank);
    for (int k = 0; k < (letter == 'i' ? 4 : 1); ++k)
        next_token(rest, kComma);
    const std::string_view salary = next_token(rest, kComma);
    const std::string_view last = letter == 'i' ? salary : next_token(rest, kBlank | kLineEnd);
    if (last.empty()) {
        suite::warn_to(messages, "%s: line %ju: too few fields for kind %c, no record written", kInputName, number,
                       kind.front());
        return false;
    }
    const std::optional<double> value = salary_from_text(salary);
    // Quoted without the line end an I line's salary text may hold.
    if (!value)
        suite::warn_to(messages, "%s: line %ju: salary %s is not a number, read as 0", kInputName, number,
                       suite::quote_argument(salary.substr(0, salary.size() - (salary.ends_with('\n') ? 1 : 0))).c_str());
    const char grade = letter == 'e' ? last.front() : '\0';
    encode_staff_record(salary_rise({.kind = kind.front(), .salary = value.value_or(0), .grade = grade}), record);
    return true;
}

}  // namespace payrise
