// payrise's insides, declared for its tests: the tokenizer and the salary reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace payrise {

// The delimiters of a token, any mix of the three.
enum delimiters : unsigned { kBlank = 1, kComma = 2, kLineEnd = 4 };

// Splits a line's text into tokens as strtok does: leading delimiters of the token's
// set are skipped, the token ends at the next delimiter of that set, which is consumed.
// The text ends at its first zero byte, as a C string would.
class tokenizer {
  public:
    explicit tokenizer(std::string_view text) : at_(text.data()), end_(text.data() + text.size()) {}

    // The next token; empty (a token never is) when only delimiters are left.
    std::string_view next(unsigned set);

  private:
    const char* at_;
    const char* end_;
};

// A salary text's value as atof reads it: leading white space, sign, exponent,
// hexadecimal forms, inf and nan; none when atof would convert nothing and read 0.
// The text ends in a line end, or the byte after it can be part of no number (a
// comma, white space or a zero byte).
std::optional<double> salary_from_text(std::string_view text);

}  // namespace payrise
