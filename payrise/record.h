// payrise's record: what a staff line gives, the raise rules, and the 56 bytes a record
// is written as. Small and called for every line, so defined here, where both ways of
// converting a line see them.
#pragma once

#include <cstring>

#include "common/coding.h"

namespace payrise {

// What a staff line gives its record: the texts between its kind and its salary
// never reach the file.
struct staff_record {
    char kind = 0;      // I, i, E or e as read
    double salary = 0;
    char grade = 0;     // E lines only
};

// I and i (E and e) differ in bit 5 only, and no other byte ORs to i or e.
inline char lower_kind(char kind) {
    return static_cast<char>(kind | 0x20);
}

// File layout of a record, little-endian, every byte defined:
//   kind I or i:  0 kind | 1-7 zero | 8-47 five zeroed 8-byte text slots | 48-55 salary
//   kind E or e:  0 kind | 1-7 zero | 8-23 two zeroed text slots | 24-31 salary
//                 | 32 grade | 33-55 zero
inline constexpr std::size_t kRecordSize = 56;
inline constexpr std::size_t kKindOffset = 0;
inline constexpr std::size_t kSalaryOffsetI = 48;
inline constexpr std::size_t kSalaryOffsetE = 24;
inline constexpr std::size_t kGradeOffsetE = 32;
static_assert(kSalaryOffsetI + sizeof(double) == kRecordSize);

// The raise rule of the record's kind (and grade), in double precision.
inline staff_record salary_rise(staff_record record) {
    const double s = record.salary;
    if (lower_kind(record.kind) == 'i') {
        // Half the salary rises by 5 per cent, the other half by 5.3.
        const double a = s + ((s / 2) * 5) / 100;
        record.salary = a + ((s / 2) * 5.3) / 100;
    } else if (lower_kind(record.kind) == 'e') {
        switch (record.grade) {
        case 'a': record.salary = s + (17.5 * s) / 100; break;
        case 'b': record.salary = s + (12 * s) / 100; break;
        case 'c': record.salary = s + (9 * s) / 100; break;
        }
    }
    return record;
}

// Writes all kRecordSize bytes of the record at `into`.
inline void encode_staff_record(const staff_record& record, unsigned char* into) {
    std::memset(into, 0, kRecordSize);
    into[kKindOffset] = static_cast<unsigned char>(record.kind);
    if (lower_kind(record.kind) == 'e') {
        suite::put_double(into + kSalaryOffsetE, record.salary);
        into[kGradeOffsetE] = static_cast<unsigned char>(record.grade);
    } else {
        suite::put_double(into + kSalaryOffsetI, record.salary);
    }
}

}  // namespace payrise
