// payrise_baseline: the plain loop a user would write for the salary raise converter, the
// yardstick of the benchmark. Reads "input1.txt" with fgets, splits each line with strtok,
// converts the salary with atof, raises it and writes each 56-byte record with fwrite.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/coding.h"

namespace {

// Record, 56 bytes: kind letter (byte 0); salary of an I line (48-55); salary of an
// E line (24-31) and its grade letter (32). Text slots, filler and the bytes an E line
// does not set are zero, as the raise converter writes them.
constexpr std::size_t kRecordSize = 56;
constexpr std::size_t kKindAt = 0;
constexpr std::size_t kSalaryIAt = 48;
constexpr std::size_t kSalaryEAt = 24;
constexpr std::size_t kGradeAt = 32;

double raise_i(double s) {
    double a = s + ((s / 2) * 5) / 100;
    return a + ((s / 2) * 5.3) / 100;
}

double raise_e(double s, char grade) {
    switch (grade) {
    case 'a': return s + (17.5 * s) / 100;
    case 'b': return s + (12 * s) / 100;
    case 'c': return s + (9 * s) / 100;
    default: return s;
    }
}

// Fills the record from the tokens after the kind; false when a token is missing.
bool convert_i(unsigned char* record) {
    const char* texts[5] = {std::strtok(nullptr, " "), std::strtok(nullptr, ","),
                            std::strtok(nullptr, ","), std::strtok(nullptr, ","),
                            std::strtok(nullptr, ",")};
    const char* salary = std::strtok(nullptr, ",");
    for (const char* text : texts)
        if (text == nullptr)
            return false;
    if (salary == nullptr)
        return false;
    suite::put_double(record + kSalaryIAt, raise_i(std::atof(salary)));
    return true;
}

bool convert_e(unsigned char* record) {
    const char* surname = std::strtok(nullptr, " ");
    const char* name = std::strtok(nullptr, ",");
    const char* salary = std::strtok(nullptr, ",");
    const char* grade = std::strtok(nullptr, " \n");
    if (surname == nullptr || name == nullptr || salary == nullptr || grade == nullptr)
        return false;
    record[kGradeAt] = static_cast<unsigned char>(grade[0]);
    suite::put_double(record + kSalaryEAt, raise_e(std::atof(salary), grade[0]));
    return true;
}

int fail(const char* what) {
    std::fprintf(stderr, "payrise_baseline: %s: %s\n", what, std::strerror(errno));
    return 1;
}

}  // namespace

int main() {
    std::FILE* in = std::fopen("input1.txt", "r");
    if (in == nullptr)
        return fail("input1.txt");
    std::FILE* out = std::fopen("binary_f.bin", "wb");
    if (out == nullptr) {
        std::fclose(in);
        return fail("binary_f.bin");
    }

    char line[512];
    while (std::fgets(line, sizeof line, in) != nullptr) {
        const char* kind = std::strtok(line, " ,");
        if (kind == nullptr)
            continue;
        unsigned char record[kRecordSize] = {};
        record[kKindAt] = static_cast<unsigned char>(kind[0]);
        bool converted = false;
        if (kind[0] == 'I' || kind[0] == 'i')
            converted = convert_i(record);
        else if (kind[0] == 'E' || kind[0] == 'e')
            converted = convert_e(record);
        if (converted)
            std::fwrite(record, 1, kRecordSize, out);
    }
    std::fclose(in);
    if (std::fclose(out) != 0)
        return fail("binary_f.bin");
    return 0;
}
