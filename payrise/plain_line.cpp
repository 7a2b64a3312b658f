// payrise's plain line: the tokenizer, the salary as atof reads it, and convert_line.
#include "plain_line.h"

#include <cstdlib>
#include <string>

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

std::optional<double> salary_from_text(std::string_view text, std::string_view* unread) {
    // Skipped here, not by strtod, which would go on past a text of white space into the
    // next line: so strtod starts on a byte of the text, and stops at its end at the latest.
    const std::size_t first = text.find_first_not_of(" \t\n\v\f\r");
    if (first == std::string_view::npos)
        return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.data() + first, &end);
    if (end == text.data() + first)
        return std::nullopt;
    if (unread != nullptr)
        *unread = text.substr(static_cast<std::size_t>(end - text.data()));
    return value;
}

namespace {

constexpr std::size_t kQuoteSize = 20;  // what a message quotes of a text

// A text of the line as a message quotes it: up to kQuoteSize characters, without the
// line end an I line's last text may hold.
std::string quoted(std::string_view text) {
    if (text.ends_with('\n'))
        text.remove_suffix(1);
    return suite::quote_argument(text.substr(0, kQuoteSize));
}

}  // namespace

void name_odd_grade(std::FILE* messages, std::uintmax_t number, std::string_view grade) {
    if (grade.front() != 'a' && grade.front() != 'b' && grade.front() != 'c')
        suite::warn_to(messages, "%s: line %ju: grade %s is not a, b or c: the salary is kept", kInputName, number,
                       quoted(grade).c_str());
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
        suite::warn_to(messages, "%s: line %ju: too few fields for kind %c, no record written: %s", kInputName, number,
                       kind.front(), quoted(line.text).c_str());
        return false;
    }
    std::string_view unread;
    const std::optional<double> value = salary_from_text(salary, &unread);
    // White space after the number, a line end or a blank, changes nothing.
    if (value && unread.find_first_not_of(" \t\n\v\f\r") != std::string_view::npos)
        suite::warn_to(messages, "%s: line %ju: salary %s is read only in part, as %s", kInputName, number,
                       quoted(salary).c_str(),
                       quoted(salary.substr(0, salary.size() - unread.size())
                                  .substr(salary.find_first_not_of(" \t\n\v\f\r")))
                           .c_str());
    // Quoted without the line end an I line's salary text may hold.
    if (!value)
        suite::warn_to(messages, "%s: line %ju: salary %s is not a number, read as 0", kInputName, number,
                       suite::quote_argument(salary.substr(0, salary.size() - (salary.ends_with('\n') ? 1 : 0))).c_str());
    const char grade = letter == 'e' ? last.front() : '\0';
    if (letter == 'e')
        name_odd_grade(messages, number, last);
    encode_staff_record(salary_rise({.kind = kind.front(), .salary = value.value_or(0), .grade = grade}), record);
    return true;
}

}  // namespace payrise
