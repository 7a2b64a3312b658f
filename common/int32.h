// Signed 32-bit decimals, as %d and atoi read them: an optional sign, then digits, the
// range checked at every digit so that no value is ever made up.
#pragma once

#include <cstdint>

#include "common/chars.h"

namespace suite {

// Takes the digits of one number a character at a time, for readers that meet them
// one at a time or across buffer ends.
class int32_digits {
  public:
    explicit int32_digits(bool negative) : negative_(negative) {}

    // One more digit, '0' to '9'. A number that no longer fits stays out of range.
    void add(char digit) {
        if (magnitude_ <= limit())
            magnitude_ = magnitude_ * 10 + static_cast<std::uint64_t>(digit - '0');
    }
    bool in_range() const { return magnitude_ <= limit(); }
    // The number; only meaningful while in_range().
    std::int32_t value() const {
        const auto bits = static_cast<std::uint32_t>(magnitude_);
        return static_cast<std::int32_t>(negative_ ? 0u - bits : bits);
    }

  private:
    std::uint64_t limit() const { return negative_ ? 2147483648u : 2147483647u; }

    std::uint64_t magnitude_ = 0;
    bool negative_;
};

// Reads the number at the start of `text`, as atoi does: leading white space, an
// optional sign, the digits up to the first other character; no digits read as 0.
// False for a number beyond the 32-bit range, with `value` untouched.
bool parse_int32(const char* text, std::int32_t& value);

}  // namespace suite
