// Reads a records file from bytes in memory and checks that every complete record,
// and nothing else, comes back; then writes the table as the readable export.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "part1.h"

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<request_record> records;
    const int error = read_requests(fuzz::memory_input(data, size).get(), size, records);
    check(error == 0, "a memory stream reported a read error");
    check(records.size() == size / kRecordSize, "count is not size / 12");
    for (std::size_t k = 0; k < records.size(); ++k) {
        unsigned char bytes[kRecordSize];
        encode_request(records[k], bytes);
        check(std::memcmp(bytes, data + k * kRecordSize, kRecordSize) == 0,
              "a record does not encode back to its bytes");
    }

    file_names names{};
    names.readable_records_file = "/dev/null";
    write_appointments(records.data(), static_cast<std::int32_t>(records.size()), names);
    return 0;
}
