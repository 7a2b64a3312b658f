// The reqpack record library: option parsing, the 12-byte request records and their
// file, and the readable and parameters exports.
#include "part1.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

const char* const records_file_n = "Records.bin";
const char* const patients_file_n = "Patients.xml";
const char* const delete_file_n = "Delete.txt";
const char* const readable_records_file_n = "Records.xml";
const char* const accepted_appo_file_n = "Appointments.csv";
const char* const parameters_file_n = "Parameters.txt";

namespace {

const char kOpenRecordsMessage[] = "check records file name";
const char kOpenReadableMessage[] = "Check readable records file name";
// The misspelling and the blank at the end are part of the message.
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

bool is_c_space(int c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads an hour as atoi does (leading white space, an optional sign, the digits up to
// the first other character, no digits give 0), but notices a value that does not
// fit in 32 bits instead of making one up.
bool parse_hour(const char* text, std::int32_t& hour) {
    while (is_c_space(static_cast<unsigned char>(*text)))
        ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    const std::int64_t limit = negative ? 2147483648LL : 2147483647LL;
    std::int64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > limit)
            return false;
    }
    hour = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    return true;
}

// Applies one option; false after a message when its value cannot be taken.
bool apply_option(const option_target& option, const char* value, hour_range& hours,
                  file_names& names) {
    if (option.name != nullptr) {
        names.*option.name = value;
        return true;
    }
    if (parse_hour(value, hours.*option.hour))
        return true;
    std::fprintf(stderr, "reqpack: option -%c: %s: hour out of range\n", option.letter, value);
    return false;
}

void print_message(const char* message) {
    std::printf("%s\n", message);
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
        if (option == nullptr)
            continue;
        if (index + 1 >= argc) {
            std::fprintf(stderr, "reqpack: option -%c needs a value\n", letter);
            ok = false;
            continue;
        }
        ok = apply_option(*option, argv[index + 1], hours, names) && ok;
    }
    return ok;
}

void report(const char* file, const char* what) {
    std::fprintf(stderr, "reqpack: %s: %s\n", file, what);
}

bool close_output(file_ptr file) {
    std::FILE* out = file.release();
    errno = 0;
    bool ok = std::fflush(out) == 0 && !std::ferror(out);
    int error = errno;
    if (std::fclose(out) != 0 && ok) {
        ok = false;
        error = errno;
    }
    // An earlier write may have failed without leaving its reason behind.
    errno = ok || error != 0 ? error : EIO;
    return ok;
}

void encode_request(const request_record& record, unsigned char* out) {
    const std::int32_t fields[] = {record.app_id, record.patient_id, record.hour};
    const std::size_t offsets[] = {kAppIdOffset, kPatientIdOffset, kHourOffset};
    for (int k = 0; k < 3; ++k) {
        const auto value = static_cast<std::uint32_t>(fields[k]);
        unsigned char* field = out + offsets[k];
        field[0] = static_cast<unsigned char>(value);
        field[1] = static_cast<unsigned char>(value >> 8);
        field[2] = static_cast<unsigned char>(value >> 16);
        field[3] = static_cast<unsigned char>(value >> 24);
    }
}

namespace {

std::int32_t decode_field(const unsigned char* field) {
    const std::uint32_t value = std::uint32_t{field[0]} | std::uint32_t{field[1]} << 8 |
                                std::uint32_t{field[2]} << 16 | std::uint32_t{field[3]} << 24;
    return static_cast<std::int32_t>(value);
}

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

}  // namespace

request_record decode_request(const unsigned char* in) {
    return {decode_field(in + kAppIdOffset), decode_field(in + kPatientIdOffset),
            decode_field(in + kHourOffset)};
}

bool read_requests(std::FILE* in, std::size_t size_hint, std::vector<request_record>& records) {
    records.clear();
    records.reserve(size_hint / kRecordSize);
    std::vector<unsigned char> block(kReadBlock);
    for (;;) {
        const std::size_t got = std::fread(block.data(), 1, block.size(), in);
        for (std::size_t at = 0; at + kRecordSize <= got; at += kRecordSize)
            records.push_back(decode_request(block.data() + at));
        if (got < block.size())
            break;
    }
    if (std::ferror(in)) {
        records.clear();
        return false;
    }
    return true;
}

std::vector<request_record> getRequests(const file_names& names) {
    std::vector<request_record> records;
    file_ptr file(std::fopen(names.records_file, "rb"));
    if (!file) {
        print_message(kOpenRecordsMessage);
        return records;
    }
    if (!read_requests(file.get(), remaining_size(file.get()), records))
        report(names.records_file, std::strerror(errno));
    return records;
}

void write_appointments(const request_record* records, std::int32_t count, const file_names& names) {
    file_ptr file(std::fopen(names.readable_records_file, "w"));
    if (!file) {
        print_message(kOpenReadableMessage);
        return;
    }
    std::FILE* out = file.get();
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
    if (!close_output(std::move(file)))
        report(names.readable_records_file, std::strerror(errno));
}

void print_parameters(const file_names& names, const hour_range& hours) {
    file_ptr file(std::fopen(names.parameters_file, "w"));
    if (!file) {
        print_message(kOpenParametersMessage);
        return;
    }
    const char* const lines[] = {names.records_file, names.patients_file, names.delete_file,
                                 names.readable_records_file, names.accepted_appo_file,
                                 names.parameters_file};
    for (const char* name : lines)
        std::fprintf(file.get(), kNameLine, name);
    std::fprintf(file.get(), kHourValueLine, hours.start_hour);
    std::fprintf(file.get(), kHourValueLine, hours.end_hour);
    if (!close_output(std::move(file)))
        report(names.parameters_file, std::strerror(errno));
}
