// The reqpack record library: option parsing, the 12-byte request records and their
// file, and the readable and parameters exports.
#include "part1.h"

#include <sys/stat.h>

#include <array>
#include <string>

#include "common/coding.h"
#include "common/file.h"
#include "common/int32.h"
#include "common/process.h"

const char* const records_file_n = "Records.bin";
const char* const patients_file_n = "Patients.xml";
const char* const delete_file_n = "Delete.txt";
const char* const readable_records_file_n = "Records.xml";
const char* const accepted_appo_file_n = "Appointments.csv";
const char* const parameters_file_n = "Parameters.txt";

namespace {

// Printed by getRequests on standard output, as it always was, when the records file
// cannot be opened.
const char kReadRecordsMessage[] = "check records file name";
// Printed by the two exports when their file cannot be opened. The misspelling and the
// blank at the end are part of the second.
const char kOpenReadableMessage[] = "Check readable records file name";
const char kOpenParametersMessage[] = "Check paramerters file name ";

// Where the value after each option letter goes: a file name or an hour.
struct option_target {
    char letter;
    const char* file_names::*name;
    std::int32_t hour_range::*hour;
};

constexpr option_target kOptions[] = {
    {'c', &file_names::accepted_appo_file, nullptr},
    {'d', &file_names::delete_file, nullptr},
    {'e', nullptr, &hour_range::end_hour},
    {'p', &file_names::patients_file, nullptr},
    {'r', &file_names::records_file, nullptr},
    {'s', nullptr, &hour_range::start_hour},
    {'t', &file_names::parameters_file, nullptr},
    {'x', &file_names::readable_records_file, nullptr},
};

const option_target* find_option(char letter) {
    for (const auto& option : kOptions)
        if (option.letter == letter)
            return &option;
    return nullptr;
}

// Applies one option; false after a message when its value cannot be taken.
bool apply_option(const option_target& option, const char* value, hour_range& hours,
                  file_names& names) {
    if (option.name != nullptr) {
        names.*option.name = value;
        if (*value != '\0')
            return true;
        suite::report(std::string("option -") + option.letter, "the file name is empty");
        return false;
    }
    // atoi's reading, but a value beyond 32 bits is refused rather than made up.
    if (suite::parse_int32(value, hours.*option.hour))
        return true;
    suite::report(std::string("option -") + option.letter, suite::quote_name(value) + ": hour out of range");
    return false;
}

}  // namespace

bool get_main_arguments(int argc, char** argv, hour_range& hours, file_names& names) {
    names = {records_file_n, patients_file_n, delete_file_n,
             readable_records_file_n, accepted_appo_file_n, parameters_file_n};
    hours = {kDefaultStartHour, kDefaultEndHour};
    bool ok = true;
    for (int index = 1; index < argc; index += 2) {
        const char* argument = argv[index];
        // Only the second character counts; the first may be a dash, a slash, anything.
        const char letter = argument[0] != '\0' ? argument[1] : '\0';
        const option_target* option = find_option(letter);
        if (option == nullptr) {
            // The pair is skipped as always; only the user learns of it now.
            suite::warn("option %s: unknown, ignored", suite::quote_argument(argument).c_str());
            continue;
        }
        if (index + 1 >= argc) {
            suite::warn("option -%c needs a value", letter);
            ok = false;
            continue;
        }
        ok = apply_option(*option, argv[index + 1], hours, names) && ok;
    }
    return ok;
}

void encode_request(const request_record& record, unsigned char* out) {
    suite::put_int32(out + kAppIdOffset, record.app_id);
    suite::put_int32(out + kPatientIdOffset, record.patient_id);
    suite::put_int32(out + kHourOffset, record.hour);
}

request_record decode_request(const unsigned char* in) {
    return {suite::get_int32(in + kAppIdOffset), suite::get_int32(in + kPatientIdOffset),
            suite::get_int32(in + kHourOffset)};
}

namespace {

// Large blocks of whole records, so that only the last block can end inside one.
constexpr std::size_t kReadBlock = kRecordSize * 8192;

// The size of a regular file from here to its end; 0 when it cannot be told.
std::size_t remaining_size(std::FILE* file) {
    struct stat info;
    const int fd = fileno(file);
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return 0;
    const long at = std::ftell(file);
    if (at < 0 || at > info.st_size)
        return 0;
    return static_cast<std::size_t>(info.st_size - at);
}

// The one reader of a records file behind getRequests and read_records_file, which
// differ only in how they tell of a failure.
struct records_read {
    bool opened;
    int error;
};

records_read read_records(const char* path, std::vector<request_record>& records) {
    records.clear();
    suite::file_ptr file(std::fopen(path, "rb"));
    if (!file)
        return {false, suite::last_error()};
    return {true, read_requests(file.get(), remaining_size(file.get()), records)};
}

}  // namespace

int read_requests(std::FILE* in, std::size_t size_hint, std::vector<request_record>& records) {
    records.clear();
    records.reserve(size_hint / kRecordSize);
    std::vector<unsigned char> block(kReadBlock);
    for (;;) {
        const std::size_t got = std::fread(block.data(), 1, block.size(), in);
        if (got < block.size() && std::ferror(in)) {
            records.clear();
            return suite::last_error();
        }
        for (std::size_t at = 0; at + kRecordSize <= got; at += kRecordSize)
            records.push_back(decode_request(block.data() + at));
        if (got < block.size())
            break;
    }
    return 0;
}

std::vector<request_record> getRequests(const file_names& names) {
    std::vector<request_record> records;
    const records_read result = read_records(names.records_file, records);
    if (!result.opened)
        std::printf("%s\n", kReadRecordsMessage);
    else if (result.error != 0)
        suite::report_error(names.records_file, result.error);
    return records;
}

int read_records_file(const char* path, std::vector<request_record>& records) {
    return read_records(path, records).error;
}

void write_appointments(std::FILE* out, const request_record* records, std::int32_t count) {
    std::fprintf(out, kSizeLine, count);
    std::fputs(kRecordsOpen, out);
    for (std::int32_t k = 0; k < count; ++k) {
        std::fputs(kAppointmentOpen, out);
        std::fprintf(out, kAppIdLine, records[k].app_id);
        std::fprintf(out, kPatientIdLine, records[k].patient_id);
        std::fprintf(out, kHourLine, records[k].hour);
        std::fputs(kAppointmentClose, out);
    }
    std::fputs(kRecordsClose, out);
}

void print_parameters(std::FILE* out, const file_names& names, const hour_range& hours) {
    const char* const lines[] = {names.records_file, names.patients_file, names.delete_file,
                                 names.readable_records_file, names.accepted_appo_file,
                                 names.parameters_file};
    for (const char* name : lines)
        std::fprintf(out, kNameLine, name);
    std::fprintf(out, kHourValueLine, hours.start_hour);
    std::fprintf(out, kHourValueLine, hours.end_hour);
}

export_file readable_export(std::vector<request_record> records, std::int32_t count, const file_names& names) {
    return {names.readable_records_file, "the readable file", kOpenReadableMessage,
            [records = std::move(records), count](std::FILE* out) { write_appointments(out, records.data(), count); }};
}

export_file parameters_export(const file_names& names, hour_range hours) {
    std::array<std::string, 6> own = {names.records_file, names.patients_file, names.delete_file,
                                      names.readable_records_file, names.accepted_appo_file, names.parameters_file};
    return {names.parameters_file, "the parameters file", kOpenParametersMessage,
            [own = std::move(own), hours](std::FILE* out) {
                const file_names view = {own[0].c_str(), own[1].c_str(), own[2].c_str(),
                                         own[3].c_str(), own[4].c_str(), own[5].c_str()};
                print_parameters(out, view, hours);
            }};
}

void write_appointments(const request_record* records, std::int32_t count, const file_names& names) {
    std::vector<request_record> table;
    if (count > 0)
        table.assign(records, records + count);
    const export_file file = readable_export(std::move(table), count, names);
    write_exports({&file, 1}, legacy_lines::print);
}

void print_parameters(const file_names& names, const hour_range& hours) {
    const export_file file = parameters_export(names, hours);
    write_exports({&file, 1}, legacy_lines::print);
}
