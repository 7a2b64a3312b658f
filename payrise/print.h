// Prints binary_f.bin back as one line per record: the kind letter, the salary as the
// shortest text that reads back to the same double, and the grade of an E record.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace payrise {

// Writes the line of one record (number counts from 1) to out; returns "", or what is
// wrong with a record of no kind, which writes nothing.
std::string print_line(const unsigned char* record, std::uint64_t number, std::FILE* out);

// --print: the records of the file at path (standard input for "-") as text lines on
// standard output; a record of no kind stops them with a message. Returns the exit status.
int print_file(const char* path);

}  // namespace payrise
