// payrise library: record bytes, the tokenizer and salary reader against strtok and
// atof, and read_write's usual line and line reader against its plain way.
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

#include "common/process.h"
#include "harness.h"
#include "payrise.h"
#include "plain_line.h"
#include "print.h"
#include "usual_line.h"

namespace {

// Messages begin with the program's name, as the program sets it.
[[maybe_unused]] const bool kNamed = (suite::set_program("payrise"), true);

using payrise::staff_record;

std::string encoded(const staff_record& record) {
    unsigned char bytes[payrise::kRecordSize];
    payrise::encode_staff_record(record, bytes);
    return std::string(bytes, bytes + sizeof bytes);
}

std::uint64_t bits(double value) {
    return std::bit_cast<std::uint64_t>(value);
}

TEST(PayriseRecord, BytesHoldKindSalaryGradeAndZerosOnly) {
    staff_record i;
    i.kind = 'I';
    i.salary = 105.15;
    std::string expected_i(56, '\0');
    expected_i[0] = 'I';
    expected_i.replace(48, 8, "\x9a\x99\x99\x99\x99\x49\x5a\x40", 8);
    EXPECT_EQ(harness::hex(encoded(i)), harness::hex(expected_i));

    staff_record e = i;
    e.kind = 'e';
    e.salary = 117.5;
    e.grade = 'a';
    std::string expected_e(56, '\0');
    expected_e[0] = 'e';
    expected_e.replace(24, 8, "\x00\x00\x00\x00\x00\x60\x5d\x40", 8);
    expected_e[32] = 'a';
    EXPECT_EQ(harness::hex(encoded(e)), harness::hex(expected_e));
}

// A token in angle brackets, so that blanks and line ends show; "none" for no token.
std::string shown(const char* token, std::size_t size) {
    return token == nullptr ? "none" : "<" + std::string(token, size) + ">";
}

TEST(PayriseTokenizer, AgreesWithStrtokOnGeneratedLines) {
    static const char* const kSets[] = {" ,", " ", ",", " \n", "\n", ", \n", ",\n"};
    static const char kAlphabet[] = "  ,,\n\nIiEex0123456789.-ab\0";
    std::mt19937 random(1234);
    for (int n = 0; n < 20000; ++n) {
        std::string line(random() % 200, ' ');
        for (char& c : line)
            c = kAlphabet[random() % (sizeof kAlphabet - 1)];
        std::vector<const char*> sets(1 + random() % 12);
        for (auto& set : sets)
            set = kSets[random() % std::size(kSets)];
        // Followed by bytes the tokenizer may read and must ignore.
        const std::string padded = line + std::string(8, ',');
        std::string copy = line;
        std::string_view rest(padded.data(), line.size());
        char* from = copy.data();
        for (const char* set : sets) {
            const char* expected = std::strtok(from, set);
            from = nullptr;
            const unsigned d = (std::strchr(set, ' ') ? +payrise::kBlank : 0) |
                               (std::strchr(set, ',') ? +payrise::kComma : 0) |
                               (std::strchr(set, '\n') ? +payrise::kLineEnd : 0);
            const auto token = payrise::next_token(rest, d);
            ASSERT_EQ(shown(token.empty() ? nullptr : token.data(), token.size()),
                      shown(expected, expected ? std::strlen(expected) : 0))
                << harness::hex(line);
        }
    }
}

// Salary texts of every shape atof meets: plain decimals, exponents, hexadecimal,
// blanks and signs, inf and nan, out of range, many digits, and noise.
std::string salary_text(std::mt19937& random) {
    static const char* const kFixed[] = {
        "", ".", "-", "+", "1e", "1e+", "0x", "0x1p-1074", "-0x1.fffffffffffffp1023", " \t+12.5", "+-5",
        "inf", "-Infinity", "nan", "-nan", "nan(123)", "NAN(abc)", "1e400", "-1e400", "1e-400", "1e308",
        "4.9e-324", "2.4703282292062328e-324", "9007199254740993", "-0", "00012.50x", "12.5e3,", " \n",
        "1.7976931348623157e308", "1.7976931348623159e308", "\n", "5e-1\n", "123456789012345678901"};
    std::uniform_real_distribution<double> wide(-1e6, 1e6);
    char text[64];
    switch (random() % 6) {
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

// Bit for bit, and "no number" exactly where atof converts nothing.
TEST(PayriseSalary, AgreesWithAtof) {
    std::mt19937 random(99);
    for (int n = 0; n < 60000; ++n) {
        const std::string text = salary_text(random);
        char* end = nullptr;
        const double expected = std::strtod(text.c_str(), &end);
        const bool number = end != text.c_str();
        const auto ours = payrise::salary_from_text(text);
        ASSERT_EQ(ours.has_value(), number) << '"' << text << '"';
        ASSERT_EQ(bits(ours.value_or(0)), bits(expected)) << '"' << text << '"';
        // A text that ends in its line end is followed by the next line, never joined.
        if (!text.empty() && text.back() == '\n') {
            const std::string followed = text + "5,x";
            const auto cut = payrise::salary_from_text(std::string_view(followed).substr(0, text.size()));
            ASSERT_EQ(cut.has_value(), number) << '"' << text << '"';
            ASSERT_EQ(bits(cut.value_or(0)), bits(expected)) << '"' << text << '"';
        }
    }
}

struct converted {
    std::string records;
    std::string messages;
};

// read_write over memory streams, in reads of `chunk_size` with its usual line's pass, or
// in the plain way.
converted convert(const std::string& input, std::size_t chunk_size, payrise::pass one_pass) {
    const harness::memory_input in(input);
    harness::memory_output records;
    harness::memory_output messages;
    EXPECT_EQ(payrise::read_write(in.get(), records.get(), messages.get(), chunk_size, one_pass).failed,
              payrise::convert_result::failure::none);
    EXPECT_TRUE(records.close());
    EXPECT_TRUE(messages.close());
    return {std::string(records.bytes()), std::string(messages.bytes())};
}

void expect_as_plain(const std::string& input, std::size_t chunk_size) {
    const converted expected = convert(input, payrise::kChunkSize, payrise::pass::none);
    const converted ours = convert(input, chunk_size, payrise::pass::usual_lines);
    ASSERT_EQ(harness::hex(ours.records), harness::hex(expected.records))
        << harness::hex(input.substr(0, 2000)) << " chunk size " << chunk_size;
    ASSERT_EQ(ours.messages, expected.messages) << harness::hex(input.substr(0, 2000));
}

std::string generated_line(std::mt19937& random) {
    static const char* const kKinds[] = {"I", "i", "E", "e", "Intern", "x", "", ",E", " I", "\xc9", "\xe5"};
    static const char* const kWords[] = {"Anna", "", "a b", "x,y", " ", ",", "Ola  Nord", "c", "A", "\xe1"};
    if (random() % 2 == 0)  // well-formed, so that most lines give records
        return random() % 2 == 0 ? "I Anna Berg,Sales,Oslo,Clerk," + salary_text(random)
                                 : "e Ola Nord," + salary_text(random) + "," + "abcdA`"[random() % 6];
    std::string line = kKinds[random() % std::size(kKinds)];
    for (int k = static_cast<int>(random() % 8); k > 0; --k) {
        line += " ,"[random() % 2];
        line += random() % 3 == 0 ? salary_text(random) : kWords[random() % std::size(kWords)];
    }
    return line;
}

// Lines short and long, with zero bytes and leading delimiters, the last one with or
// without its line end, read in chunks of any size.
TEST(PayriseReadWrite, AgreesWithPlainWayOnGeneratedFiles) {
    std::mt19937 random(33);
    for (int file = 0; file < 400; ++file) {
        std::string input;
        for (int n = static_cast<int>(random() % 40); n > 0; --n) {
            std::string line = generated_line(random);
            if (random() % 8 == 0)
                line.insert(0, std::string(random() % 90, " ,"[random() % 2]));
            if (random() % 10 == 0)
                line.insert(random() % (line.size() + 1), std::string(random() % 300, 'w'));
            if (random() % 16 == 0 && !line.empty())
                line[random() % line.size()] = '\0';
            input += line + (n > 1 || random() % 2 == 0 ? "\n" : "");
        }
        expect_as_plain(input, 1 + random() % 200);
    }
}

TEST(PayriseReadWrite, LinesAroundOneMebibyteAgreeWithPlainWay) {
    const std::size_t mib = payrise::kLongestLine;
    const std::string good = "E a b,100,a\n";
    const std::string zero(1, '\0');
    const std::string cases[] = {
        "I " + std::string(mib - 14, 'n') + " b,c,d,e,100\n" + good,  // exactly 1 MiB: converted
        "I " + std::string(mib - 13, 'n') + " b,c,d,e,100\n" + good,  // one byte more: named
        good + "E " + std::string(3 * mib, 'n'),                      // long, without line end
        "E a b,7,c" + zero + std::string(3 * mib, 'z') + "\n" + good,  // cut at a zero byte
        std::string(mib, ' ') + zero + std::string(mib, 'z') + "\n" + good,
        std::string(mib + 1, ',') + zero + "\n\n" + good,
    };
    for (const auto& input : cases)
        for (const std::size_t chunk : {std::size_t{4093}, payrise::kChunkSize})
            expect_as_plain(input, chunk);
}

// Salaries at the edges of the fast path, which reads at most 8 digits in one word with
// one division, ends an I line or is followed by a comma and a one-letter grade on an E
// line, and leaves every other text to strtod: records and messages as the plain way's.
TEST(PayriseReadWrite, SalaryFastPathEdgesAgreeWithPlainWay) {
    const std::string salaries[] = {
        "999999999999999", "9999999999999999", "900719925474099.7", "90071992547409.97", "0.00000000000001",
        "0.000000000000001", "123456789012345.", ".123456789012345", "2.675", "1.005", "5.", ".5", ".",
        "1e5", "1.5E-3", "0x1p3", "-2.5", "+2.5", "12.5abc", "1.2.3", "7 ", "", "inf",
        "98765432", "987654321", "123456.78", "1234567.8", "1234567.89", "98765432.", ".98765432", "0.0000001",
    };
    for (const std::string& salary : salaries)
        for (const std::string& line : {"I a b,c,d,e," + salary + "\n", "E a b," + salary + ",a\n"})
            expect_as_plain(line + "E a b,100,b\n", payrise::kChunkSize);
}

// The lines the fast path is for are all taken by it, none left to the plain way: kinds
// of one letter or more, salaries of 1 to 8 digits with a point before, among or after
// them.
TEST(PayriseReadWrite, UsualLinesAllTakeTheFastPath) {
    const std::string lines[] = {"I a b,c,d,e,1\n", "E a b,12345678,a\n", "i a b,c,d,e,123456.78\n",
                                 "e a b,.1234567,c\n", "Intern a b,c,d,e,9.\n", "Employee a b,1234567.8,x\n"};
    std::string input;
    for (const std::string& line : lines)
        input += line;
    const harness::memory_input in(input);
    payrise::line_reader reader(in.get(), payrise::kChunkSize);
    unsigned char records[std::size(lines) * payrise::kRecordSize];
    harness::memory_output messages;
    EXPECT_EQ(payrise::convert_usual_lines(reader, std::size(lines), records, 0, messages.get()), std::size(lines));
}

// Lines at the edges of the window that I lines' texts 2 to 5 are looked for in: its last
// byte and one past it, empty texts, a '-' after a comma, control bytes, kinds of more
// than one letter: records and messages as the plain way's.
TEST(PayriseReadWrite, TextWindowEdgesAgreeWithPlainWay) {
    const std::string fill(33, 'x');
    const std::string lines[] = {
        "I a " + fill + ",c,d,e,100\n",   // text 5's comma the window's last byte
        "I a " + fill + "x,c,d,e,100\n",  // one byte past the window
        "I a ,b,c,d,100\n", "I a b,,c,d,100\n", "I a b,c,d,e,,100\n", "I a b ,c,d,e,100\n",
        "I a b,-c,-d,e,f,100\n", "I a b,c\td,e,f,100\n", "I a b,c,d\nx,100\n", "I a b,c,d,e\n,f,100\n",
        "Intern a b,c,d,e,100\n", "I,a b,c,d,e,100\n", "i a b,c,d,e,f,100\n", "I a b,c d,e f,g,100\n",
        "E a b,,100,a\n", "E a b,-1,a\n", "Employee a b,100,c\n", "E a b,100, \n",
    };
    for (const std::string& line : lines)
        expect_as_plain(line + "E a b,100,b\n", payrise::kChunkSize);
}

// A write error stops the conversion at its line: no message, and no count, for the
// lines after it.
TEST(PayriseReadWrite, WriteErrorStopsAtItsLine) {
    std::string input;
    for (std::size_t n = 0; n < payrise::kRecordsPerBlock; ++n)  // written when the next comes
        input += "I a b,c,d,e,1\n";
    input += "E short\nI a b,c,d,e,2\nE after\nI a b,c,d,e,3\n";
    std::FILE* out = std::fopen("/dev/full", "w");  // every write fails, as on a full disk
    ASSERT_NE(out, nullptr);
    const harness::memory_input in(input);
    harness::memory_output messages;
    const auto result = payrise::read_write(in.get(), out, messages.get());
    std::fclose(out);
    ASSERT_TRUE(messages.close());
    EXPECT_EQ(result.failed, payrise::convert_result::failure::write);
    EXPECT_EQ(result.error, ENOSPC);
    const std::size_t block = payrise::kRecordsPerBlock;
    EXPECT_EQ(result.lines, block + 2);
    EXPECT_EQ(result.records, block);
    EXPECT_EQ(messages.bytes(), "payrise: input1.txt: line " + std::to_string(block + 1) +
                                   ": too few fields for kind E, no record written: 'E short'\n");
}

// The printer's line of a record the encoder wrote, the longest one included, and a
// record of no kind, which writes nothing.
TEST(PayrisePrint, LineOfEachKindAndRefusalOfOthers) {
    harness::memory_output out;
    const auto line = [&](const staff_record& record, std::uint64_t number) {
        const std::string bytes = encoded(record);
        return payrise::print_line(reinterpret_cast<const unsigned char*>(bytes.data()), number, out.get());
    };
    EXPECT_EQ(line({.kind = 'i', .salary = 1234.5}, 1), "");
    EXPECT_EQ(line({.kind = 'E', .salary = -2.2250738585072014e-308, .grade = 'c'}, 2), "");
    EXPECT_EQ(line({.kind = 'x', .salary = 7}, 3), "record 3: kind byte 0x78 is not I or E");
    ASSERT_TRUE(out.close());
    EXPECT_EQ(out.bytes(), "i 1234.5\nE -2.2250738585072014e-308 c\n");
}

}  // namespace
