// payrise's plain line: what a staff line means, said with a tokenizer that splits as
// strtok does and a salary read as atof reads it. Every line that is not the usual one
// goes this way, and the usual line's one pass (usual_line.h) must agree with it.
#pragma once

#include <cstdint>
#include <optional>

#include "line_reader.h"

namespace payrise {

// The delimiters of a token, any mix of the three.
enum delimiters : unsigned { kBlank = 1, kComma = 2, kLineEnd = 4 };

// The next token of `rest`, split off as strtok splits: leading delimiters of the set
// are skipped, the token ends at the next delimiter of the set, which is consumed, and
// `rest` keeps what follows. The text ends at its first zero byte, as a C string would.
// Empty (a token never is) when only delimiters are left.
std::string_view next_token(std::string_view& rest, unsigned set);

// A salary text's value as atof reads it; none when atof would convert nothing and read
// 0. The text ends in a line end, or the byte after it can be part of no number (a
// comma, white space or a zero byte). `unread`, when given, receives the text that atof
// leaves unread after a number.
std::optional<double> salary_from_text(std::string_view text, std::string_view* unread = nullptr);

// Names the grade of E line `number` when it is not a, b or c, which keep the salary:
// `grade` is the text the grade is the first character of.
void name_odd_grade(std::FILE* messages, std::uintmax_t number, std::string_view grade);

// The record of line `number`, raised and encoded at `record`; false when the line gives
// none, with a message on `messages` for a long line or a missing field. A salary that
// is no number is read as 0 and named; so are a salary followed by text that atof
// leaves unread and a grade that raises nothing, and their records are kept.
bool convert_line(const next_line& line, std::uintmax_t number, std::FILE* messages, unsigned char* record);

}  // namespace payrise
