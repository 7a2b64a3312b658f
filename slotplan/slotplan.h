// slotplan: the appointment scheduler's records, its scanner and the readers of People.txt
// and AppointmentReqs.txt, the pipeline that pairs, thins and sorts, and the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace slotplan {

inline constexpr int kNameSize = 30;     // 29 characters and the terminating zero byte
inline constexpr int kLimit = 50;        // what main passes each reader; it stores limit + 1
inline constexpr int kTableSize = 100;   // entries of each table main owns
inline constexpr int kNotOpen = -1;      // a reader's result when its file cannot be opened
inline constexpr int kNoTag = ' ';       // the tag of a request paired with no person

inline constexpr char kPeopleFile[] = "People.txt";
inline constexpr char kRequestsFile[] = "AppointmentReqs.txt";
inline constexpr char kAppointmentsFile[] = "Appointments.txt";

// The file formats. A people record: key1 (at most 5 characters, sign included), key2
// (at most 6), name, surname and a one-character tag. A request: the two keys, year,
// month, day, hour, one separator character of any kind, and the minute.
inline constexpr char kPeopleFormat[] = "%5d%6d%s %s %c";
inline constexpr char kRequestFormat[] = "%5d %6d %d %d %d %2d%c%2d";

// One line of Appointments.txt is written in three pieces: the slot, the minute and the
// person. Minute 0 is written as two zeros, any other minute padded to two places.
inline constexpr char kSlotFormat[] = " %4d %2d %2d %2d%c";
inline constexpr char kMinuteZeroFormat[] = "0%d ";
inline constexpr char kMinuteFormat[] = "%2d ";
inline constexpr char kPersonFormat[] = " %5d%6d %-10s %-10s %c\n";

// The two messages users' scripts know, on standard output.
inline constexpr char kRequestsNotOpen[] = "ERROR!! File2 is not open!\n";
inline constexpr char kAppointmentsNotOpen[] = "ERROR!!!File3 is not open.";

struct person {
    std::int32_t key1;
    std::int32_t key2;
    char name[kNameSize];
    char surname[kNameSize];
    std::int32_t tag;           // a signed 8-bit character, widened
};

// unset stands for a month number outside 1 to 12; it sorts before January.
enum class month_of_year : std::uint32_t {
    unset, january, february, march, april, may, june,
    july, august, september, october, november, december
};

struct appointment {
    std::int32_t key1;
    std::int32_t key2;
    char name[kNameSize];       // name, surname and tag come from the paired person
    char surname[kNameSize];
    std::int32_t tag;
    std::int32_t year;
    month_of_year month;
    std::int32_t day;
    std::int32_t hour;
    std::int32_t minute;
};

// Formatted scanning of one record: whitespace in the format skips any white space,
// %d and %<width>d read an optionally signed decimal of at most width characters (sign
// included) after white space, %s a run of non-white characters after white space, %c
// exactly one character. Each conversion takes the next target: an int for %d, a text
// field for %s (a run that does not fit with its zero byte is refused), a char for %c.
using scan_target = std::variant<int*, std::span<char>, char*>;

enum class scan_status {
    complete,       // every conversion matched
    end_of_input,   // the input ran out before the first conversion
    no_match,       // a conversion met a character it cannot take
    too_long,       // a %s run does not fit its field
    out_of_range,   // a number outside the signed 32-bit range
    incomplete,     // the input ran out after the first conversion
    read_error,     // the stream reported an error
};

inline constexpr std::size_t kQuoteSize = 20;   // what a message quotes of a bad field

struct scan_result {
    scan_status status;
    int field;                  // the conversion that failed, counting from 0
    long line = 0;              // the line on which that conversion's field starts
    std::string found;          // up to kQuoteSize characters from there, within the line
    int error = 0;              // read_error: the system's error number
    // complete: the lines its first and last fields start on, and its text from its start
    // up to kQuoteSize characters, within its first line.
    long first_line = 0;
    long last_line = 0;
    std::string opening{};
};

// Scans one record; the lines it names count from where `in` stands, as line 1.
scan_result scan_record(std::FILE* in, const char* format, std::span<const scan_target> targets);

// What a reader met besides good records. The count it returns stays the count.
enum class read_problem {
    none,
    not_open,       // the file could not be opened: the result is kNotOpen
    malformed,      // record `record` did not scan whole; reading stopped before it
    beyond_limit,   // the table is full and the file holds more; the rest was not read
    read_error,     // the file could not be read to its end
};

// A record stored whole that runs across a line end: its number, counting from 1, and
// how it scanned.
struct split_record {
    int record;
    scan_result scan;
};

struct read_report {
    read_problem problem = read_problem::none;
    int record = 0;                 // malformed: the record's number, counting from 1;
                                    // beyond_limit: the number of records read
    scan_result scan{};             // malformed: how its scan failed
    const char* field = "";         // malformed: the field it failed at
    int error = 0;                  // not_open, read_error: the system's error number
    long long unread = 0;           // beyond_limit: the records left, counted up to the
                                    // end of the file or the first that does not scan
    std::vector<long> lines{};      // the line each stored record starts on
    std::vector<split_record> split{};
};

// The readers store at most limit + 1 records (and never more than the table holds),
// each cleared before it is filled; a request's tag is kNoTag until a person is paired.
int get_people(const char* path, std::span<person> table, int limit, read_report& report);
int get_people(std::FILE* in, std::span<person> table, int limit, read_report& report);
// The path variant prints kRequestsNotOpen on standard output when it cannot open.
int get_appointments(const char* path, std::span<appointment> table, int limit, read_report& report);
int get_appointments(std::FILE* in, std::span<appointment> table, int limit, read_report& report);

// Prints what the report says on standard error as "slotplan: <path>: ...", the records
// that run across a line end first; returns the
// exit status it calls for: 1 for a file not opened, not read or malformed, else 0.
int complain(const char* path, const read_report& report);
// True when the run cannot go on after this report (nothing trustworthy was read).
bool stops_run(const read_report& report);

void write_names(std::span<appointment> requests, int request_count,
                 std::span<const person> people, int person_count);
// The position of the first person whose keys are those of request `at`, when that
// request gets no names because the person stands elsewhere; -1 otherwise.
int keys_elsewhere(std::span<const appointment> requests, int at,
                   std::span<const person> people, int person_count);
int check_appointments(std::span<appointment> requests, int count);
// The same, calling on_drop for each request dropped with the earlier request that holds
// its slot, and the positions of both in input order (from 0).
using drop_notice = std::function<void(const appointment& dropped, int dropped_at,
                                       const appointment& holder, int holder_at)>;
int check_appointments(std::span<appointment> requests, int count, const drop_notice& on_drop);

// What no calendar or clock has in a request ("" when its date and time exist): a month
// outside 1 to 12, a day its month lacks, an hour outside 0 to 23, a minute outside 0 to 59.
std::string odd_slot(const appointment& a);
// "2025-03-14 10:30" ("??" for a month outside 1 to 12), and "10234 501877".
std::string slot_text(const appointment& a);
std::string keys_of(const appointment& a);
void sort_appointments(std::span<appointment> requests, int count);
void swap(std::span<appointment> requests, int a, int b);

// True when every line was written. The path variant replaces the file; when it cannot
// open it, it prints kAppointmentsNotOpen on standard output; on any failure it says why
// on standard error.
bool write_appointments(const char* path, std::span<const appointment> table, int count);
bool write_appointments(std::FILE* out, std::span<const appointment> table, int count);

}  // namespace slotplan
