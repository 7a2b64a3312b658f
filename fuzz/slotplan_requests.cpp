// Fuzz target: the AppointmentReqs.txt reader on arbitrary bytes, then the whole
// pipeline and the writer on what it read, checking what each step promises.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <tuple>
#include <vector>

#include "fuzz_support.h"
#include "slotplan.h"

using namespace slotplan;
using fuzz::check;

namespace {

auto slot_of(const appointment& a) {
    return std::tuple(a.year, static_cast<std::uint32_t>(a.month), a.day, a.hour, a.minute);
}

// Returns the number of requests that remain.
int check_pipeline(std::vector<appointment>& requests, int count) {
    const std::vector<appointment> read(requests.begin(), requests.begin() + count);
    const int remaining = check_appointments(requests, count);
    check(remaining >= (count > 0 ? 1 : 0) && remaining <= count, "at least one request remains of any");
    sort_appointments(requests, remaining);
    for (int k = 1; k < remaining; ++k)
        check(slot_of(requests[k - 1]) < slot_of(requests[k]), "sorted, slots distinct");
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
                check(std::memcmp(&requests[k], &read[i], sizeof(appointment)) == 0,
                      "the first request of a slot survives whole");
        }
        check(found == 1, "every slot read is asked for once");
    }
    return remaining;
}

void check_written(const std::vector<appointment>& requests, int remaining) {
    fuzz::memory_output out;
    check(write_appointments(out.get(), requests, remaining), "the list is written");
    fuzz::check(out.close(), "a memory stream closes");
    const std::string_view lines = out.bytes();
    std::size_t ends = 0;
    for (char c : lines)
        ends += c == '\n';
    check(ends == static_cast<std::size_t>(remaining), "one line per request");
    check(lines.find('\0') == std::string_view::npos, "the list is plain text");
    check(remaining == 0 || lines.front() == ' ', "every line begins with a blank");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<appointment> requests(kTableSize);
    read_report report;
    const int count = get_appointments(fuzz::memory_input(data, size).get(), requests, kLimit, report);

    check(count >= 0 && count <= kLimit + 1, "at most limit + 1 records");
    // Eight separable fields each.
    check(static_cast<std::size_t>(count) * 8 <= size, "no more records than the input holds");
    if (report.problem == read_problem::malformed)
        check(report.record == count + 1, "the malformed record is the one after the last counted");
    for (int k = 0; k < count; ++k) {
        const appointment& a = requests[k];
        check(static_cast<std::uint32_t>(a.month) <= 12, "month unset or 1 to 12");
        check(a.name[0] == '\0' && a.surname[0] == '\0' && a.tag == kNoTag, "no names before pairing");
        check(a.minute >= -9 && a.minute <= 99 && a.hour >= -9 && a.hour <= 99, "%2d takes two characters");
        check(a.key1 >= -9999 && a.key1 <= 99999 && a.key2 >= -99999 && a.key2 <= 999999,
              "keys fit their widths");
    }
    check_written(requests, check_pipeline(requests, count));
    return 0;
}
