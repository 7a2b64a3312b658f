// slotplan end to end: People.txt and AppointmentReqs.txt in, the exact bytes of
// Appointments.txt, the messages and the exit status out.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

// A run with the two input files; std::nullopt leaves a file out.
harness::Result schedule(const std::optional<std::string>& people,
                         const std::optional<std::string>& requests) {
    std::map<std::string, std::string> files;
    if (people)
        files["People.txt"] = *people;
    if (requests)
        files["AppointmentReqs.txt"] = *requests;
    return harness::run("slotplan", files);
}

// The Appointments.txt a clean run wrote; fails the test when the run was not clean.
std::string appointments(const std::optional<std::string>& people, const std::string& requests) {
    auto r = schedule(people, requests);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.files.count("Appointments.txt"), 1u);
    return r.files["Appointments.txt"];
}

std::string many_requests(int count) {
    std::string text;
    for (int k = 1; k <= count; ++k)
        text += std::to_string(k) + " 0 2024 3 " + std::to_string(k % 28 + 1) + " " +
                std::to_string(k % 24) + ":" + std::to_string(k % 60) + "\n";
    return text;
}

// ---- reading ----

TEST(SlotplanReading, ElevenDigitsInARowSplitAfterTheFifth) {
    EXPECT_EQ(appointments("12345678901 Ann Lee A\n", "12345678901 2024 3 1 9:00\n"),
              " 2024  3  1  9:00  12345678901 Ann        Lee        A\n");
}

TEST(SlotplanReading, SignCountsTowardTheKeyWidths) {
    // %5d takes "-1234" and leaves "5" for %6d; "+12345" fills %6d exactly.
    EXPECT_EQ(appointments(std::nullopt, "-12345 2024 3 1 9:00\n-1 +12345 2024 3 1 9:01\n"),
              " 2024  3  1  9:00  -1234     5                        \n"
              " 2024  3  1  9: 1     -1 12345                        \n");
}

TEST(SlotplanReading, AnySingleCharacterSeparatesHourAndMinute) {
    struct Case { const char* time; const char* written; };
    const Case cases[] = {
        {"10:30", "10:30"},
        {"10.30", "10:30"},
        {"10 30", "10:30"},   // a blank is taken as the separator
        {"1030", "10:00"},    // the separator is the digit 3, the minute is 0
        {"9h5", " 9: 5"},
    };
    for (const Case& c : cases) {
        const std::string request = std::string("1 2 2024 5 6 ") + c.time + "\n";
        EXPECT_EQ(appointments(std::nullopt, request),
                  std::string(" 2024  5  6 ") + c.written + "      1     2                        \n")
            << c.time;
    }
}

TEST(SlotplanReading, RecordsAreNotBoundToLines) {
    EXPECT_EQ(appointments("1 2\nAnn\nLee\n\nA 3 4 Bob Ray B\n",
                           "1\n2 2024\n5 6 10:30 3 4 2024 5 6 11:00\n"),
              " 2024  5  6 10:30      1     2 Ann        Lee        A\n"
              " 2024  5  6 11:00      3     4 Bob        Ray        B\n");
}

TEST(SlotplanReading, FiftyOneRecordsAreReadAndTheRestIsReported) {
    auto r = schedule(std::nullopt, many_requests(60));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "slotplan: AppointmentReqs.txt: more than 51 records; the rest of the file was not read\n");
    const std::string& out = r.files["Appointments.txt"];
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 51);
    EXPECT_NE(out.find("    51     0"), std::string::npos);
    EXPECT_EQ(out.find("    52     0"), std::string::npos);
}

TEST(SlotplanReading, ExactlyFiftyOneRecordsAreNotReportedAsTooMany) {
    auto r = schedule(std::nullopt, many_requests(51) + "\n \n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::string& out = r.files["Appointments.txt"];
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 51);
}

TEST(SlotplanReading, MalformedRequestStopsReadingAndTheRecordsBeforeItAreWritten) {
    struct Case { const char* rest; const char* message; };
    const Case cases[] = {
        {"3 4 2024 x 1 9:00\n5 6 2024 1 1 7:00\n", "record 3: month is not a number"},
        {"3 4 2147483648 1 1 9:00\n5 6 2024 1 1 7:00\n", "record 3: year is out of the signed 32-bit range"},
        {"3 4 2024 1 1 :00\n5 6 2024 1 1 7:00\n", "record 3: hour is not a number"},
        {"3 4 2024 1 1 9:", "record 3: minute is missing: the file ends inside the record"},
        {"3", "record 3: key2 is missing: the file ends inside the record"},
    };
    for (const Case& c : cases) {
        auto r = schedule(std::nullopt, std::string("1 2 2024 1 2 9:00\n9 9 2023 1 1 8:00\n") + c.rest);
        EXPECT_EQ(r.status, 1) << c.rest;
        EXPECT_EQ(r.err, std::string("slotplan: AppointmentReqs.txt: ") + c.message + "\n");
        EXPECT_EQ(r.files["Appointments.txt"],
                  " 2023  1  1  8:00      9     9                        \n"
                  " 2024  1  2  9:00      1     2                        \n");
    }
}

TEST(SlotplanReading, NameOfTwentyNineCharactersIsKeptAndThirtyIsMalformed) {
    const std::string name29(29, 'n');
    const std::string name30(30, 'n');
    auto r = schedule("1 2 " + name29 + " Lee A\n3 4 Bob " + name30 + " B\n",
                      "1 2 2024 1 1 9:00\n3 4 2024 1 1 10:00\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "slotplan: People.txt: record 2: surname is longer than 29 characters\n");
    EXPECT_EQ(r.files["Appointments.txt"],
              " 2024  1  1  9:00      1     2 " + name29 + " Lee        A\n"
              " 2024  1  1 10:00      3     4                        \n");
}

TEST(SlotplanReading, SmallestAndLargestYearsAreRead) {
    EXPECT_EQ(appointments(std::nullopt, "1 2 -2147483648 1 1 9:00\n1 2 2147483647 1 1 9:00\n"),
              " -2147483648  1  1  9:00      1     2                        \n"
              " 2147483647  1  1  9:00      1     2                        \n");
}

TEST(SlotplanReading, MissingPeopleFileIsSilentAndRequestsGoOutWithoutNames) {
    EXPECT_EQ(appointments(std::nullopt, "1 2 2024 1 1 9:00\n"),
              " 2024  1  1  9:00      1     2                        \n");
}

TEST(SlotplanReading, EmptyInputsGiveAnEmptyAppointmentList) {
    EXPECT_EQ(appointments("", ""), "");
    EXPECT_EQ(appointments("1 2 Ann Lee A\n", " \n\n"), "");
}

TEST(SlotplanReading, MissingRequestFileStopsAndLeavesTheOldListAlone) {
    auto r = harness::run("slotplan", {{"People.txt", "1 2 Ann Lee A\n"}, {"Appointments.txt", "old list\n"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR!! File2 is not open!\n");
    EXPECT_EQ(r.err, "slotplan: AppointmentReqs.txt: No such file or directory\n");
    EXPECT_EQ(r.files["Appointments.txt"], "old list\n");
}

TEST(SlotplanReading, MissingBothInputsCreatesNothing) {
    auto r = schedule(std::nullopt, std::nullopt);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR!! File2 is not open!\n");
    EXPECT_TRUE(r.files.empty());
}

// ---- pairing ----

TEST(SlotplanPairing, NamesAttachOnlyWhereRecordPositionsAgree) {
    // Bob stands second in both files; Ann and Cy are listed in another order.
    EXPECT_EQ(appointments("1 1 Ann Lee A\n2 2 Bob Ray B\n3 3 Cy Doe C\n",
                           "3 3 2024 1 1 9:00\n2 2 2024 1 1 10:00\n1 1 2024 1 1 11:00\n"),
              " 2024  1  1  9:00      3     3                        \n"
              " 2024  1  1 10:00      2     2 Bob        Ray        B\n"
              " 2024  1  1 11:00      1     1                        \n");
}

TEST(SlotplanPairing, BothKeysMustAgree) {
    EXPECT_EQ(appointments("1 1 Ann Lee A\n2 2 Bob Ray B\n", "1 9 2024 1 1 9:00\n9 2 2024 1 1 10:00\n"),
              " 2024  1  1  9:00      1     9                        \n"
              " 2024  1  1 10:00      9     2                        \n");
}

TEST(SlotplanPairing, RequestsBeyondThePeopleGetNoNames) {
    EXPECT_EQ(appointments("1 1 Ann Lee A\n", "1 1 2024 1 1 9:00\n1 1 2024 1 1 10:00\n"),
              " 2024  1  1  9:00      1     1 Ann        Lee        A\n"
              " 2024  1  1 10:00      1     1                        \n");
}

// ---- clash removal ----

TEST(SlotplanClashes, LaterRequestForATakenSlotIsDropped) {
    // A, B, A' and C, where A' asks for the slot of A.
    EXPECT_EQ(appointments(std::nullopt, "1 1 2024 6 1 12:00\n2 2 2024 6 1 8:00\n"
                                         "3 3 2024 6 1 12:00\n4 4 2024 5 1 8:00\n"),
              " 2024  5  1  8:00      4     4                        \n"
              " 2024  6  1  8:00      2     2                        \n"
              " 2024  6  1 12:00      1     1                        \n");
}

TEST(SlotplanClashes, OnlyTheFirstOfThreeIsKeptWhateverItsPerson) {
    // The first request has no paired person; the later ones do, and still lose.
    EXPECT_EQ(appointments("9 9 Nobody Here N\n2 2 Bob Ray B\n3 3 Cy Doe C\n",
                           "1 1 2024 1 1 9:00\n2 2 2024 1 1 9:00\n3 3 2024 1 1 9:00\n"),
              " 2024  1  1  9:00      1     1                        \n");
}

TEST(SlotplanClashes, SamePersonForDifferentSlotsKeepsBoth) {
    EXPECT_EQ(appointments("1 1 Ann Lee A\n1 1 Ann Lee A\n", "1 1 2024 1 1 9:00\n1 1 2024 1 1 9:01\n"),
              " 2024  1  1  9:00      1     1 Ann        Lee        A\n"
              " 2024  1  1  9: 1      1     1 Ann        Lee        A\n");
}

TEST(SlotplanClashes, SlotsDifferingInOneFieldDoNotClash) {
    EXPECT_EQ(appointments(std::nullopt, "1 1 2024 1 1 9:00\n2 2 2025 1 1 9:00\n3 3 2024 2 1 9:00\n"
                                         "4 4 2024 1 2 9:00\n5 5 2024 1 1 10:00\n6 6 2024 1 1 9:01\n"),
              " 2024  1  1  9:00      1     1                        \n"
              " 2024  1  1  9: 1      6     6                        \n"
              " 2024  1  1 10:00      5     5                        \n"
              " 2024  1  2  9:00      4     4                        \n"
              " 2024  2  1  9:00      3     3                        \n"
              " 2025  1  1  9:00      2     2                        \n");
}

// ---- ordering ----

TEST(SlotplanOrdering, YearDecidesBeforeMonthAndTimesSortWithinADay) {
    EXPECT_EQ(appointments(std::nullopt, "1 1 2025 1 1 9:00\n2 2 2024 12 1 9:00\n"
                                         "3 3 2024 12 1 10:15\n4 4 2024 12 1 10:00\n5 5 2024 12 1 9:30\n"),
              " 2024 12  1  9:00      2     2                        \n"
              " 2024 12  1  9:30      5     5                        \n"
              " 2024 12  1 10:00      4     4                        \n"
              " 2024 12  1 10:15      3     3                        \n"
              " 2025  1  1  9:00      1     1                        \n");
}

TEST(SlotplanOrdering, MonthOutsideOneToTwelveIsWrittenAsZeroAndSortsBeforeJanuary) {
    // Months 13 and 0 both leave the month unset, so the fourth request clashes with the second.
    EXPECT_EQ(appointments(std::nullopt, "1 1 2024 1 1 9:00\n2 2 2024 13 1 9:00\n3 3 2023 -1 5 9:00\n"
                                         "4 4 2024 0 1 9:00\n"),
              " 2023  0  5  9:00      3     3                        \n"
              " 2024  0  1  9:00      2     2                        \n"
              " 2024  1  1  9:00      1     1                        \n");
}

// ---- the bytes of Appointments.txt ----

TEST(SlotplanOutput, MinutesAreWrittenZeroZeroPaddedOrWhole) {
    EXPECT_EQ(appointments(std::nullopt, "1 1 2024 1 1 9:0\n1 1 2024 1 1 9:5\n1 1 2024 1 1 9:30\n"
                                         "1 1 2024 1 1 9:-5\n"),
              " 2024  1  1  9:-5      1     1                        \n"
              " 2024  1  1  9:00      1     1                        \n"
              " 2024  1  1  9: 5      1     1                        \n"
              " 2024  1  1  9:30      1     1                        \n");
}

TEST(SlotplanOutput, LongNamesAreWrittenWholeAndPushTheLineRight) {
    EXPECT_EQ(appointments("1 2 Maximiliane Mustermann-Schmidt Z\n", "1 2 2024 1 1 9:00\n"),
              " 2024  1  1  9:00      1     2 Maximiliane Mustermann-Schmidt Z\n");
}

TEST(SlotplanOutput, TagIsOneCharacterWhateverTheByte) {
    EXPECT_EQ(appointments("1 2 Ann Lee \xe9\n3 4 Bob Ray 7\n", "1 2 2024 1 1 9:00\n3 4 2024 1 1 9:01\n"),
              " 2024  1  1  9:00      1     2 Ann        Lee        \xe9\n"
              " 2024  1  1  9: 1      3     4 Bob        Ray        7\n");
}

// ---- failures of the system ----

TEST(SlotplanFailures, FullDiskWhileWritingIsAFailure) {
    harness::Run run;
    run.program = "slotplan";
    run.files = {{"AppointmentReqs.txt", "1 2 2024 1 1 9:00\n"}};
    run.setup = [](const fs::path& dir) { fs::create_symlink("/dev/full", dir / "Appointments.txt"); };
    auto r = harness::run(run);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "slotplan: Appointments.txt: No space left on device\n");
}

TEST(SlotplanFailures, FullStandardOutputIsReportedToo) {
    harness::Run run;
    run.program = "slotplan";
    run.stdout_path = "/dev/full";
    auto r = harness::run(run);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "slotplan: AppointmentReqs.txt: No such file or directory\n"
                     "slotplan: standard output: No space left on device\n");
}

TEST(SlotplanFailures, OutputNameThatIsADirectory) {
    harness::Run run;
    run.program = "slotplan";
    run.files = {{"AppointmentReqs.txt", "1 2 2024 1 1 9:00\n"}};
    run.setup = [](const fs::path& dir) { fs::create_directory(dir / "Appointments.txt"); };
    auto r = harness::run(run);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR!!!File3 is not open.");
    EXPECT_EQ(r.err, "slotplan: Appointments.txt: Is a directory\n");
}

TEST(SlotplanFailures, InputThatIsADirectoryIsAReadErrorAndNothingIsWritten) {
    for (const char* input : {"People.txt", "AppointmentReqs.txt"}) {
        harness::Run run;
        run.program = "slotplan";
        run.files = {{"People.txt", "1 2 Ann Lee A\n"}, {"AppointmentReqs.txt", "1 2 2024 1 1 9:00\n"}};
        run.setup = [input](const fs::path& dir) {
            fs::remove(dir / input);
            fs::create_directory(dir / input);
        };
        auto r = harness::run(run);
        EXPECT_EQ(r.status, 1) << input;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("slotplan: ") + input + ": Is a directory\n");
        EXPECT_EQ(r.files.count("Appointments.txt"), 0u) << input;
    }
}

TEST(SlotplanFailures, UnwritableDirectory) {
    harness::Run run;
    run.program = "slotplan";
    run.unprivileged = true;
    run.files = {{"AppointmentReqs.txt", "1 2 2024 1 1 9:00\n"}};
    run.setup = [](const fs::path& dir) { fs::permissions(dir, fs::perms(0555)); };
    auto r = harness::run(run);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR!!!File3 is not open.");
    EXPECT_EQ(r.err, "slotplan: Appointments.txt: Permission denied\n");
    EXPECT_EQ(r.files.count("Appointments.txt"), 0u);
}

TEST(SlotplanFailures, UnreadableInputStopsBeforeTheListIsTouched) {
    struct Case { const char* input; const char* out; };
    for (const Case& c : {Case{"People.txt", ""}, Case{"AppointmentReqs.txt", "ERROR!! File2 is not open!\n"}}) {
        harness::Run run;
        run.program = "slotplan";
        run.unprivileged = true;
        run.files = {{"People.txt", "1 2 Ann Lee A\n"},
                     {"AppointmentReqs.txt", "1 2 2024 1 1 9:00\n"},
                     {"Appointments.txt", "old list\n"}};
        run.setup = [&c](const fs::path& dir) {
            fs::permissions(dir / c.input, fs::perms::none);
            fs::permissions(dir / "Appointments.txt", fs::perms(0666));
        };
        auto r = harness::run(run);
        EXPECT_EQ(r.status, 1) << c.input;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, std::string("slotplan: ") + c.input + ": Permission denied\n");
        EXPECT_EQ(r.files["Appointments.txt"], "old list\n");
    }
}

// ---- information options ----

TEST(SlotplanInfo, HelpAndVersionTouchNoFile) {
    auto help = harness::run("slotplan", {{"AppointmentReqs.txt", "1 2 2024 1 1 9:00\n"}}, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: slotplan\n", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.files.count("Appointments.txt"), 0u);

    auto version = harness::run("slotplan", {}, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "slotplan " SUITE_VERSION "\n");
    EXPECT_TRUE(version.files.empty());
}

TEST(SlotplanInfo, OtherArgumentsAreIgnored) {
    auto r = harness::run("slotplan", {{"AppointmentReqs.txt", "1 2 2024 1 1 9:00\n"}}, {"-x", "--helps"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.files["Appointments.txt"], " 2024  1  1  9:00      1     2                        \n");
}

}  // namespace
