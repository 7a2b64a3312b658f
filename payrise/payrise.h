// payrise: staff lines of kind I and E in, raised salaries out as 56-byte records.
// The record, the line tokenizer, the raise rules and the converter that joins them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace payrise {

inline constexpr char kInputName[] = "input1.txt";
inline constexpr char kOutputName[] = "binary_f.bin";
inline constexpr char kCheckFileMessage[] = "ERROR!! Check file!\n";

// One converted staff line. The texts refer to the line being converted and are
// valid only until the next line is read; they never reach the file.
struct staff_record {
    char kind = 0;                              // I, i, E or e as read
    std::array<std::string_view, 5> texts{};    // an E line fills the first two
    double salary = 0;
    char grade = 0;                             // E lines only
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

// The delimiters of a token: any mix of blank, comma and line end, the only
// delimiters staff lines use.
struct delimiter_set {
    bool blank = false;
    bool comma = false;
    bool line_end = false;
};

// Splits one line into tokens as strtok does: leading delimiters of the token's set
// are skipped, the token ends at the next delimiter of that set, which is consumed.
// Like a C string, the line's text ends at its first zero byte; a line end stays part
// of the text. The line is looked at 64 bytes at a time, as bit masks of where its
// blanks, commas and line ends are, so no token is scanned byte by byte.
class tokenizer {
  public:
    static constexpr std::size_t kWindow = 64;

    // readable_after: how many bytes after the line may be read (and are ignored);
    // from kWindow on, no window is copied before it is looked at.
    explicit tokenizer(std::string_view line, std::size_t readable_after = 0);

    // The next token; empty (a token never is) when only delimiters are left.
    std::string_view next(delimiter_set delimiters);

    // Asked of a fresh tokenizer: the size of the text's first line, line end included,
    // when that line end lies in the first window; 0 when it lies further on or there
    // is none. Then
    // end_text_at(size) makes that line the whole text: the masks that split a line
    // find its end too, so the line need not be searched for first.
    std::size_t first_line_size() const;
    void end_text_at(std::size_t size);

    // How many bytes after a token of this line may be read.
    std::size_t readable_after(std::string_view token) const {
        return readable_end_ - static_cast<std::size_t>(token.data() + token.size() - line_);
    }

  private:
    void load_window(std::size_t from);
    std::string_view next_in_first_window(std::uint64_t delimiters);
    std::uint64_t mask_of(delimiter_set delimiters) const;

    const char* line_;
    std::size_t size_;              // the text's size, zero bytes included
    std::size_t pos_ = 0;
    std::size_t end_;               // end of the text: the line's end or its first zero byte
    std::size_t readable_end_;      // bytes before it may be read
    std::size_t window_ = 0;        // bit k of a mask stands for line_[window_ + k]
    std::uint64_t blank_ = 0;
    std::uint64_t comma_ = 0;
    std::uint64_t line_end_ = 0;
};

// The value of a number text as atof reads it: leading white space, sign, exponent,
// hexadecimal forms, inf and nan; no digits gives 0, out of range as strtod.
// readable_after: how many bytes after the text may be read (and are ignored).
double salary_from_text(std::string_view text, std::size_t readable_after = 0);

// The leading digits of the size bytes at text, 8 of which must be readable: how many,
// 8 standing for "8 or more", and below 8 their value. The salary's fast path.
struct digit_run {
    int count = 0;
    std::uint64_t value = 0;
};

digit_run leading_digits(const char* text, std::size_t size);

enum class line_kind { record, skipped, too_few_fields };

// Splits one line (its line end included) into a record; skipped lines are empty,
// made of delimiters only, or of another kind than I and E. readable_after as for
// the tokenizer.
line_kind split_line(std::string_view line, staff_record& record, std::size_t readable_after = 0);

struct convert_result {
    enum class failure { none, read, write };
    failure failed = failure::none;
    int error = 0;                  // errno of the failure
    std::uint64_t lines = 0;        // lines read, skipped ones included
    std::uint64_t records = 0;      // records written
    std::uint64_t short_lines = 0;  // lines with too few fields for their kind
};

// The size of the reads; a longer line grows the buffer. Small sizes are for tests.
// Records are written kRecordsPerBlock at a time. Fewer, larger reads and writes
// cost the kernel less per byte; both together stay well under a megabyte.
inline constexpr std::size_t kChunkSize = 256 * 1024;
inline constexpr std::size_t kRecordsPerBlock = 4096;

// Converts every line of input into records on output, stopping at the first read
// or write error. A line with too few fields gives no record and one message on
// messages (which may be null). Output is flushed, not closed.
convert_result read_write(std::FILE* input, std::FILE* output, std::FILE* messages,
                          std::size_t chunk_size = kChunkSize);

}  // namespace payrise
