// Reads a records file from bytes in memory and checks that every complete record,
// and nothing else, comes back; then writes the table as the readable export.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "part1.h"

namespace {

void check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "reqpack_records: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* in = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    check(in != nullptr, "fmemopen failed");
    std::vector<request_record> records;
    const bool ok = read_requests(in, size, records);
    std::fclose(in);
    check(ok, "a memory stream reported a read error");
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
