// Fuzz target: read_write over arbitrary bytes, from memory into memory, must write
// the same records and messages, byte for byte, as the plain reference converter.
#include <cstdint>
#include <string_view>

#include "common/process.h"
#include "fuzz_support.h"
#include "payrise.h"
#include "tests/payrise_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    suite::set_program("payrise");   // as the program names its messages
    fuzz::memory_input input(data, size);
    fuzz::memory_output records;
    fuzz::memory_output messages;
    // Small chunks make lines cross reads.
    const std::size_t chunk_size = size == 0 ? 1 : 1 + data[0] % 64;
    const auto result = payrise::read_write(input.get(), records.get(), messages.get(), chunk_size);
    fuzz::check(records.close(), "a memory stream closes");
    fuzz::check(messages.close(), "a memory stream closes");
    fuzz::check(result.failed == payrise::convert_result::failure::none, "memory streams never fail");
    fuzz::check(records.bytes().size() == result.records * payrise::kRecordSize, "the result counts the records written");

    fuzz::memory_input again(data, size);
    fuzz::memory_output expected_records;
    fuzz::memory_output expected_messages;
    payrise_reference::convert(again.get(), expected_records.get(), expected_messages.get());
    fuzz::check(expected_records.close(), "a memory stream closes");
    fuzz::check(expected_messages.close(), "a memory stream closes");
    fuzz::check(records.bytes() == expected_records.bytes(), "records as the reference writes them");
    fuzz::check(messages.bytes() == expected_messages.bytes(), "messages as the reference writes them");
    return 0;
}
