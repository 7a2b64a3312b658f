// Fuzz target: read_write over arbitrary bytes, from memory into memory, in small reads
// and with the usual line's one pass, must write the same records and messages, byte for
// byte, as its plain way, which takes every line with the tokenizer in one large read.
#include <cstdint>
#include <string>

#include "common/process.h"
#include "fuzz_support.h"
#include "payrise.h"

namespace {

struct converted {
    payrise::convert_result result;
    std::string records;
    std::string messages;
};

converted convert(const std::uint8_t* data, std::size_t size, std::size_t chunk_size, payrise::pass one_pass) {
    fuzz::memory_input input(data, size);
    fuzz::memory_output records;
    fuzz::memory_output messages;
    const auto result = payrise::read_write(input.get(), records.get(), messages.get(), chunk_size, one_pass);
    fuzz::check(records.close(), "a memory stream closes");
    fuzz::check(messages.close(), "a memory stream closes");
    fuzz::check(result.failed == payrise::convert_result::failure::none, "memory streams never fail");
    fuzz::check(records.bytes().size() == result.records * payrise::kRecordSize, "the result counts the records written");
    return {result, std::string(records.bytes()), std::string(messages.bytes())};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    suite::set_program("payrise");   // as the program names its messages
    // Small chunks make lines cross reads.
    const std::size_t chunk_size = size == 0 ? 1 : 1 + data[0] % 64;
    const converted fast = convert(data, size, chunk_size, payrise::pass::usual_lines);
    const converted plain = convert(data, size, payrise::kChunkSize, payrise::pass::none);
    fuzz::check(fast.records == plain.records, "records as the plain way writes them");
    fuzz::check(fast.messages == plain.messages, "messages as the plain way writes them");
    fuzz::check(fast.result.lines == plain.result.lines, "lines counted as the plain way counts them");
    return 0;
}
