// Printing a file of fixed-size binary records back as text, one line per record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace suite {

// Writes the line of one record (number counts from 1) to `out`; returns "" or, to stop
// there, what is wrong with the record.
using print_record = std::function<std::string(const unsigned char* record, std::uint64_t number, std::FILE* out)>;

// Prints every whole record of the file at `path` ("-": standard input) on standard
// output, in blocks of whole records, so memory use is the same at any size. A record
// that print_one refuses, bytes after the last whole record, an unreadable file or a
// failed write stop it with a message. Returns the exit status: 0, or 1.
int print_record_file(const char* path, std::size_t record_size, const print_record& print_one);

}  // namespace suite
