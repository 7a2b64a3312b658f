// Drives the converter from bytes in memory and holds what it wrote against the
// C library's own reading of the same bytes with the same format.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "convert.h"
#include "fuzz_support.h"
#include "part1.h"

using fuzz::check;

namespace {

// Each echo line and each record must be what scanf reads from the same input.
void check_against_scanf(const std::uint8_t* data, std::size_t size, const convert_result& result,
                         std::string_view echo, std::string_view records) {
    const fuzz::memory_input input(data, size);
    std::FILE* const in = input.get();
    const char* line = echo.data();
    for (std::int64_t k = 0; k < result.requests; ++k) {
        request_record expected{};
        const int got = std::fscanf(in, kRequestFormat, &expected.app_id, &expected.patient_id, &expected.hour);
        check(got == 3, "scanf reads fewer numbers than the converter wrote");
        const request_record written =
            decode_request(reinterpret_cast<const unsigned char*>(records.data()) + k * kRecordSize);
        check(std::memcmp(&written, &expected, sizeof written) == 0, "record differs from scanf");
        char text[kMaxEchoLine + 1];
        const int length = std::snprintf(text, sizeof text, kEchoFormat, expected.app_id,
                                         expected.patient_id, expected.hour);
        check(std::strncmp(line, text, static_cast<std::size_t>(length)) == 0, "echo line differs");
        line += length;
    }
    check(line == echo.data() + echo.size(), "echo holds more than the records");
    request_record rest{};
    const int got = std::fscanf(in, kRequestFormat, &rest.app_id, &rest.patient_id, &rest.hour);
    if (result.input == scan_status::end_of_input)
        check(got == EOF, "converter stopped before scanf ran out of input");
    else if (result.input != scan_status::out_of_range)  // where scanf's result is undefined
        check(got != 3 && got != EOF, "converter refused a request scanf reads whole");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::memory_output echo;
    fuzz::memory_output records;
    const convert_result result =
        convert_requests(fuzz::memory_input(data, size).get(), echo.get(), records.get());
    fuzz::check(echo.close(), "a memory stream closes");
    fuzz::check(records.close(), "a memory stream closes");

    check(result.output == output_failure::none, "a memory stream reported a write failure");
    check(result.input != scan_status::read_failed && result.input != scan_status::complete,
          "impossible stop reason");
    // A request takes at least five bytes ("1 2 3"), and a separator before the next.
    check(result.requests >= 0 && static_cast<std::size_t>(result.requests) <= (size + 1) / 6,
          "more requests than the input can hold");
    check(records.bytes().size() == static_cast<std::size_t>(result.requests) * kRecordSize,
          "records bytes are not 12 per request");
    check_against_scanf(data, size, result, echo.bytes(), records.bytes());
    return 0;
}
