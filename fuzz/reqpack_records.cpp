// Reads a records file from bytes in memory and checks that every complete record,
// and nothing else, comes back; then that the readable export of the table reads back
// to the same records.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "part1.h"

using fuzz::check;

namespace {

// Scanned, not compared with the writer's own formats: white space in a scanf format
// takes any run of blanks, tabs and line ends, and %n is set only where all before it
// matched.
void check_export(const std::vector<request_record>& records) {
    fuzz::memory_output out;
    write_appointments(out.get(), records.data(), static_cast<std::int32_t>(records.size()));
    check(out.close(), "a memory stream closes");
    fuzz::memory_input in(out.bytes());
    int size = -1;
    int matched = 0;
    check(std::fscanf(in.get(), "<Size>%d</Size> <Records>%n", &size, &matched) == 1 && matched > 0,
          "the export starts with its size line");
    check(size >= 0 && static_cast<std::size_t>(size) == records.size(), "the size line counts the records");
    for (const request_record& record : records) {
        request_record back{};
        matched = 0;
        const int got = std::fscanf(in.get(),
                                    " <Appointment> <app_id> %d </app_id> <patient_id> %d </patient_id>"
                                    " <hour> %d </hour> </Appointment>%n",
                                    &back.app_id, &back.patient_id, &back.hour, &matched);
        check(got == 3 && matched > 0, "each record stands whole in the export");
        check(back.app_id == record.app_id && back.patient_id == record.patient_id && back.hour == record.hour,
              "each record reads back from the export");
    }
    matched = 0;
    check(std::fscanf(in.get(), " </Records>\n%n", &matched) == 0 && matched > 0 && std::fgetc(in.get()) == EOF,
          "the export ends after its records");
}

}  // namespace

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
    check_export(records);
    return 0;
}
