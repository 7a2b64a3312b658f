// slotplan: the scanner behind both readers, the readers, the pairing, clash removal
// and sort of the requests, and the writer of Appointments.txt.
#include "slotplan.h"

#include "common/output_file.h"
#include "common/process.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace slotplan {
namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file = std::unique_ptr<std::FILE, file_closer>;

// White space as the C locale's formatted input knows it.
bool is_white(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(int c) {
    return c >= '0' && c <= '9';
}

}  // namespace

int source::get() {
    const int c = std::getc(in);
    if (c == '\n')
        ++line;
    if (c != EOF)
        after_line_end = c == '\n';
    if (c == EOF && std::ferror(in) && error == 0)
        error = suite::last_error();
    last_recorded = recording && c != EOF && recorded.size() < kQuoteSize;
    if (last_recorded)
        recorded += static_cast<char>(c);
    return c;
}

// Called only right after get() returned c.
void source::unget(int c) {
    if (c == EOF)
        return;
    if (c == '\n')
        --line;
    if (last_recorded)
        recorded.pop_back();
    last_recorded = false;
    std::ungetc(c, in);
}

namespace {

// Consumes white space; returns the first other character (or EOF), left unread.
int skip_white(source& in) {
    int c;
    while (is_white(c = in.get())) {
    }
    in.unget(c);
    return c;
}

constexpr int kNoWidth = 0;

// Reads an optionally signed decimal of at most `width` characters, sign included.
scan_status scan_number(source& in, int width, int& target) {
    if (skip_white(in) == EOF)
        return scan_status::incomplete;
    const long long limit = width == kNoWidth ? -1 : width;
    long long used = 0;
    int c = in.get();
    const bool negative = c == '-';
    if (c == '-' || c == '+')
        c = ++used == limit ? EOF : in.get();
    long long value = 0;
    bool digits = false;
    bool too_big = false;
    for (; is_digit(c); c = ++used == limit ? EOF : in.get()) {
        digits = true;
        value = value * 10 + (c - '0');
        if (value > 2147483648LL) {
            too_big = true;
            value = 2147483648LL;   // keeps counting from overflowing; the record is refused
        }
    }
    in.unget(c);
    // A lone sign is a bad number, not the end of the input.
    if (!digits)
        return scan_status::no_match;
    if (too_big || (!negative && value > 2147483647LL))
        return scan_status::out_of_range;
    target = static_cast<int>(negative ? -value : value);
    return scan_status::complete;
}

// Reads a run of non-white characters; a run that does not fit with its zero byte is read
// whole but refused, and the field keeps only what fits.
scan_status scan_text(source& in, std::span<char> target) {
    if (target.empty())
        std::abort();   // a text field always has room for its zero byte
    if (skip_white(in) == EOF)
        return scan_status::incomplete;
    std::size_t length = 0;
    int c;
    while ((c = in.get()) != EOF && !is_white(c)) {
        if (length + 1 < target.size())
            target[length] = static_cast<char>(c);
        ++length;
    }
    in.unget(c);
    target[std::min(length, target.size() - 1)] = '\0';
    return length < target.size() ? scan_status::complete : scan_status::too_long;
}

scan_status scan_char(source& in, char& target) {
    const int c = in.get();
    if (c == EOF)
        return scan_status::incomplete;
    target = static_cast<char>(c);
    return scan_status::complete;
}

// Runs one conversion starting at format[at]; moves `at` past it. The field starts
// after the white space a %d or %s skips.
scan_status convert(source& in, const char* format, std::size_t& at, const scan_target& target,
                    long& field_line) {
    int width = kNoWidth;
    for (++at; is_digit(format[at]); ++at)
        width = width * 10 + (format[at] - '0');
    const char kind = format[at++];
    if (kind != 'c')
        skip_white(in);
    field_line = in.line;
    in.recorded.clear();
    in.recording = true;
    if (kind == 'd' && std::holds_alternative<int*>(target))
        return scan_number(in, width, *std::get<int*>(target));
    if (kind == 's' && width == kNoWidth && std::holds_alternative<std::span<char>>(target))
        return scan_text(in, std::get<std::span<char>>(target));
    if (kind == 'c' && width == kNoWidth && std::holds_alternative<char*>(target))
        return scan_char(in, *std::get<char*>(target));
    std::abort();   // the formats are constants of this program; a mismatch is a bug
}

// After a failed conversion: the rest of its line, up to the quote's size.
void record_rest_of_line(source& in) {
    for (int c; in.recorded.size() < kQuoteSize && (c = in.get()) != EOF;) {
        if (c == '\n') {
            in.recorded.pop_back();   // reading stops here: the line end stays read
            break;
        }
    }
}

}  // namespace

scan_result scan_record(source& in, const char* format, std::span<const scan_target> targets) {
    int field = 0;
    long field_line = in.line;
    scan_status status = scan_status::complete;
    for (std::size_t at = 0; format[at] != '\0' && status == scan_status::complete;) {
        if (is_white(format[at])) {
            skip_white(in);
            ++at;
        } else if (format[at] == '%') {
            if (static_cast<std::size_t>(field) >= targets.size())
                std::abort();
            status = convert(in, format, at, targets[field], field_line);
            if (status == scan_status::complete)
                ++field;
        } else {
            std::abort();   // the file formats hold only white space and conversions
        }
    }
    if (status != scan_status::complete && status != scan_status::incomplete)
        record_rest_of_line(in);
    // A file that ends inside a record ends on its last line, not the one after it.
    if (status == scan_status::incomplete && in.after_line_end)
        field_line = in.line - 1;
    in.recording = false;
    if (in.error != 0)
        return {scan_status::read_error, field, field_line, "", in.error};
    if (status == scan_status::incomplete && field == 0)
        return {scan_status::end_of_input, 0, 0, {}, 0};
    if (status == scan_status::complete)
        return {status, field, 0, {}, 0};
    return {status, field, field_line, in.recorded, 0};
}

scan_result scan_record(std::FILE* in, const char* format, std::span<const scan_target> targets) {
    source from(in);
    return scan_record(from, format, targets);
}

namespace {

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
        } else if (scan.status != scan_status::complete) {
            report.problem = read_problem::malformed;
            report.record = count + 1;
            report.scan = scan;
            report.field = field_names[scan.field];
        } else {
            table[count++] = record;
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
    const file in(std::fopen(path, "r"));
    if (!in) {
        report = {read_problem::not_open, 0, {}, "", errno};
        return kNotOpen;
    }
    return get_people(in.get(), table, limit, report);
}

int get_appointments(const char* path, std::span<appointment> table, int limit, read_report& report) {
    const file in(std::fopen(path, "r"));
    if (!in) {
        report = {read_problem::not_open, 0, {}, "", errno};
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
        suite::report_error(path, error);
        return false;
    }
    write_appointments(out.stream(), table, count);
    if (const int error = out.commit()) {
        suite::report_error(path, error);
        return false;
    }
    return true;
}

}  // namespace slotplan
