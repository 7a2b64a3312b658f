// Prints binary_f.bin back as one line per record: the kind letter, the salary as the
// shortest text that reads back to the same double, and the grade of an E record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace payrise {

// The longest line: a kind, a blank, a double of at most 24 characters
// (-2.2250738585072014e-308), a blank, a grade and the line end.
inline constexpr std::size_t kMaxPrintLine = 29;

// Writes the line of one record to `out` (room for kMaxPrintLine bytes) and returns
// its length; 0 when the kind byte is none of I, i, E and e.
std::size_t format_record(const unsigned char* record, char* out);

struct print_result {
    std::uint64_t records = 0;   // lines printed
    std::size_t trailing = 0;    // bytes after the last whole record
    bool bad_kind = false;       // record number records + 1 holds kind_byte
    unsigned char kind_byte = 0;
    int read_error = 0;          // errno of a failed read
    int write_error = 0;         // errno of a failed write
};

// Prints a line for every whole record of `in` to `out` (flushed, not closed). Reads
// in blocks of whole records, so memory use is the same at any size. Stops at the
// first record of no kind and at the first read or write error.
print_result print_records(std::FILE* in, std::FILE* out);

// --print: the records of the file at path (standard input for "-") as text lines on
// standard output, and a message for whatever stops them. Returns the exit status.
int print_file(const char* path);

}  // namespace payrise
