// The benchmark's helpers: the baselines must write exactly the bytes the programs
// write, or `make bench` compares against the wrong thing, and the generated inputs
// must be deterministic and well formed for both converters.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace std::string_literals;

std::string le32(std::int32_t value) {
    auto bits = static_cast<std::uint32_t>(value);
    std::string out;
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>(bits >> (8 * i));
    return out;
}

TEST(ReqpackBaseline, EchoesAndWritesLittleEndianRecords) {
    auto r = harness::run("reqpack_baseline", {{"input.txt", "1 100 9\n2 101 10\n-1 1-2\n"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "binary 1 100 9 \nbinary 2 101 10 \nbinary -1 1 -2 \n");
    EXPECT_EQ(harness::hex(r.files["Records.bin"]),
              harness::hex("\x01\0\0\0\x64\0\0\0\x09\0\0\0"
                           "\x02\0\0\0\x65\0\0\0\x0a\0\0\0"
                           "\xff\xff\xff\xff\x01\0\0\0\xfe\xff\xff\xff"s));
}

TEST(ReqpackBaseline, IncompleteLastRequestIsNeitherWrittenNorEchoed) {
    auto r = harness::run("reqpack_baseline", {{"input.txt", "7 8 9\n10 11\n"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "binary 7 8 9 \n");
    EXPECT_EQ(r.files["Records.bin"], le32(7) + le32(8) + le32(9));
}

TEST(PayriseBaseline, RaisesByKindAndGradeWithZerosElsewhere) {
    auto r = harness::run("payrise_baseline", {{"input1.txt",
                                                "I Smith John,Sales,Oslo,Lead,100\n"
                                                "E Doe Jane,100,a\n"
                                                "e Doe Jane,100,b\n"
                                                "Employee Roe Max,100,c\n"
                                                "E Roe Max,100,A\n"
                                                "x not a kind\n"
                                                "\n"
                                                " , ,\n"
                                                "E Roe Max,100\n"
                                                "Intern Li Zoe,IT,New York,Head of unit,52341.75"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    using harness::payrise_record;
    std::string expected = payrise_record('I', 105.15) + payrise_record('E', 117.5, 'a') +
                           payrise_record('e', 112, 'b') + payrise_record('E', 109, 'c') +
                           payrise_record('E', 100, 'A') + payrise_record('I', 55037.350125);
    EXPECT_EQ(harness::hex(r.files["binary_f.bin"]), harness::hex(expected));
}

std::string generate(const std::string& kind, int count, const std::string& seed = "1") {
    auto r = harness::run("bench_gen", {}, {kind, std::to_string(count), seed});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

TEST(Generator, SameSeedSameBytesOtherSeedOtherBytes) {
    for (const char* kind : {"requests", "staff"}) {
        std::string first = generate(kind, 500);
        EXPECT_EQ(generate(kind, 500), first) << kind;
        EXPECT_NE(generate(kind, 500, "2"), first) << kind;
    }
}

TEST(Generator, RequestsAreThreeIntegersPerLineSomeNegative) {
    const int count = 5000;
    std::istringstream lines(generate("requests", count));
    std::string line;
    int seen = 0;
    int negative = 0;
    while (std::getline(lines, line)) {
        int app_id = 0, patient_id = 0, hour = 0, used = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%d %d %d%n", &app_id, &patient_id, &hour, &used), 3)
            << line;
        EXPECT_EQ(static_cast<std::size_t>(used), line.size()) << line;
        negative += app_id < 0 || patient_id < 0 || hour < 0;
        ++seen;
    }
    EXPECT_EQ(seen, count);
    EXPECT_GT(negative, count / 100);
    EXPECT_LT(negative, count / 10);
}

TEST(Generator, StaffLinesAlternateIAndEAndAllConvert) {
    const int count = 4000;
    std::string input = generate("staff", count);
    auto r = harness::run("payrise_baseline", {{"input1.txt", input}});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string& records = r.files["binary_f.bin"];
    ASSERT_EQ(records.size(), 56u * count);
    int raised_e = 0;
    int kept_e = 0;
    for (int i = 0; i < count; ++i) {
        char kind = records[56 * static_cast<std::size_t>(i)];
        if (i % 2 == 0) {
            EXPECT_TRUE(kind == 'I' || kind == 'i') << "record " << i;
        } else {
            EXPECT_TRUE(kind == 'E' || kind == 'e') << "record " << i;
            char grade = records[56 * static_cast<std::size_t>(i) + 32];
            (std::strchr("abc", grade) != nullptr ? raised_e : kept_e)++;
        }
    }
    EXPECT_GT(kept_e, 0);
    EXPECT_GT(raised_e, kept_e);
}

TEST(Generator, RejectsBadUsage) {
    for (auto args : {std::vector<std::string>{}, {"requests"}, {"words", "5"},
                      {"staff", "-3"}, {"staff", "5x"}}) {
        auto r = harness::run("bench_gen", {}, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage: bench_gen"), std::string::npos);
    }
}

}  // namespace
