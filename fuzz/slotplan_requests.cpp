// Fuzz target: the AppointmentReqs.txt reader on arbitrary bytes, then the whole
// pipeline and the writer on what it read, checking what each step promises.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "slotplan.h"

using namespace slotplan;

namespace {

void check(bool holds) {
    if (!holds)
        std::abort();
}

auto slot_of(const appointment& a) {
    return std::tuple(a.year, static_cast<std::uint32_t>(a.month), a.day, a.hour, a.minute);
}

// Returns the number of requests that remain.
int check_pipeline(std::vector<appointment>& requests, int count) {
    const std::vector<appointment> read(requests.begin(), requests.begin() + count);
    const int remaining = check_appointments(requests, count);
    check(remaining >= (count > 0 ? 1 : 0) && remaining <= count);
    sort_appointments(requests, remaining);
    for (int k = 1; k < remaining; ++k)
        check(slot_of(requests[k - 1]) < slot_of(requests[k]));   // sorted, slots distinct
    // Every slot read is still asked for, by the first request that asked for it.
    for (std::size_t i = 0; i < read.size(); ++i) {
        int found = 0;
        for (int k = 0; k < remaining; ++k) {
            if (slot_of(requests[k]) != slot_of(read[i]))
                continue;
            ++found;
            bool first = true;
            for (std::size_t e = 0; e < i; ++e)
                first = first && slot_of(read[e]) != slot_of(read[i]);
            if (first)
                check(std::memcmp(&requests[k], &read[i], sizeof(appointment)) == 0);
        }
        check(found == 1);
    }
    return remaining;
}

void check_written(const std::vector<appointment>& requests, int remaining) {
    char* text = nullptr;
    std::size_t length = 0;
    std::FILE* out = open_memstream(&text, &length);
    if (out == nullptr)
        return;
    const bool written = write_appointments(out, requests, remaining);
    std::fclose(out);
    const std::string lines(text, length);
    std::free(text);
    check(written);
    std::size_t ends = 0;
    for (char c : lines)
        ends += c == '\n';
    check(ends == static_cast<std::size_t>(remaining));
    check(lines.find('\0') == std::string::npos);
    check(remaining == 0 || lines.front() == ' ');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<char> bytes(data, data + size);
    std::FILE* in = fmemopen(bytes.data(), bytes.size(), "r");
    if (in == nullptr)
        return 0;
    std::vector<appointment> requests(kTableSize);
    read_report report;
    const int count = get_appointments(in, requests, kLimit, report);
    std::fclose(in);

    check(count >= 0 && count <= kLimit + 1);
    check(static_cast<std::size_t>(count) * 8 <= size);   // eight separable fields each
    if (report.problem == read_problem::malformed)
        check(report.record == count + 1);
    for (int k = 0; k < count; ++k) {
        const appointment& a = requests[k];
        check(static_cast<std::uint32_t>(a.month) <= 12);
        check(a.name[0] == '\0' && a.surname[0] == '\0' && a.tag == kNoTag);
        check(a.minute >= -9 && a.minute <= 99 && a.hour >= -9 && a.hour <= 99);
        check(a.key1 >= -9999 && a.key1 <= 99999 && a.key2 >= -99999 && a.key2 <= 999999);
    }
    check_written(requests, check_pipeline(requests, count));
    return 0;
}
