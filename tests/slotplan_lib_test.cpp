// slotplan's library: the scanner against the C library's sscanf on generated records,
// the readers' limits and reports, and the in-place pipeline steps.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "slotplan.h"

using namespace slotplan;

namespace {

using harness::memory_input;

struct people_fields {
    int key1 = 0, key2 = 0;
    char name[kNameSize] = {}, surname[kNameSize] = {};
    char tag = 0;
};

struct request_fields {
    int key1 = 0, key2 = 0, year = 0, month = 0, day = 0, hour = 0;
    char separator = 0;
    int minute = 0;
};

scan_result scan_people(const std::string& text, people_fields& f) {
    memory_input in(text);
    const scan_target targets[] = {&f.key1, &f.key2, std::span<char>(f.name), std::span<char>(f.surname), &f.tag};
    return scan_record(in.get(), kPeopleFormat, targets);
}

scan_result scan_request(const std::string& text, request_fields& f) {
    memory_input in(text);
    const scan_target targets[] = {&f.key1, &f.key2, &f.year, &f.month, &f.day, &f.hour, &f.separator, &f.minute};
    return scan_record(in.get(), kRequestFormat, targets);
}

// ---- generated records, compared with sscanf ----

class record_maker {
public:
    explicit record_maker(std::uint32_t seed) : random_(seed) {}

    int below(int n) { return static_cast<int>(random_() % static_cast<std::uint32_t>(n)); }

    std::string white(int least) {
        static const char kWhite[] = " \t\n\r\v\f";
        std::string s(static_cast<std::size_t>(least), ' ');
        for (int k = below(3); k > 0; --k)
            s += kWhite[below(6)];
        for (char& c : s)
            if (below(4) == 0)
                c = kWhite[below(6)];
        return s;
    }

    std::string sign() {
        const int pick = below(4);
        return pick == 0 ? "-" : pick == 1 ? "+" : "";
    }

    std::string digits(int least, int most) {
        std::string s;
        for (int k = least + below(most - least + 1); k > 0; --k)
            s += static_cast<char>('0' + below(10));
        return s;
    }

    // A number that stays within the signed 32-bit range, boundaries included.
    std::string number() {
        switch (below(8)) {
        case 0: return "-2147483648";
        case 1: return "2147483647";
        case 2: return sign() + "000" + digits(1, 3);
        default: return sign() + digits(1, 9);
        }
    }

    // Non-white bytes, high ones included, never a zero byte.
    std::string word(int most) {
        std::string s;
        for (int k = 1 + below(most); k > 0; --k) {
            int c;
            do
                c = 1 + below(255);
            while (c == ' ' || (c >= '\t' && c <= '\r'));
            s += static_cast<char>(c);
        }
        return s;
    }

    // Two keys: often separated, sometimes as one run of digits that the widths split. A
    // whole run holds at most eleven characters, so that both keys use it up.
    std::string keys(bool whole) {
        if (below(3) == 0) {
            const std::string s = sign();
            const int most = whole ? 11 - static_cast<int>(s.size()) : 13;
            return white(0) + s + digits(6 - static_cast<int>(s.size()), most) + white(0);
        }
        return white(0) + sign() + digits(1, 4) + white(below(2)) + sign() + digits(1, 5);
    }

    std::string person_text() {
        return keys(false) + white(1) + word(29) + white(1) + word(29) + white(0) + word(1);
    }

    // whole: the record ends exactly after its minute, so records can follow one another.
    std::string request_text(bool whole) {
        const std::string hour = whole ? digits(2, 2) : below(3) == 0 ? digits(1, 4) : sign() + digits(1, 2);
        const std::string separator = below(5) == 0 ? " " : word(1);
        const std::string minute = whole ? digits(1, 2) : sign() + digits(1, 3);
        return keys(whole) + white(1) + number() + white(1) + number() + white(1) + number() + white(1) + hour +
               separator + minute;
    }

private:
    std::mt19937 random_;
};

TEST(SlotplanScanning, PeopleRecordsAgreeWithSscanf) {
    record_maker make(20240501);
    int complete = 0;
    for (int n = 0; n < 4000; ++n) {
        const std::string text = make.person_text();
        people_fields theirs, ours;
        const int converted = std::sscanf(text.c_str(), kPeopleFormat, &theirs.key1, &theirs.key2,
                                          theirs.name, theirs.surname, &theirs.tag);
        if (converted != 5)
            continue;
        ++complete;
        const scan_result r = scan_people(text, ours);
        ASSERT_EQ(r.status, scan_status::complete) << text;
        EXPECT_EQ(ours.key1, theirs.key1) << text;
        EXPECT_EQ(ours.key2, theirs.key2) << text;
        EXPECT_STREQ(ours.name, theirs.name) << text;
        EXPECT_STREQ(ours.surname, theirs.surname) << text;
        EXPECT_EQ(ours.tag, theirs.tag) << text;
    }
    EXPECT_GT(complete, 2500);
}

TEST(SlotplanScanning, RequestRecordsAgreeWithSscanf) {
    record_maker make(7);
    int complete = 0;
    for (int n = 0; n < 4000; ++n) {
        const std::string text = make.request_text(false);
        request_fields theirs, ours;
        const int converted = std::sscanf(text.c_str(), kRequestFormat, &theirs.key1, &theirs.key2, &theirs.year,
                                          &theirs.month, &theirs.day, &theirs.hour, &theirs.separator,
                                          &theirs.minute);
        if (converted != 8)
            continue;
        ++complete;
        const scan_result r = scan_request(text, ours);
        ASSERT_EQ(r.status, scan_status::complete) << text;
        EXPECT_EQ(ours.key1, theirs.key1) << text;
        EXPECT_EQ(ours.key2, theirs.key2) << text;
        EXPECT_EQ(ours.year, theirs.year) << text;
        EXPECT_EQ(ours.month, theirs.month) << text;
        EXPECT_EQ(ours.day, theirs.day) << text;
        EXPECT_EQ(ours.hour, theirs.hour) << text;
        EXPECT_EQ(ours.separator, theirs.separator) << text;
        EXPECT_EQ(ours.minute, theirs.minute) << text;
    }
    EXPECT_GT(complete, 3000);
}

// A whole file of records read by the reader gives, record by record, what sscanf gives.
TEST(SlotplanScanning, RequestFileAgreesWithSscanfRecordByRecord) {
    record_maker make(99);
    for (int file = 0; file < 100; ++file) {
        std::string text;
        std::vector<request_fields> expected;
        for (int n = 0; n < 20; ++n) {
            const std::string record = make.request_text(true);
            request_fields f;
            if (std::sscanf(record.c_str(), kRequestFormat, &f.key1, &f.key2, &f.year, &f.month, &f.day,
                            &f.hour, &f.separator, &f.minute) != 8)
                continue;
            text += record + make.white(1);
            expected.push_back(f);
        }
        memory_input in(text);
        std::vector<appointment> table(kTableSize);
        read_report report;
        ASSERT_EQ(get_appointments(in.get(), table, kLimit, report), static_cast<int>(expected.size())) << text;
        EXPECT_EQ(report.problem, read_problem::none);
        for (std::size_t k = 0; k < expected.size(); ++k) {
            const request_fields& f = expected[k];
            const appointment& a = table[k];
            const std::uint32_t month = f.month >= 1 && f.month <= 12 ? static_cast<std::uint32_t>(f.month) : 0;
            EXPECT_EQ(a.key1, f.key1);
            EXPECT_EQ(a.key2, f.key2);
            EXPECT_EQ(a.year, f.year);
            EXPECT_EQ(static_cast<std::uint32_t>(a.month), month);
            EXPECT_EQ(a.day, f.day);
            EXPECT_EQ(a.hour, f.hour);
            EXPECT_EQ(a.minute, f.minute) << "record " << k + 1 << " of\n" << text;
        }
    }
}

// ---- the scanner's own edges ----

TEST(SlotplanScanning, NumbersOutsideTheSignedRangeAreNoticed) {
    struct Case { const char* year; scan_status status; int value; };
    const Case cases[] = {
        {"2147483647", scan_status::complete, 2147483647},
        {"-2147483648", scan_status::complete, -2147483647 - 1},
        {"2147483648", scan_status::out_of_range, 0},
        {"-2147483649", scan_status::out_of_range, 0},
        {"99999999999999999999999999999", scan_status::out_of_range, 0},
        {"+0000000000000000000000000042", scan_status::complete, 42},
    };
    for (const Case& c : cases) {
        request_fields f;
        const scan_result r = scan_request(std::string("1 2 ") + c.year + " 1 1 9:00", f);
        EXPECT_EQ(r.status, c.status) << c.year;
        if (c.status == scan_status::complete) {
            EXPECT_EQ(f.year, c.value) << c.year;
        } else {
            EXPECT_EQ(r.field, 2) << c.year;
        }
    }
}

TEST(SlotplanScanning, TextNeverRunsPastItsField) {
    char field[40];
    std::memset(field, 'G', sizeof field);
    int key1 = 0, key2 = 0;
    char surname[kNameSize];
    char tag = 0;
    const scan_target targets[] = {&key1, &key2, std::span<char>(field, kNameSize), std::span<char>(surname), &tag};
    memory_input in("1 2 " + std::string(35, 'n') + " Lee A");
    const scan_result r = scan_record(in.get(), kPeopleFormat, targets);
    EXPECT_EQ(r.status, scan_status::too_long);
    EXPECT_EQ(r.field, 2);
    EXPECT_EQ(std::string(field), std::string(29, 'n'));
    for (std::size_t k = kNameSize; k < sizeof field; ++k)
        EXPECT_EQ(field[k], 'G') << k;
}

TEST(SlotplanScanning, EndOfInputOnlyBeforeTheFirstConversion) {
    struct Case { const char* text; scan_status status; int field; };
    const Case cases[] = {
        {"", scan_status::end_of_input, 0},
        {" \n\t\n", scan_status::end_of_input, 0},
        {"12", scan_status::incomplete, 1},
        {"1 2 Ann Lee", scan_status::incomplete, 4},
        {"1 2 Ann Lee ", scan_status::incomplete, 4},
        {"x", scan_status::no_match, 0},
        {"-", scan_status::no_match, 0},
        {"- 1", scan_status::no_match, 0},
    };
    for (const Case& c : cases) {
        people_fields f;
        const scan_result r = scan_people(c.text, f);
        EXPECT_EQ(r.status, c.status) << '"' << c.text << '"';
        EXPECT_EQ(r.field, c.field) << '"' << c.text << '"';
    }
}

// ---- the readers ----

std::string numbered_people(int count) {
    std::string text;
    for (int k = 1; k <= count; ++k)
        text += std::to_string(k) + " " + std::to_string(k) + " N" + std::to_string(k) + " S A\n";
    return text;
}

TEST(SlotplanReaders, StoreLimitPlusOneAndReportTheRest) {
    struct Case { int records; int limit; std::size_t table; int count; read_problem problem; };
    const Case cases[] = {
        {60, 50, 100, 51, read_problem::beyond_limit},
        {51, 50, 100, 51, read_problem::none},
        {50, 50, 100, 50, read_problem::none},
        {3, 0, 100, 1, read_problem::beyond_limit},
        {3, -1, 100, 0, read_problem::beyond_limit},
        {60, 50, 10, 10, read_problem::beyond_limit},   // never past the end of a smaller table
    };
    for (const Case& c : cases) {
        memory_input in(numbered_people(c.records));
        std::vector<person> table(c.table + 1);
        table.back().key1 = 777;
        read_report report;
        const int count = get_people(in.get(), std::span<person>(table.data(), c.table), c.limit, report);
        EXPECT_EQ(count, c.count) << c.records << " records, limit " << c.limit;
        EXPECT_EQ(report.problem, c.problem) << c.records << " records, limit " << c.limit;
        EXPECT_EQ(table.back().key1, 777);
        if (count > 0) {
            EXPECT_EQ(table[count - 1].key1, count);
        }
    }
}

// ---- the pipeline ----

appointment request(int key, int year, std::uint32_t month, int day, int hour, int minute) {
    appointment a{};
    a.key1 = key;
    a.year = year;
    a.month = static_cast<month_of_year>(month);
    a.day = day;
    a.hour = hour;
    a.minute = minute;
    a.tag = kNoTag;
    return a;
}

std::vector<int> keys(const std::vector<appointment>& table, int count) {
    std::vector<int> k;
    for (int i = 0; i < count; ++i)
        k.push_back(table[i].key1);
    return k;
}

TEST(SlotplanPipeline, ClashRemovalKeepsTheFirstOfEachSlotInInputOrder) {
    std::vector<appointment> table = {
        request(1, 2024, 6, 1, 12, 0), request(2, 2024, 6, 1, 8, 0), request(3, 2024, 6, 1, 12, 0),
        request(4, 2024, 5, 1, 8, 0),  request(5, 2024, 6, 1, 8, 0), request(6, 2024, 6, 1, 12, 0),
        request(1, 2024, 6, 1, 12, 1),
    };
    const int remaining = check_appointments(table, static_cast<int>(table.size()));
    EXPECT_EQ(remaining, 4);
    EXPECT_EQ(keys(table, remaining), (std::vector<int>{1, 2, 4, 1}));
    EXPECT_EQ(table[3].minute, 1);
}

TEST(SlotplanPipeline, SortComparesTheMonthUnsigned) {
    std::vector<appointment> table = {
        request(1, 2024, 0x80000000u, 1, 9, 0), request(2, 2024, 12, 31, 23, 59),
        request(3, 2024, 0, 1, 9, 0), request(4, 2023, 0xffffffffu, 1, 9, 0), request(5, 2024, 1, 1, -1, 0),
    };
    sort_appointments(table, static_cast<int>(table.size()));
    EXPECT_EQ(keys(table, 5), (std::vector<int>{4, 3, 5, 2, 1}));
}

}  // namespace
