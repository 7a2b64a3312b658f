// payrise's usual line: a line of kind I or E as nearly every line is, converted in one
// pass over its bytes, where the plain line (plain_line.h) finds the line end first and
// then splits the line. Any other line is left to the plain line, which it must match.
#pragma once

#include <cstdint>
#include <cstdio>

#include "line_reader.h"

namespace payrise {

// Converts the usual lines that the reader has ahead, up to `most`, each one's record
// raised and encoded at `records`, one after another; stops at the first other line and
// returns the number converted. The usual line: each token right after one delimiter, no
// control byte (one below a blank: a tab, a zero byte) before the line end, a salary of
// at most 8 digits with perhaps a point among them, which ends the line (kind I) or is
// followed by a comma and a one-byte grade that does (kind E). A grade other than a, b or
// c is named on `messages`, the lines counted from `lines_before` + 1.
std::size_t convert_usual_lines(line_reader& reader, std::size_t most, unsigned char* records,
                                std::uintmax_t lines_before, std::FILE* messages);

}  // namespace payrise
