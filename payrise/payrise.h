// payrise: staff lines of kind I and E in, raised salaries out as 56-byte records.
// The record, its encoder, the raise rules and the converter that joins them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace payrise {

inline constexpr char kInputName[] = "input1.txt";
inline constexpr char kOutputName[] = "binary_f.bin";
inline constexpr char kCheckFileMessage[] = "ERROR!! Check file!\n";

// What a staff line gives its record: the texts between its kind and its salary
// never reach the file.
struct staff_record {
    char kind = 0;      // I, i, E or e as read
    double salary = 0;
    char grade = 0;     // E lines only
};

// File layout of a record, little-endian, every byte defined:
//   kind I or i:  0 kind | 1-7 zero | 8-47 five zeroed 8-byte text slots | 48-55 salary
//   kind E or e:  0 kind | 1-7 zero | 8-23 two zeroed text slots | 24-31 salary
//                 | 32 grade | 33-55 zero
inline constexpr std::size_t kRecordSize = 56;
inline constexpr std::size_t kKindOffset = 0;
inline constexpr std::size_t kSalaryOffsetI = 48;
inline constexpr std::size_t kSalaryOffsetE = 24;
inline constexpr std::size_t kGradeOffsetE = 32;
static_assert(kSalaryOffsetI + sizeof(double) == kRecordSize);

using record_bytes = std::array<unsigned char, kRecordSize>;

record_bytes encode_staff_record(const staff_record& record);

// The raise rule of the record's kind (and grade), in double precision.
staff_record salary_rise(staff_record record);

struct convert_result {
    enum class failure { none, read, write };
    failure failed = failure::none;
    int error = 0;                  // errno of the failure
    std::uint64_t lines = 0;        // lines read, skipped ones included
    std::uint64_t records = 0;      // records written
};

// A line whose text holds more bytes than this before its line end gives no record;
// it is read past, never held, so memory stays bounded on any input.
inline constexpr std::size_t kLongestLine = std::size_t{1} << 20;

// The size of the reads (small sizes are for tests), and of the blocks of records
// written at once. Fewer, larger reads and writes cost the kernel less per byte.
inline constexpr std::size_t kChunkSize = 256 * 1024;
inline constexpr std::size_t kRecordsPerBlock = 4096;

// Converts every line of input into records on output, stopping at the first read
// or write error. A line with too few fields, or a long one, gives no record and one
// message on messages (which may be null), begun with suite::program() as every message
// is. Output is flushed, not closed.
convert_result read_write(std::FILE* input, std::FILE* output, std::FILE* messages,
                          std::size_t chunk_size = kChunkSize);

}  // namespace payrise
