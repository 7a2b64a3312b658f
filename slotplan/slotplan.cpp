// slotplan's pipeline after the readers: the pairing of names, the removal of clashing
// requests, the sort by date and time, the texts of a slot, and the writer.
#include "slotplan.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "common/output/output_file.h"
#include "common/own_input.h"
#include "common/process.h"

namespace slotplan {

namespace {

// A count never reaches past its table, whatever a caller passes.
int within(std::size_t size, int count) {
    return static_cast<int>(std::clamp<long long>(count, 0, static_cast<long long>(size)));
}

auto slot_of(const appointment& a) {
    return std::tuple(a.year, static_cast<std::uint32_t>(a.month), a.day, a.hour, a.minute);
}

bool comes_after(const appointment& a, const appointment& b) {
    return slot_of(a) > slot_of(b);
}

}  // namespace

// Pairs by record position only: request k with person k.
void write_names(std::span<appointment> requests, int request_count,
                 std::span<const person> people, int person_count) {
    const int pairs = std::min(within(requests.size(), request_count), within(people.size(), person_count));
    for (int k = 0; k < pairs; ++k) {
        const person& p = people[k];
        appointment& a = requests[k];
        if (p.key1 == a.key1 && p.key2 == a.key2) {
            std::memcpy(a.name, p.name, sizeof a.name);
            std::memcpy(a.surname, p.surname, sizeof a.surname);
            a.tag = p.tag;
        }
    }
}

int keys_elsewhere(std::span<const appointment> requests, int at,
                   std::span<const person> people, int person_count) {
    person_count = within(people.size(), person_count);
    const appointment& a = requests[static_cast<std::size_t>(at)];
    const auto same_keys = [&a](const person& p) { return p.key1 == a.key1 && p.key2 == a.key2; };
    if (at < person_count && same_keys(people[static_cast<std::size_t>(at)]))
        return -1;
    const auto found = std::find_if(people.begin(), people.begin() + person_count, same_keys);
    return found == people.begin() + person_count ? -1 : static_cast<int>(found - people.begin());
}

// The first request of each slot, in input order, moves down to the front of the table;
// a later request for a slot already kept is dropped, whoever asks.
int check_appointments(std::span<appointment> requests, int count) {
    return check_appointments(requests, count, nullptr);
}

int check_appointments(std::span<appointment> requests, int count, const drop_notice& on_drop) {
    count = within(requests.size(), count);
    std::vector<int> kept_from;   // the input position of each kept request
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        const auto taken = [&](const appointment& k) { return slot_of(k) == slot_of(requests[i]); };
        const auto holder = std::find_if(requests.begin(), requests.begin() + kept, taken);
        if (holder != requests.begin() + kept) {
            if (on_drop)
                on_drop(requests[i], i, *holder, kept_from[static_cast<std::size_t>(holder - requests.begin())]);
            continue;
        }
        if (kept != i)
            requests[kept] = requests[i];
        kept_from.push_back(i);
        ++kept;
    }
    return kept;
}

std::string odd_slot(const appointment& a) {
    using namespace std::chrono;
    std::string odd;
    const auto add = [&odd](const std::string& what) {
        if (!odd.empty())
            odd += ", ";
        odd += what;
    };
    if (a.month == month_of_year::unset) {
        add("the month is not 1 to 12");
    } else {
        const year_month_day date{year{a.year}, month{static_cast<unsigned>(a.month)},
                                  day{static_cast<unsigned>(a.day)}};
        if (a.year < static_cast<int>(year::min()) || a.year > static_cast<int>(year::max()))
            add("the year is beyond the calendar");
        else if (a.day < 1 || !date.ok())
            add("the month has no day " + std::to_string(a.day));
    }
    if (a.hour < 0 || a.hour > 23 || a.minute < 0 || a.minute > 59)
        add("the time is not between 0:00 and 23:59");
    return odd;
}

std::string slot_text(const appointment& a) {
    char month[16] = "??";
    if (a.month != month_of_year::unset)
        std::snprintf(month, sizeof month, "%02u", static_cast<unsigned>(a.month));
    char text[80];
    std::snprintf(text, sizeof text, "%d-%s-%02d %02d:%02d", a.year, month, a.day, a.hour, a.minute);
    return text;
}

std::string keys_of(const appointment& a) {
    return std::to_string(a.key1) + " " + std::to_string(a.key2);
}

// Exchange sort: position i receives the earliest of the requests from i on.
void sort_appointments(std::span<appointment> requests, int count) {
    count = within(requests.size(), count);
    for (int i = 0; i < count; ++i)
        for (int j = i + 1; j < count; ++j)
            if (comes_after(requests[i], requests[j]))
                swap(requests, i, j);
}

void swap(std::span<appointment> requests, int a, int b) {
    std::swap(requests[a], requests[b]);
}

bool write_appointments(std::FILE* out, std::span<const appointment> table, int count) {
    count = within(table.size(), count);
    for (int k = 0; k < count; ++k) {
        const appointment& a = table[k];
        std::fprintf(out, kSlotFormat, a.year, static_cast<int>(a.month), a.day, a.hour, ':');
        if (a.minute == 0)
            std::fprintf(out, kMinuteZeroFormat, a.minute);
        else
            std::fprintf(out, kMinuteFormat, a.minute);
        std::fprintf(out, kPersonFormat, a.key1, a.key2, a.name, a.surname, a.tag);
    }
    return std::ferror(out) == 0;
}

bool write_appointments(const char* path, std::span<const appointment> table, int count) {
    suite::output_file out(path);
    if (const int error = out.open()) {
        std::fputs(kAppointmentsNotOpen, stdout);
        suite::report_error(out.blamed(), error);
        return false;
    }
    if (suite::is_own_input(out, kPeopleFile) || suite::is_own_input(out, kRequestsFile))
        return false;
    write_appointments(out.stream(), table, count);
    return !suite::report_outcome(path, out.commit());
}

}  // namespace slotplan
