// Fuzz target: the People.txt reader on arbitrary bytes, with the invariants every
// reading must keep.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "slotplan.h"

using namespace slotplan;

namespace {

void check(bool holds) {
    if (!holds)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<char> bytes(data, data + size);
    std::FILE* in = fmemopen(bytes.data(), bytes.size(), "r");
    if (in == nullptr)
        return 0;
    std::vector<person> people(kTableSize);
    read_report report;
    const int count = get_people(in, people, kLimit, report);
    std::fclose(in);

    check(count >= 0 && count <= kLimit + 1);
    // Every stored record took at least its four separable fields from the input.
    check(static_cast<std::size_t>(count) * 4 <= size);
    check(report.problem != read_problem::not_open && report.problem != read_problem::read_error);
    if (report.problem == read_problem::malformed)
        check(report.record == count + 1);
    if (report.problem == read_problem::beyond_limit)
        check(count == kLimit + 1);
    for (int k = 0; k < kTableSize; ++k) {
        check(std::memchr(people[k].name, '\0', kNameSize) != nullptr);
        check(std::memchr(people[k].surname, '\0', kNameSize) != nullptr);
        check(people[k].tag >= -128 && people[k].tag <= 127);
        if (k >= count)
            check(people[k].key1 == 0 && people[k].name[0] == '\0' && people[k].tag == 0);
    }
    return 0;
}
