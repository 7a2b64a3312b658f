// slotplan's readers of People.txt and AppointmentReqs.txt, which stop at a malformed
// record or a full table, and the messages of what they met.
#include <algorithm>
#include <string>

#include "common/file.h"
#include "common/process.h"
#include "scan.h"
#include "slotplan.h"

namespace slotplan {
namespace {

// The records from one already scanned to the end of the file, or to the first that does
// not scan whole, which counts too: a scan that fails may fail again at the same place.
template <typename Record, typename ScanOne>
long long count_rest(const scan_result& first, ScanOne scan_one) {
    long long count = 0;
    for (scan_result scan = first;;) {
        if (scan.status == scan_status::end_of_input || scan.status == scan_status::read_error)
            return count;
        ++count;
        if (scan.status != scan_status::complete)
            return count;
        Record scratch{};
        scan = scan_one(scratch);
    }
}

// The loop both readers share: scan a record into a cleared one, and store it while the
// table has room for limit + 1 records. Stops at the end, at a malformed record, at a read
// error, or at the first record beyond the room.
template <typename Record, typename ScanOne>
int read_records(std::span<Record> table, int limit, read_report& report,
                 const char* const* field_names, ScanOne scan_one) {
    report = {};
    const long long room = std::clamp<long long>(static_cast<long long>(limit) + 1, 0,
                                                 static_cast<long long>(table.size()));
    int count = 0;
    for (;;) {
        Record record{};
        const scan_result scan = scan_one(record);
        if (scan.status == scan_status::read_error) {
            report.problem = read_problem::read_error;
            report.error = scan.error;
        } else if (scan.status == scan_status::end_of_input) {
        } else if (count == room) {
            report.problem = read_problem::beyond_limit;
            report.record = count;
            report.unread = count_rest<Record>(scan, scan_one);
        } else if (scan.status != scan_status::complete) {
            report.problem = read_problem::malformed;
            report.record = count + 1;
            report.scan = scan;
            report.field = field_names[scan.field];
        } else {
            table[count++] = record;
            report.lines.push_back(scan.first_line);
            if (scan.last_line != scan.first_line)
                report.split.push_back({count, scan});
            continue;
        }
        return count;
    }
}

constexpr const char* kPeopleFields[] = {"key1", "key2", "name", "surname", "tag"};
constexpr const char* kRequestFields[] = {"key1", "key2", "year", "month",
                                          "day", "hour", "separator", "minute"};

}  // namespace

int get_people(std::FILE* file, std::span<person> table, int limit, read_report& report) {
    source in(file);
    return read_records(table, limit, report, kPeopleFields, [&in](person& p) {
        char tag = 0;
        const scan_target targets[] = {&p.key1, &p.key2, std::span<char>(p.name),
                                       std::span<char>(p.surname), &tag};
        const scan_result scan = scan_record(in, kPeopleFormat, targets);
        p.tag = static_cast<signed char>(tag);
        return scan;
    });
}

int get_appointments(std::FILE* file, std::span<appointment> table, int limit, read_report& report) {
    source in(file);
    return read_records(table, limit, report, kRequestFields, [&in](appointment& a) {
        int month = 0;
        char separator = 0;
        const scan_target targets[] = {&a.key1, &a.key2, &a.year, &month,
                                       &a.day, &a.hour, &separator, &a.minute};
        const scan_result scan = scan_record(in, kRequestFormat, targets);
        if (month >= 1 && month <= 12)
            a.month = static_cast<month_of_year>(month);
        a.tag = kNoTag;
        return scan;
    });
}

int get_people(const char* path, std::span<person> table, int limit, read_report& report) {
    const suite::file_ptr in(std::fopen(path, "r"));
    if (!in) {
        const int error = suite::last_error();
        report = {.problem = read_problem::not_open, .error = error};
        return kNotOpen;
    }
    return get_people(in.get(), table, limit, report);
}

int get_appointments(const char* path, std::span<appointment> table, int limit, read_report& report) {
    const suite::file_ptr in(std::fopen(path, "r"));
    if (!in) {
        const int error = suite::last_error();
        report = {.problem = read_problem::not_open, .error = error};
        std::fputs(kRequestsNotOpen, stdout);
        return kNotOpen;
    }
    return get_appointments(in.get(), table, limit, report);
}

namespace {

const char* why_malformed(scan_status status) {
    switch (status) {
    case scan_status::no_match: return "is not a number";
    case scan_status::too_long: return "is longer than 29 characters";
    case scan_status::out_of_range: return "is out of the signed 32-bit range";
    default: return "is missing: the file ends inside the record";
    }
}

}  // namespace

int complain(const char* path, const read_report& report) {
    for (const split_record& r : report.split)
        suite::report(path, "line " + std::to_string(r.scan.first_line) + ", record " + std::to_string(r.record) +
                                ": runs on to line " + std::to_string(r.scan.last_line) + ": " +
                                suite::quote_argument(r.scan.opening));
    switch (report.problem) {
    case read_problem::none:
        return 0;
    case read_problem::beyond_limit:
        suite::report(path, "more than " + std::to_string(report.record) +
                                " records; the rest of the file was not read");
        return 0;
    case read_problem::malformed:
    {
        std::string what = "line " + std::to_string(report.scan.line) + ", record " +
                           std::to_string(report.record) + ": " + report.field + " " +
                           why_malformed(report.scan.status);
        // A file that ends inside the record shows nothing there to quote.
        if (report.scan.status != scan_status::incomplete)
            what += ": " + suite::quote_argument(report.scan.found);
        suite::report(path, what);
    }
        return 1;
    case read_problem::not_open:
    case read_problem::read_error:
        suite::report_error(path, report.error);
        return 1;
    }
    return 1;
}

bool stops_run(const read_report& report) {
    return report.problem == read_problem::not_open || report.problem == read_problem::read_error;
}

}  // namespace slotplan
