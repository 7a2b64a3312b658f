// Character classes as the C locale has them, whatever locale the process runs in.
#pragma once

namespace suite {

// Blank, \t, \n, \v, \f and \r.
constexpr bool is_c_space(int c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

constexpr bool is_c_digit(int c) {
    return c >= '0' && c <= '9';
}

}  // namespace suite
