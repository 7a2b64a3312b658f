// Prints a records file back as request lines in input.txt's own format, so that
// converting the printed lines gives the same records again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// One request per line: app_id, patient_id and hour.
inline constexpr char kPrintFormat[] = "%d %d %d\n";

struct print_result {
    std::uint64_t records = 0;   // lines printed
    std::size_t trailing = 0;    // bytes after the last whole record
    int read_error = 0;          // errno of a failed read
    int write_error = 0;         // errno of a failed write
};

// Prints a line for every whole record of `in` to `out` (flushed, not closed). Reads
// in blocks of whole records, so memory use is the same at any size. Stops at the
// first read or write error.
print_result print_requests(std::FILE* in, std::FILE* out);
