// The plain salary raise converter that payrise's fast one is checked against, byte for
// byte: getline, strtok and atof, one line at a time. Used by the library tests and the
// fuzz target.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/types.h>

#include "common/process.h"

namespace payrise_reference {

inline void put_double(unsigned char* at, double value) {
    for (int k = 0; k < 8; ++k)
        at[k] = static_cast<unsigned char>(std::bit_cast<std::uint64_t>(value) >> (8 * k));
}

// A line's text ends at its first zero byte; a line end is part of it. A text of more
// than 1 MiB before its line end, a missing field and another kind give no record.
inline void convert(std::FILE* input, std::FILE* output, std::FILE* messages) {
    char* line = nullptr;
    std::size_t capacity = 0;
    for (unsigned long number = 1; getline(&line, &capacity, input) != -1; ++number) {
        std::size_t size = std::strlen(line);
        size -= size != 0 && line[size - 1] == '\n' ? 1 : 0;
        if (size > std::size_t{1} << 20) {
            std::fprintf(messages, "payrise: input1.txt: line %lu: longer than 1 MiB, no record written\n", number);
            continue;
        }
        const char* kind = std::strtok(line, " ,");
        if (kind == nullptr || std::strchr("IiEe", kind[0]) == nullptr)
            continue;
        const bool is_i = kind[0] == 'I' || kind[0] == 'i';
        bool complete = std::strtok(nullptr, " ") != nullptr;
        for (int k = 0; k < (is_i ? 4 : 1); ++k)
            complete = complete && std::strtok(nullptr, ",") != nullptr;
        const char* salary = complete ? std::strtok(nullptr, ",") : nullptr;
        const char* grade = salary != nullptr && !is_i ? std::strtok(nullptr, " \n") : "";
        if (salary == nullptr || grade == nullptr) {
            std::fprintf(messages, "payrise: input1.txt: line %lu: too few fields for kind %c, no record written\n",
                         number, kind[0]);
            continue;
        }
        char* end = nullptr;
        const double s = std::strtod(salary, &end);  // as atof reads it
        if (end == salary) {
            // Quoted as every message quotes what it names.
            const std::string quoted = suite::quote_argument({salary, std::strcspn(salary, "\n")});
            std::fprintf(messages, "payrise: input1.txt: line %lu: salary %s is not a number, read as 0\n", number,
                         quoted.c_str());
        }
        double raised = s;
        if (is_i)
            raised = (s + ((s / 2) * 5) / 100) + ((s / 2) * 5.3) / 100;
        else if (grade[0] == 'a' || grade[0] == 'b' || grade[0] == 'c')
            raised = s + ((grade[0] == 'a' ? 17.5 : grade[0] == 'b' ? 12 : 9) * s) / 100;
        unsigned char record[56] = {};
        record[0] = static_cast<unsigned char>(kind[0]);
        put_double(record + (is_i ? 48 : 24), raised);
        record[32] = is_i ? 0 : static_cast<unsigned char>(grade[0]);
        std::fwrite(record, 1, sizeof record, output);
    }
    std::free(line);
}

}  // namespace payrise_reference
