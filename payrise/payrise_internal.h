// payrise's insides, declared for its tests: the 64-byte classifier, the tokenizer
// that works on its masks, and the salary reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace payrise {

inline constexpr std::size_t kWindow = 64;

// Bit k of each mask stands for byte k of a 64-byte window.
struct byte_masks {
    std::uint64_t blank = 0;
    std::uint64_t comma = 0;
    std::uint64_t line_end = 0;
    std::uint64_t zero = 0;
};

// The masks of the kWindow bytes at bytes, all of which must be readable. classify
// uses SSE2 where the build has it; both give the same masks.
byte_masks classify(const char* bytes);
byte_masks classify_portable(const char* bytes);

// The delimiters of a token, any mix of the three.
enum delimiters : unsigned { kBlank = 1, kComma = 2, kLineEnd = 4 };

// Splits a line's text into tokens as strtok does: leading delimiters of the token's
// set are skipped, the token ends at the next delimiter of that set, which is consumed.
// The text ends at its first zero byte, as a C string would, and kWindow bytes may be
// read after any position of it (they are ignored).
class tokenizer {
  public:
    explicit tokenizer(std::string_view text) : text_(text) { load(0); }

    // The next token; empty (a token never is) when only delimiters are left.
    std::string_view next(unsigned set);

  private:
    void load(std::size_t from);
    std::uint64_t mask(unsigned set) const {
        return (set & kBlank ? masks_.blank : 0) | (set & kComma ? masks_.comma : 0) |
               (set & kLineEnd ? masks_.line_end : 0);
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t window_ = 0;  // masks_ describe the window that starts here
    byte_masks masks_;
};

// A salary text's value as atof reads it: leading white space, sign, exponent,
// hexadecimal forms, inf and nan; none when atof would convert nothing and read 0.
// The text ends in a line end, or the byte after it can be part of no number (a
// comma, white space or a zero byte).
std::optional<double> salary_from_text(std::string_view text);

}  // namespace payrise
