// The reqpack record library: the run settings taken from the command line, the
// 12-byte request record and its file, and the two readable text exports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "export.h"

// Each field refers to one of the default globals below or to an argument of the
// command line itself; no text is copied.
struct file_names {
    const char* records_file;
    const char* patients_file;
    const char* delete_file;
    const char* readable_records_file;
    const char* accepted_appo_file;
    const char* parameters_file;
};

struct hour_range {
    std::int32_t start_hour;
    std::int32_t end_hour;
};

struct request_record {
    std::int32_t app_id;
    std::int32_t patient_id;
    std::int32_t hour;
};

extern const char* const records_file_n;
extern const char* const patients_file_n;
extern const char* const delete_file_n;
extern const char* const readable_records_file_n;
extern const char* const accepted_appo_file_n;
extern const char* const parameters_file_n;

inline constexpr std::int32_t kDefaultStartHour = 9;
inline constexpr std::int32_t kDefaultEndHour = 17;

// Fills both settings from the defaults and the options "-<letter> <value>". The
// argument index always advances by 2, so an unknown letter also skips the argument
// after it. Returns false, after a message on standard error, when one of the eight
// letters stands last without a value or an hour lies outside the 32-bit range.
bool get_main_arguments(int argc, char** argv, hour_range& hours, file_names& names);

// A record in the records file is 12 bytes, no header and no padding between records:
//   offset 0  app_id      4 bytes, little-endian two's complement
//   offset 4  patient_id  4 bytes, little-endian two's complement
//   offset 8  hour        4 bytes, little-endian two's complement
inline constexpr std::size_t kAppIdOffset = 0;
inline constexpr std::size_t kPatientIdOffset = 4;
inline constexpr std::size_t kHourOffset = 8;
inline constexpr std::size_t kRecordSize = 12;
static_assert(kHourOffset + 4 == kRecordSize);

void encode_request(const request_record& record, unsigned char* out);
request_record decode_request(const unsigned char* in);

// Reads every complete record from the stream into `records`, reserving room for
// `size_hint` bytes first; a trailing piece shorter than a record is not counted.
// Returns 0, or the error number of a read error, with `records` cleared.
int read_requests(std::FILE* in, std::size_t size_hint, std::vector<request_record>& records);

// The whole records file as a table that belongs to the caller. An empty table when
// the file cannot be opened ("check records file name" on standard output) or read
// (a message on standard error).
std::vector<request_record> getRequests(const file_names& names);

// The same table for callers that report failures themselves: 0, or the error number
// of the open or the read that failed, with `records` empty. No message.
int read_records_file(const char* path, std::vector<request_record>& records);

// The readable records file: a size line, then five tagged lines per record.
inline constexpr char kSizeLine[] = "<Size>%d</Size>\n";
inline constexpr char kRecordsOpen[] = "<Records>\n \t";
inline constexpr char kAppointmentOpen[] = "<Appointment>\n \t\t";
inline constexpr char kAppIdLine[] = "<app_id> %d </app_id>\n \t\t";
inline constexpr char kPatientIdLine[] = "<patient_id> %d </patient_id>\n \t\t";
inline constexpr char kHourLine[] = "<hour> %d </hour>\n \t";
inline constexpr char kAppointmentClose[] = "</Appointment>\n \t";
inline constexpr char kRecordsClose[] = "</Records>\n";

// The parameters file: the six names, then the start and the end hour.
inline constexpr char kNameLine[] = "%-20s\n";
inline constexpr char kHourValueLine[] = "%-5d\n";

// Writes the first `count` records (none when count is not positive) to the readable
// records file. Both exports replace their file only once it is written whole.
void write_appointments(const request_record* records, std::int32_t count, const file_names& names);

// Writes the six file names and the hour range to the parameters file.
void print_parameters(const file_names& names, const hour_range& hours);

// The bytes of both exports, written to a stream the caller opened and checks.
void write_appointments(std::FILE* out, const request_record* records, std::int32_t count);
void print_parameters(std::FILE* out, const file_names& names, const hour_range& hours);

// The two exports as files for write_exports (export.h). Each keeps its own copy of
// what it writes: the records and the count, or the six names and the hours.
export_file readable_export(std::vector<request_record> records, std::int32_t count, const file_names& names);
export_file parameters_export(const file_names& names, hour_range hours);
