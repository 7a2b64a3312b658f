// slotplan: reads People.txt and AppointmentReqs.txt, attaches names, drops clashing
// requests, sorts the rest by date and time and writes Appointments.txt.
#include <array>
#include <cerrno>
#include <cstdio>
#include <new>
#include <string>

#include "common/own_input.h"
#include "common/process.h"
#include "slotplan.h"

namespace {

using namespace slotplan;

const char kSynopsis[] = "usage: slotplan [-h | --help | --version]\n";

const char kDescription[] =
    "Reads People.txt and AppointmentReqs.txt from the current directory, copies each\n"
    "person's names onto the request in the same record position when both keys agree,\n"
    "drops every request for a date and time an earlier request already asks for, sorts\n"
    "the rest by date and time and writes them to Appointments.txt. Each file is read up\n"
    "to 51 records. It takes no other arguments. A request dropped for a taken slot, and\n"
    "a date or time no calendar has, are named on standard error.\n"
    "Exit status: 0 on success; 1 if AppointmentReqs.txt cannot be opened or read,\n"
    "People.txt exists but cannot be read, a record is malformed (the records before it\n"
    "are still written), or Appointments.txt cannot be written; 2 for an unknown\n"
    "argument.\n";

// The counts of a run that did not write every request of its files: those read,
// dropped, written and left unread past the limit, and the people left unread.
std::string summary(const read_report& requests, int count, int remaining, const read_report& people, int persons) {
    std::string text = std::to_string(count) + " requests read, " + std::to_string(count - remaining) + " dropped, " +
                       std::to_string(remaining) + " written, " + std::to_string(requests.unread) + " left unread";
    if (people.problem == read_problem::beyond_limit)
        text += std::string("; ") + kPeopleFile + ": " + std::to_string(persons) + " people read, " +
                std::to_string(people.unread) + " left unread";
    return text;
}

int schedule() {
    // Replacing the list must never empty one of the files it is made from.
    if (suite::is_own_input(kAppointmentsFile, kPeopleFile) ||
        suite::is_own_input(kAppointmentsFile, kRequestsFile))
        return 1;
    std::array<person, kTableSize> people{};
    std::array<appointment, kTableSize> requests{};

    read_report people_report;
    int persons = get_people(kPeopleFile, people, kLimit, people_report);
    int status = 0;
    if (persons == kNotOpen && people_report.error == ENOENT) {
        persons = 0;   // no people file: requests go out without names
    } else {
        status = complain(kPeopleFile, people_report);
        if (stops_run(people_report))
            return status;
    }

    read_report report;
    const int count = get_appointments(kRequestsFile, requests, kLimit, report);
    status = suite::worse(status, complain(kRequestsFile, report));
    if (stops_run(report))
        return status;

    for (int k = 0; k < count; ++k)
        if (const std::string odd = odd_slot(requests[k]); !odd.empty())
            suite::report(kRequestsFile, "record " + std::to_string(k + 1) + " (" + keys_of(requests[k]) +
                                             ") asks for " + slot_text(requests[k]) + ": " + odd + "; kept");

    for (int k = 0; k < count; ++k)
        if (const int at = keys_elsewhere(requests, k, people, persons); at >= 0)
            suite::report(kRequestsFile, "line " + std::to_string(report.lines[static_cast<std::size_t>(k)]) +
                                             ", record " + std::to_string(k + 1) + " (" + keys_of(requests[k]) +
                                             ") has the keys of People.txt line " +
                                             std::to_string(people_report.lines[static_cast<std::size_t>(at)]) +
                                             ", record " + std::to_string(at + 1) + ": names pair by position, none attached");

    write_names(requests, count, people, persons);
    const int remaining = check_appointments(
        requests, count, [](const appointment& dropped, int at, const appointment& holder, int holder_at) {
            suite::report(kRequestsFile, "record " + std::to_string(at + 1) + " (" + keys_of(dropped) +
                                             ") asks for " + slot_text(dropped) + ", held by record " +
                                             std::to_string(holder_at + 1) + " (" + keys_of(holder) + "): dropped");
        });
    sort_appointments(requests, remaining);
    if (!write_appointments(kAppointmentsFile, requests, remaining))
        return 1;
    if (people_report.problem == read_problem::beyond_limit || report.problem == read_problem::beyond_limit ||
        remaining != count)
        suite::report(kRequestsFile, summary(report, count, remaining, people_report, persons));
    return status;
}

}  // namespace

int main(int argc, char** argv) try {
    if (const auto status = suite::open_run("slotplan", argc, argv, kSynopsis, kDescription, 0))
        return *status;
    const int status = schedule();
    return suite::worse(suite::close_stdout(), status);
} catch (const std::bad_alloc&) {
    return suite::report_no_memory();
}
