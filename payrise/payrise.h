// payrise: staff lines of kind I and E in, raised salaries out as 56-byte records.
// The converter, read_write; the record and its rules are in record.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "record.h"

namespace payrise {

inline constexpr char kInputName[] = "input1.txt";

struct convert_result {
    enum class failure { none, read, write };
    failure failed = failure::none;
    int error = 0;                  // errno of the failure
    std::uint64_t lines = 0;        // lines read, skipped ones included
    std::uint64_t records = 0;      // records written
};

// A line whose text holds more bytes than this before its line end gives no record;
// read_write reads past it, never holds it, so memory stays bounded on any input.
inline constexpr std::size_t kLongestLine = std::size_t{1} << 20;

// The size of the reads (small sizes are for tests), and of the blocks of records
// written at once. Fewer, larger reads and writes cost the kernel less per byte.
inline constexpr std::size_t kChunkSize = 256 * 1024;
inline constexpr std::size_t kRecordsPerBlock = 4096;

// The lines read_write converts in one pass: the usual ones, as the program does, or
// none, so that every line takes the plain way (plain_line.h), which says what a line
// means. The tests and the fuzz target hold the first to the second.
enum class pass { usual_lines, none };

// Converts every line of input into records on output, stopping at the first read
// or write error. A line with too few fields, or a long one, gives no record and one
// message on `messages`. Output is flushed, not closed.
convert_result read_write(std::FILE* input, std::FILE* output, std::FILE* messages,
                          std::size_t chunk_size = kChunkSize, pass one_pass = pass::usual_lines);

}  // namespace payrise
