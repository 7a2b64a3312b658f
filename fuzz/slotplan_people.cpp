// Fuzz target: the People.txt reader on arbitrary bytes, with the invariants every
// reading must keep.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "slotplan.h"

using namespace slotplan;
using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<person> people(kTableSize);
    read_report report;
    const int count = get_people(fuzz::memory_input(data, size).get(), people, kLimit, report);

    check(count >= 0 && count <= kLimit + 1, "at most limit + 1 records");
    // Every stored record took at least its four separable fields from the input.
    check(static_cast<std::size_t>(count) * 4 <= size, "no more records than the input holds");
    check(report.problem != read_problem::not_open && report.problem != read_problem::read_error,
          "a memory stream opens and reads");
    if (report.problem == read_problem::malformed)
        check(report.record == count + 1, "the malformed record is the one after the last counted");
    if (report.problem == read_problem::beyond_limit)
        check(count == kLimit + 1, "the limit stops only a full table");
    for (int k = 0; k < kTableSize; ++k) {
        check(std::memchr(people[k].name, '\0', kNameSize) != nullptr, "name ends in its field");
        check(std::memchr(people[k].surname, '\0', kNameSize) != nullptr, "surname ends in its field");
        check(people[k].tag >= -128 && people[k].tag <= 127, "tag is a signed character");
        if (k >= count)
            check(people[k].key1 == 0 && people[k].name[0] == '\0' && people[k].tag == 0,
                  "entries past the count stay cleared");
    }
    return 0;
}
