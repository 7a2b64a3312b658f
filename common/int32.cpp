// Signed 32-bit decimals read as atoi reads them, with the range checked.
#include "common/int32.h"

namespace suite {

bool parse_int32(const char* text, std::int32_t& value) {
    while (is_c_space(static_cast<unsigned char>(*text)))
        ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    int32_digits number(negative);
    for (; is_c_digit(*text); ++text)
        number.add(*text);
    if (!number.in_range())
        return false;
    value = number.value();
    return true;
}

}  // namespace suite
