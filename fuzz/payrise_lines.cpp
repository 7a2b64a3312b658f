// Fuzz target: read_write over arbitrary bytes, from memory into memory. Checks
// that every record is whole, of kind I or E, with zeroed text slots and filler.
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "payrise.h"

using fuzz::check;

namespace {

bool all_zero(const unsigned char* from, const unsigned char* to) {
    for (; from != to; ++from)
        if (*from != 0)
            return false;
    return true;
}

void check_record(const unsigned char* r) {
    using namespace payrise;
    const char kind = static_cast<char>(r[kKindOffset]);
    check(std::strchr("IiEe", kind) != nullptr && kind != '\0', "record kind is I or E");
    if (kind == 'E' || kind == 'e') {
        check(all_zero(r + 1, r + kSalaryOffsetE), "E filler and text slots are zero");
        check(all_zero(r + kGradeOffsetE + 1, r + kRecordSize), "E bytes after the grade are zero");
    } else {
        check(all_zero(r + 1, r + kSalaryOffsetI), "I filler and text slots are zero");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::memory_input input(data, size);
    fuzz::memory_output output;
    // Small chunks make lines cross chunk boundaries and grow the buffer.
    const std::size_t chunk_size = size == 0 ? 2 : 2 + data[0] % 64;
    const auto result = payrise::read_write(input.get(), output.get(), nullptr, chunk_size);
    output.close();
    const std::string_view written = output.bytes();

    std::size_t line_ends = 0;
    for (std::size_t k = 0; k < size; ++k)
        line_ends += data[k] == '\n';
    check(result.failed == payrise::convert_result::failure::none, "memory streams never fail");
    check(result.lines <= line_ends + 1, "no more lines than line ends plus one");
    check(result.records + result.short_lines <= result.lines, "at most one outcome per line");
    check(written.size() == result.records * payrise::kRecordSize, "output holds exactly the records written");
    for (std::size_t at = 0; at < written.size(); at += payrise::kRecordSize)
        check_record(reinterpret_cast<const unsigned char*>(written.data()) + at);
    return 0;
}
