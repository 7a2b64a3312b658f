// payrise library: record bytes, raise rules, and the tokenizer and salary reader
// checked against strtok and atof on generated lines.
#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "payrise.h"

namespace {

using payrise::staff_record;

std::string bytes_of(const payrise::record_bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::uint64_t bits(double value) {
    return std::bit_cast<std::uint64_t>(value);
}

TEST(PayriseRecord, BytesHoldKindSalaryGradeAndZerosOnly) {
    staff_record i;
    i.kind = 'I';
    i.texts = {"Anna", "Berg", "Sales", "Oslo", "Clerk"};
    i.salary = 105.15;
    std::string expected_i(56, '\0');
    expected_i[0] = 'I';
    expected_i.replace(48, 8, "\x9a\x99\x99\x99\x99\x49\x5a\x40", 8);
    EXPECT_EQ(harness::hex(bytes_of(payrise::encode_staff_record(i))), harness::hex(expected_i));

    staff_record e = i;  // texts of a longer record leave no trace
    e.kind = 'e';
    e.salary = 117.5;
    e.grade = 'a';
    std::string expected_e(56, '\0');
    expected_e[0] = 'e';
    expected_e.replace(24, 8, "\x00\x00\x00\x00\x00\x60\x5d\x40", 8);
    expected_e[32] = 'a';
    EXPECT_EQ(harness::hex(bytes_of(payrise::encode_staff_record(e))), harness::hex(expected_e));
}

staff_record raised(char kind, double salary, char grade = 0) {
    staff_record r;
    r.kind = kind;
    r.salary = salary;
    r.grade = grade;
    r.texts[0] = "kept";
    return payrise::salary_rise(r);
}

TEST(PayriseRaise, EveryKindAndGradeInTheGivenOrder) {
    for (double s : {100.0, 2500.5, 33333.33, -40.0, 0.1, 1e308, -0.0, HUGE_VAL, -HUGE_VAL}) {
        SCOPED_TRACE(s);
        const double a = s + ((s / 2) * 5) / 100;
        EXPECT_EQ(bits(raised('I', s).salary), bits(a + ((s / 2) * 5.3) / 100));
        EXPECT_EQ(bits(raised('i', s).salary), bits(a + ((s / 2) * 5.3) / 100));
        EXPECT_EQ(bits(raised('E', s, 'a').salary), bits(s + (17.5 * s) / 100));
        EXPECT_EQ(bits(raised('e', s, 'b').salary), bits(s + (12 * s) / 100));
        EXPECT_EQ(bits(raised('E', s, 'c').salary), bits(s + (9 * s) / 100));
        // Neighbours of a, b and c, below, above and with the top bit set, keep it too.
        for (char grade : {'A', 'd', '\n', '\0', '`', 'C', '\xe1'})
            EXPECT_EQ(bits(raised('E', s, grade).salary), bits(s)) << grade;
        // So do kinds one bit away from I and E.
        for (char kind : {'x', 'Y', 'M', '\xc9', '\xe5', 'G'})
            EXPECT_EQ(bits(raised(kind, s, 'a').salary), bits(s)) << kind;
    }
    // Half of 1e308 times 5 already overflows: the order of the operations shows.
    EXPECT_EQ(raised('I', 1e308).salary, HUGE_VAL);
    EXPECT_DOUBLE_EQ(raised('I', 100).salary, 105.15);
    EXPECT_EQ(raised('E', 100, 'b').salary, 112);
    EXPECT_EQ(raised('E', 100, 'c').texts[0], "kept");
}

// A token in angle brackets, so that blanks and line ends show; "none" for no token.
std::string shown(const char* token, std::size_t size) {
    if (token == nullptr)
        return "none";
    std::string text(1, '<');
    text.append(token, size);
    text.push_back('>');
    return text;
}

// The reference: the tokens strtok gives on a terminated copy of the line.
std::vector<std::string> strtok_tokens(const std::string& line, const std::vector<const char*>& sets) {
    std::vector<char> copy(line.begin(), line.end());
    copy.push_back('\0');
    std::vector<std::string> tokens;
    char* from = copy.data();
    for (const char* set : sets) {
        const char* token = std::strtok(from, set);
        from = nullptr;
        tokens.push_back(shown(token, token ? std::strlen(token) : 0));
    }
    return tokens;
}

std::vector<std::string> tokens_of(payrise::tokenizer& cursor, const std::vector<const char*>& sets) {
    std::vector<std::string> tokens;
    for (const char* set : sets) {
        const payrise::delimiter_set d{.blank = std::strchr(set, ' ') != nullptr,
                                       .comma = std::strchr(set, ',') != nullptr,
                                       .line_end = std::strchr(set, '\n') != nullptr};
        const auto token = cursor.next(d);
        tokens.push_back(shown(token.empty() ? nullptr : token.data(), token.size()));
    }
    return tokens;
}

// padded: the line is followed by bytes the tokenizer may read and must ignore.
std::vector<std::string> our_tokens(const std::string& line, const std::vector<const char*>& sets,
                                    bool padded = false) {
    const std::string buffer = line + std::string(padded ? payrise::tokenizer::kWindow : 0, ',');
    payrise::tokenizer cursor(std::string_view(buffer.data(), line.size()), buffer.size() - line.size());
    return tokens_of(cursor, sets);
}

TEST(PayriseTokenizer, AgreesWithStrtokOnGeneratedLines) {
    static const char* const kSets[] = {" ,", " ", ",", " \n", "\n", ", \n", ",\n"};
    static const char kAlphabet[] = "  ,,\n\nIiEex0123456789.-ab";
    std::mt19937 random(1234);
    for (int n = 0; n < 20000; ++n) {
        std::string line(random() % 200, ' ');
        for (char& c : line)
            c = random() % 500 == 0 ? '\0' : kAlphabet[random() % (sizeof kAlphabet - 1)];
        std::vector<const char*> sets(1 + random() % 12);
        for (auto& set : sets)
            set = kSets[random() % std::size(kSets)];
        const auto expected = strtok_tokens(line, sets);
        ASSERT_EQ(our_tokens(line, sets), expected) << harness::hex(line);
        ASSERT_EQ(our_tokens(line, sets, true), expected) << harness::hex(line);
        // Set on the line and what follows it, the tokenizer finds the line's end itself
        // when it lies in the first window.
        const std::string followed = line + "\nE x,y,1,a\n" + std::string(payrise::tokenizer::kWindow, ',');
        payrise::tokenizer first(followed, 0);
        const std::size_t size = first.first_line_size();
        const std::size_t line_end = followed.find('\n');
        ASSERT_EQ(size, line_end < payrise::tokenizer::kWindow ? line_end + 1 : 0) << harness::hex(line);
        if (size != 0) {
            first.end_text_at(size);
            ASSERT_EQ(tokens_of(first, sets), strtok_tokens(followed.substr(0, size), sets)) << harness::hex(line);
        }
    }
}

// Salary texts of every shape atof meets: plain decimals, exponents, hexadecimal,
// blanks and signs, inf and nan, out of range, many digits, and noise.
std::string salary_text(std::mt19937& random) {
    static const char* const kFixed[] = {
        "", ".", "-", "+", "1e", "1e+", "0x", "0x1p-1074", "-0x1.fffffffffffffp1023", " \t+12.5",
        "inf", "-Infinity", "nan", "-nan", "nan(123)", "NAN(abc)", "1e400", "-1e400", "1e-400",
        "4.9e-324", "2.4703282292062328e-324", "2.4703282292062329e-324", "9007199254740993",
        "9007199254740992.5", "0.1000000000000000055511151231257827", "-0", "00012.50x", "12.5e3,",
        "1.7976931348623157e308", "1.7976931348623159e308", "\n", "5e-1\n", "123456789012345678901"};
    std::uniform_int_distribution<int> shape(0, 5);
    std::uniform_real_distribution<double> wide(-1e6, 1e6);
    char text[64];
    switch (shape(random)) {
    case 0: return kFixed[random() % std::size(kFixed)];
    case 1:
        std::snprintf(text, sizeof text, "%.*f", static_cast<int>(random() % 25), wide(random));
        return text;
    case 2: {  // any bit pattern: subnormals, inf and nan too
        const auto pattern = std::uint64_t{random()} << 32 | random();
        std::snprintf(text, sizeof text, "%.17g", std::bit_cast<double>(pattern));
        return text;
    }
    case 3:
        std::snprintf(text, sizeof text, "%a", wide(random));
        return text;
    case 4:  // more digits than a double holds
        return std::string(random() % 300 + 1, "0123456789"[random() % 10]) + "." + std::to_string(random());
    default: {
        static const char kNoise[] = "0123456789.eE+-xXpPaf \tinN()";
        std::string noise(random() % 12, ' ');
        for (char& c : noise)
            c = kNoise[random() % (sizeof kNoise - 1)];
        return noise;
    }
    }
}

TEST(PayriseSalary, DigitRunsReadEightBytesAtATime) {
    struct run_case {
        const char* bytes;  // 8 readable bytes
        std::size_t size;
        int count;
        std::uint64_t value;
    };
    static const run_case kCases[] = {
        {"12345678", 8, 8, 0},   // 8 or more: the loop takes over
        {"1234567.", 8, 7, 1234567},
        {"0000042,", 8, 7, 42},
        {"98765432", 3, 3, 987},  // bytes past the text are no digits
        {"98765432", 0, 0, 0},
        {".5000000", 8, 0, 0},
        {"19:/0000", 8, 2, 19},   // the characters just above and below the digits
        {"4/999999", 8, 1, 4},
        {"7\xfa" "123456", 8, 1, 7},  // a carry out of 0xfa disturbs no run
        {"\xff\xff" "123456", 8, 0, 0},
        {"09\n\n\n\n\n\n", 8, 2, 9},
    };
    for (const auto& c : kCases) {
        const auto run = payrise::leading_digits(c.bytes, c.size);
        EXPECT_EQ(run.count, c.count) << harness::hex(std::string(c.bytes, 8)) << " size " << c.size;
        if (c.count < 8) {
            EXPECT_EQ(run.value, c.value) << harness::hex(std::string(c.bytes, 8)) << " size " << c.size;
        }
    }
}

// The value read from text when the bytes after it may be read: they are digits,
// points and exponent letters, which must not join the number.
double salary_with_tail(const std::string& text, std::mt19937& random) {
    static const char kTail[] = "0123456789.eEx";
    std::string buffer = text;
    for (int k = 0; k < 16; ++k)
        buffer += kTail[random() % (sizeof kTail - 1)];
    return payrise::salary_from_text(std::string_view(buffer.data(), text.size()), 16);
}

TEST(PayriseSalary, AgreesWithAtofBitForBit) {
    std::mt19937 random(99);
    for (int n = 0; n < 60000; ++n) {
        const std::string text = salary_text(random);
        const auto expected = bits(std::atof(text.c_str()));
        ASSERT_EQ(bits(payrise::salary_from_text(text)), expected) << '"' << text << '"';
        ASSERT_EQ(bits(salary_with_tail(text, random)), expected) << '"' << text << '"';
    }
}

// Decimals around the lengths where the 8-byte digit reader hands over to the loop:
// 0 to 9 digits on each side of the point, signs, and what may follow a number.
std::string decimal_near_eight_digits(std::mt19937& random) {
    static const char* const kSigns[] = {"", "-", "+", " "};
    static const char* const kEnds[] = {"", "\n", ",", " a", "e2", "E-1", "x1", "X", ".5", "%"};
    const auto digits = [&] {
        std::string run(random() % 10, '0');
        for (char& c : run)
            c = static_cast<char>('0' + random() % 10);
        return run;
    };
    std::string text = kSigns[random() % std::size(kSigns)];
    text += digits();
    if (random() % 4 != 0) {
        text += '.';
        text += digits();
    }
    return text + kEnds[random() % std::size(kEnds)];
}

TEST(PayriseSalary, ShortAndLongDigitRunsAgreeWithAtof) {
    std::mt19937 random(5);
    for (int n = 0; n < 60000; ++n) {
        const std::string text = decimal_near_eight_digits(random);
        const auto expected = bits(std::atof(text.c_str()));
        ASSERT_EQ(bits(payrise::salary_from_text(text)), expected) << '"' << text << '"';
        ASSERT_EQ(bits(salary_with_tail(text, random)), expected) << '"' << text << '"';
    }
}

// The description's algorithm, as plainly as it is given, on strtok and atof.
struct reference_line {
    payrise::line_kind kind = payrise::line_kind::skipped;
    char letter = 0;
    std::uint64_t salary = 0;
    char grade = 0;
};

reference_line reference_split(const std::string& line) {
    std::vector<char> copy(line.begin(), line.end());
    copy.push_back('\0');
    reference_line r;
    const char* kind = std::strtok(copy.data(), " ,");
    if (kind == nullptr || std::strchr("IiEe", kind[0]) == nullptr)
        return r;
    r.letter = kind[0];
    const bool is_i = kind[0] == 'I' || kind[0] == 'i';
    const std::vector<const char*> sets = is_i ? std::vector<const char*>{" ", ",", ",", ",", ","}
                                               : std::vector<const char*>{" ", ","};
    bool complete = true;
    for (const char* set : sets)
        complete = complete && std::strtok(nullptr, set) != nullptr;
    const char* salary = complete ? std::strtok(nullptr, ",") : nullptr;
    const char* grade = salary && !is_i ? std::strtok(nullptr, " \n") : nullptr;
    if (salary == nullptr || (!is_i && grade == nullptr)) {
        r.kind = payrise::line_kind::too_few_fields;
        return r;
    }
    r.kind = payrise::line_kind::record;
    r.salary = bits(std::atof(salary));
    r.grade = is_i ? 0 : grade[0];
    return r;
}

std::string generated_line(std::mt19937& random) {
    static const char* const kKinds[] = {"I", "i", "E", "e", "Intern", "x", "", ",E", " I"};
    static const char* const kWords[] = {"Anna", "", "a b", "x,y", " ", ",", "Ola  Nord"};
    std::string line = kKinds[random() % std::size(kKinds)];
    const int fields = static_cast<int>(random() % 8);
    for (int k = 0; k < fields; ++k) {
        line += " ,"[random() % 2];
        line += random() % 3 == 0 ? salary_text(random) : kWords[random() % std::size(kWords)];
    }
    return random() % 4 == 0 ? line : line + "\n";
}

TEST(PayriseSplit, AgreesWithStrtokAndAtofOnGeneratedLines) {
    std::mt19937 random(7);
    for (int n = 0; n < 20000; ++n) {
        const std::string line = generated_line(random);
        const reference_line expected = reference_split(line);
        // Once alone and once followed by digits the converter may read and must ignore.
        const std::string padded = line + std::string(payrise::tokenizer::kWindow, '7');
        for (const std::size_t readable_after : {std::size_t{0}, padded.size() - line.size()}) {
            staff_record record;
            const auto kind = payrise::split_line(std::string_view(padded.data(), line.size()), record,
                                                  readable_after);
            ASSERT_EQ(kind, expected.kind) << harness::hex(line);
            if (kind != payrise::line_kind::record)
                continue;
            EXPECT_EQ(record.kind, expected.letter) << line;
            EXPECT_EQ(bits(record.salary), expected.salary) << line;
            EXPECT_EQ(record.grade, expected.grade) << line;
        }
    }
}

// read_write over memory streams; the chunk size decides where lines cross chunks.
std::string converted(const std::string& input, std::size_t chunk_size,
                      payrise::convert_result* result = nullptr) {
    std::vector<char> bytes(input.begin(), input.end());
    bytes.push_back('\0');
    std::FILE* in = fmemopen(bytes.data(), input.size(), "r");
    char* out_data = nullptr;
    std::size_t out_size = 0;
    std::FILE* out = open_memstream(&out_data, &out_size);
    const auto r = payrise::read_write(in, out, nullptr, chunk_size);
    std::fclose(out);
    std::fclose(in);
    std::string output(out_data, out_size);
    std::free(out_data);
    if (result != nullptr)
        *result = r;
    return output;
}

TEST(PayriseReadWrite, ChunkBoundariesChangeNothing) {
    std::mt19937 random(21);
    std::string input;
    for (int n = 0; n < 300; ++n) {
        input += generated_line(random) + "\nI a b,c,d,e," + std::to_string(n) + "\n";
        input += n % 50 == 0 ? std::string(200, 'w') + "\n" : "";
    }
    input += "E last line,100,a";  // no line end
    payrise::convert_result whole;
    const std::string expected = converted(input, payrise::kChunkSize, &whole);
    ASSERT_GT(whole.records, 300u);
    EXPECT_EQ(expected.size(), whole.records * payrise::kRecordSize);
    EXPECT_EQ(expected.substr(expected.size() - 56, 1), "E");
    for (std::size_t chunk = 2; chunk < 80; ++chunk)
        ASSERT_EQ(converted(input, chunk), expected) << "chunk size " << chunk;
}

// The record the description's plain loop writes for a line, or nothing.
std::string reference_record(const std::string& line) {
    const reference_line r = reference_split(line);
    if (r.kind != payrise::line_kind::record)
        return "";
    const double s = std::bit_cast<double>(r.salary);
    const bool is_i = r.letter == 'I' || r.letter == 'i';
    double raised = s;
    if (is_i)
        raised = (s + ((s / 2) * 5) / 100) + ((s / 2) * 5.3) / 100;
    else if (r.grade == 'a')
        raised = s + (17.5 * s) / 100;
    else if (r.grade == 'b')
        raised = s + (12 * s) / 100;
    else if (r.grade == 'c')
        raised = s + (9 * s) / 100;
    std::string record(payrise::kRecordSize, '\0');
    record[0] = r.letter;
    const std::size_t at = is_i ? payrise::kSalaryOffsetI : payrise::kSalaryOffsetE;
    for (std::size_t k = 0; k < 8; ++k)
        record[at + k] = static_cast<char>(bits(raised) >> (8 * k));
    if (!is_i)
        record[payrise::kGradeOffsetE] = r.grade;
    return record;
}

// read_write finds most line ends with the masks of a window and the rest with memchr:
// lines short and long, with zero bytes, at every chunk size, against the plain loop.
TEST(PayriseReadWrite, AgreesWithStrtokAndAtofOnGeneratedFiles) {
    std::mt19937 random(33);
    std::size_t records = 0;
    for (int file = 0; file < 200; ++file) {
        std::string input;
        const int lines = static_cast<int>(random() % 40);
        for (int n = 0; n < lines; ++n) {
            std::string line = generated_line(random);
            if (random() % 2 == 0)  // well-formed, so that most lines give records
                line = random() % 2 == 0 ? "I Anna Berg,Sales,Oslo,Clerk," + salary_text(random)
                                         : "e Ola Nord," + salary_text(random) + "," + "abcd"[random() % 4];
            if (random() % 8 == 0)
                line.insert(0, std::string(random() % 90, " ,"[random() % 2]));
            if (random() % 16 == 0 && !line.empty())
                line[random() % line.size()] = '\0';
            if (line.empty() || line.back() != '\n')
                line += n + 1 < lines ? "\n" : "";
            input += line;
        }
        // Texts may hold line ends of their own: the plain loop's lines are cut at each.
        std::string expected;
        for (std::size_t from = 0, end; from < input.size(); from = end) {
            end = std::min(input.find('\n', from), input.size() - 1) + 1;
            expected += reference_record(input.substr(from, end - from));
        }
        const std::size_t chunk = 2 + random() % 200;
        ASSERT_EQ(harness::hex(converted(input, chunk)), harness::hex(expected))
            << harness::hex(input) << " chunk size " << chunk;
        records += expected.size() / payrise::kRecordSize;
    }
    EXPECT_GT(records, 1000u);  // the generated files hold records, not only skipped lines
}

// Lines are split in batches ahead of writing, but a write error still stops the
// conversion at its line: no message, and no count, for the lines after it.
TEST(PayriseReadWrite, WriteErrorStopsAtItsLine) {
    std::string input;
    for (std::size_t n = 0; n < payrise::kRecordsPerBlock; ++n)  // written when the next comes
        input += "I a b,c,d,e,1\n";
    input += "E short\nI a b,c,d,e,2\nE after\nI a b,c,d,e,3\n";
    std::FILE* out = std::fopen("/dev/full", "w");  // every write fails, as on a full disk
    ASSERT_NE(out, nullptr);
    std::vector<char> bytes(input.begin(), input.end());
    std::FILE* in = fmemopen(bytes.data(), bytes.size(), "r");
    char* said = nullptr;
    std::size_t said_size = 0;
    std::FILE* messages = open_memstream(&said, &said_size);
    const auto result = payrise::read_write(in, out, messages);
    std::fclose(messages);
    std::fclose(out);
    std::fclose(in);
    EXPECT_EQ(result.failed, payrise::convert_result::failure::write);
    EXPECT_EQ(result.error, ENOSPC);
    const std::size_t block = payrise::kRecordsPerBlock;
    EXPECT_EQ(result.lines, block + 2);
    EXPECT_EQ(result.records, block);
    EXPECT_EQ(result.short_lines, 1u);
    EXPECT_EQ(std::string(said, said_size), "payrise: input1.txt: line " + std::to_string(block + 1) +
                                                ": too few fields for kind E, no record written\n");
    std::free(said);
}

}  // namespace
