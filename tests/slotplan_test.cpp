// slotplan end to end: People.txt and AppointmentReqs.txt in, the exact bytes of
// Appointments.txt, the messages and the exit status out.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

// A request line as written without a paired person: keys, then blank names and tag.
std::string unpaired(const std::string& slot, const std::string& keys) {
    return slot + keys + std::string(24, ' ') + "\n";
}

harness::Result schedule(const char* people, const std::string& requests) {
    std::map<std::string, std::string> files{{"AppointmentReqs.txt", requests}};
    if (people != nullptr)
        files["People.txt"] = people;
    return harness::run("slotplan", files);
}

struct CleanRun {
    const char* what;
    const char* people;   // nullptr: no People.txt
    const char* requests;
    std::string list;     // Appointments.txt
    std::string notices = "";   // standard error: requests dropped, dates no calendar has
};

std::string notice(const std::string& what) {
    return "slotplan: AppointmentReqs.txt: record " + what + "\n";
}
std::string said(const std::string& what) {
    return "slotplan: AppointmentReqs.txt: " + what + "\n";
}

const CleanRun kCleanRuns[] = {
    {"eleven digits in a row split after the fifth", "12345678901 Ann Lee A\n", "12345678901 2024 3 1 9:00\n",
     " 2024  3  1  9:00  12345678901 Ann        Lee        A\n"},
    {"the sign counts toward the key widths", nullptr, "-12345 2024 3 1 9:00\n-1 +12345 2024 3 1 9:01\n",
     unpaired(" 2024  3  1  9:00 ", " -1234     5") + unpaired(" 2024  3  1  9: 1 ", "    -1 12345")},
    {"any one character separates hour and minute, a blank or a digit too", nullptr,
     "1 2 2024 5 6 10.30\n1 2 2024 5 7 10 30\n1 2 2024 5 8 1030\n1 2 2024 5 9 9h5\n",
     unpaired(" 2024  5  6 10:30 ", "     1     2") + unpaired(" 2024  5  7 10:30 ", "     1     2") +
         unpaired(" 2024  5  8 10:00 ", "     1     2") + unpaired(" 2024  5  9  9: 5 ", "     1     2")},
    {"records are not bound to lines, and one across a line end is named", "1 2\nAnn\nLee\n\nA 3 4 Bob Ray B\n",
     "1\n2 2024\n5 6 10:30 3 4 2024 5 6 11:00\n",
     " 2024  5  6 10:30      1     2 Ann        Lee        A\n"
     " 2024  5  6 11:00      3     4 Bob        Ray        B\n",
     "slotplan: People.txt: line 1, record 1: runs on to line 5: '1 2'\n" +
         said("line 1, record 1: runs on to line 3: '1'")},
    {"a request with no minute takes the next line's key", nullptr, "1 2 2025 4 4 9h\n10041 500281 2025 4 4 9:30\n",
     unpaired(" 2025  4  4  9:10 ", "     1     2") + unpaired(" 2025  4  4  9:30 ", "    41500281"),
     said("line 1, record 1: runs on to line 2: '1 2 2025 4 4 9h'")},
    {"names up to 29 characters, written whole, push the line right",
     "1 2 Maximiliane Mustermann-Schmidt-Oberholzer Z\n", "1 2 2024 1 1 9:00\n",
     " 2024  1  1  9:00      1     2 Maximiliane Mustermann-Schmidt-Oberholzer Z\n"},
    {"the tag is one byte whatever it is", "1 2 Ann Lee \xe9\n3 4 Bob Ray 7\n", "1 2 2024 1 1 9:00\n3 4 2024 1 1 9:01\n",
     " 2024  1  1  9:00      1     2 Ann        Lee        \xe9\n"
     " 2024  1  1  9: 1      3     4 Bob        Ray        7\n"},
    {"the smallest and largest years", nullptr, "1 2 -2147483648 1 1 9:00\n1 2 2147483647 1 1 9:00\n",
     unpaired(" -2147483648  1  1  9:00 ", "     1     2") + unpaired(" 2147483647  1  1  9:00 ", "     1     2"),
     notice("1 (1 2) asks for -2147483648-01-01 09:00: the year is beyond the calendar; kept") +
         notice("2 (1 2) asks for 2147483647-01-01 09:00: the year is beyond the calendar; kept")},
    {"the calendar holds the years -32767 to 32767", nullptr,
     "1 2 32767 1 1 9:00\n1 2 -32767 1 1 9:00\n1 2 32768 1 1 9:00\n1 2 -32768 1 1 9:00\n",
     unpaired(" -32768  1  1  9:00 ", "     1     2") + unpaired(" -32767  1  1  9:00 ", "     1     2") +
         unpaired(" 32767  1  1  9:00 ", "     1     2") + unpaired(" 32768  1  1  9:00 ", "     1     2"),
     notice("3 (1 2) asks for 32768-01-01 09:00: the year is beyond the calendar; kept") +
         notice("4 (1 2) asks for -32768-01-01 09:00: the year is beyond the calendar; kept")},
    {"no people file: requests go out without names", nullptr, "1 2 2024 1 1 9:00\n",
     unpaired(" 2024  1  1  9:00 ", "     1     2")},
    {"no requests: an empty list", "1 2 Ann Lee A\n", " \n\n", ""},
    {"names attach only where record positions agree", "1 1 Ann Lee A\n2 2 Bob Ray B\n3 3 Cy Doe C\n",
     "3 3 2024 1 1 9:00\n2 2 2024 1 1 10:00\n1 1 2024 1 1 11:00\n",
     unpaired(" 2024  1  1  9:00 ", "     3     3") + " 2024  1  1 10:00      2     2 Bob        Ray        B\n" +
         unpaired(" 2024  1  1 11:00 ", "     1     1"),
     said("line 1, record 1 (3 3) has the keys of People.txt line 3, record 3: names pair by position, none attached") +
         said("line 3, record 3 (1 1) has the keys of People.txt line 1, record 1: names pair by position, none attached")},
    {"both keys must agree", "1 1 Ann Lee A\n2 2 Bob Ray B\n", "1 9 2024 1 1 9:00\n9 2 2024 1 1 10:00\n",
     unpaired(" 2024  1  1  9:00 ", "     1     9") + unpaired(" 2024  1  1 10:00 ", "     9     2")},
    {"a request past the last person pairs with no one, keys 0 0 too", "1 1 Ann Lee A\n",
     "1 1 2024 1 1 9:00\n0 0 2024 1 1 10:00\n",
     " 2024  1  1  9:00      1     1 Ann        Lee        A\n" + unpaired(" 2024  1  1 10:00 ", "     0     0")},
    {"keys 0 0 past the last person are another's all the same", "0 0 Ann Lee A\n",
     "1 1 2024 1 1 9:00\n0 0 2024 1 1 10:00\n",
     unpaired(" 2024  1  1  9:00 ", "     1     1") + unpaired(" 2024  1  1 10:00 ", "     0     0"),
     said("line 2, record 2 (0 0) has the keys of People.txt line 1, record 1: names pair by position, none attached")},
    // The holder is named by its place in the file, not among the requests kept: C' is
    // held by record 4 though C is the third request kept.
    {"a later request for a taken slot is dropped (A, B, A', C, C')", nullptr,
     "1 1 2024 6 1 12:00\n2 2 2024 6 1 8:00\n3 3 2024 6 1 12:00\n4 4 2024 5 1 8:00\n5 5 2024 5 1 8:00\n",
     unpaired(" 2024  5  1  8:00 ", "     4     4") + unpaired(" 2024  6  1  8:00 ", "     2     2") +
         unpaired(" 2024  6  1 12:00 ", "     1     1"),
     notice("3 (3 3) asks for 2024-06-01 12:00, held by record 1 (1 1): dropped") +
         notice("5 (5 5) asks for 2024-05-01 08:00, held by record 4 (4 4): dropped") +
         said("5 requests read, 2 dropped, 3 written, 0 left unread")},
    {"the first of three wins, whatever its person", "9 9 Nobody Here N\n2 2 Bob Ray B\n3 3 Cy Doe C\n",
     "1 1 2024 1 1 9:00\n2 2 2024 1 1 9:00\n3 3 2024 1 1 9:00\n", unpaired(" 2024  1  1  9:00 ", "     1     1"),
     notice("2 (2 2) asks for 2024-01-01 09:00, held by record 1 (1 1): dropped") +
         notice("3 (3 3) asks for 2024-01-01 09:00, held by record 1 (1 1): dropped") +
         said("3 requests read, 2 dropped, 1 written, 0 left unread")},
    {"one person, two slots: both stay", "1 1 Ann Lee A\n1 1 Ann Lee A\n", "1 1 2024 1 1 9:01\n1 1 2024 1 1 9:00\n",
     " 2024  1  1  9:00      1     1 Ann        Lee        A\n"
     " 2024  1  1  9: 1      1     1 Ann        Lee        A\n"},
    {"year before month before day, and times within a day", nullptr,
     "1 1 2025 1 1 9:00\n2 2 2024 12 2 9:00\n3 3 2024 12 1 10:15\n4 4 2024 12 1 10:00\n5 5 2024 12 1 9:30\n",
     unpaired(" 2024 12  1  9:30 ", "     5     5") + unpaired(" 2024 12  1 10:00 ", "     4     4") +
         unpaired(" 2024 12  1 10:15 ", "     3     3") + unpaired(" 2024 12  2  9:00 ", "     2     2") +
         unpaired(" 2025  1  1  9:00 ", "     1     1")},
    // Months 13 and 0 both leave the month unset, so the fourth request clashes with the second.
    {"a month outside 1 to 12 is written as 0 and sorts before January", nullptr,
     "1 1 2024 1 1 9:00\n2 2 2024 13 1 9:00\n3 3 2023 -1 5 9:00\n4 4 2024 0 1 9:00\n",
     unpaired(" 2023  0  5  9:00 ", "     3     3") + unpaired(" 2024  0  1  9:00 ", "     2     2") +
         unpaired(" 2024  1  1  9:00 ", "     1     1"),
     notice("2 (2 2) asks for 2024-?\?-01 09:00: the month is not 1 to 12; kept") +
         notice("3 (3 3) asks for 2023-?\?-05 09:00: the month is not 1 to 12; kept") +
         notice("4 (4 4) asks for 2024-?\?-01 09:00: the month is not 1 to 12; kept") +
         notice("4 (4 4) asks for 2024-?\?-01 09:00, held by record 2 (2 2): dropped") +
         said("4 requests read, 1 dropped, 3 written, 0 left unread")},
    {"minute 0 is two zeros, others pad to two places", nullptr,
     "1 1 2024 1 1 9:0\n1 1 2024 1 1 9:5\n1 1 2024 1 1 9:30\n1 1 2024 1 1 9:-5\n",
     unpaired(" 2024  1  1  9:-5 ", "     1     1") + unpaired(" 2024  1  1  9:00 ", "     1     1") +
         unpaired(" 2024  1  1  9: 5 ", "     1     1") + unpaired(" 2024  1  1  9:30 ", "     1     1"),
     notice("4 (1 1) asks for 2024-01-01 09:-5: the time is not between 0:00 and 23:59; kept")},
    {"a day its month lacks and a time no clock shows are named, and kept", nullptr,
     "1 1 2023 2 29 9:00\n2 2 2024 2 29 24:00\n3 3 2024 4 31 9:60\n4 4 2024 4 0 -1:00\n",
     unpaired(" 2023  2 29  9:00 ", "     1     1") + unpaired(" 2024  2 29 24:00 ", "     2     2") +
         unpaired(" 2024  4  0 -1:00 ", "     4     4") + unpaired(" 2024  4 31  9:60 ", "     3     3"),
     notice("1 (1 1) asks for 2023-02-29 09:00: the month has no day 29; kept") +
         notice("2 (2 2) asks for 2024-02-29 24:00: the time is not between 0:00 and 23:59; kept") +
         notice("3 (3 3) asks for 2024-04-31 09:60: the month has no day 31, the time is not between 0:00 and "
                "23:59; kept") +
         notice("4 (4 4) asks for 2024-04-00 -1:00: the month has no day 0, the time is not between 0:00 and "
                "23:59; kept")},
};

TEST(SlotplanRuns, WriteExactlyTheExpectedList) {
    for (const CleanRun& c : kCleanRuns) {
        auto r = schedule(c.people, c.requests);
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_EQ(r.err, c.notices) << c.what;
        EXPECT_EQ(r.files["Appointments.txt"], c.list) << c.what;
    }
}

std::string many_requests(int count) {
    std::string text;
    for (int k = 1; k <= count; ++k)
        text += std::to_string(k) + " 0 2024 3 " + std::to_string(k % 28 + 1) + " " + std::to_string(k % 24) + ":" +
                std::to_string(k % 60) + "\n";
    return text;
}

TEST(SlotplanReading, FiftyOneRecordsAreReadAndMoreAreReportedAndCounted) {
    std::string people;   // keys 0 k pair with no request
    for (int k = 1; k <= 55; ++k)
        people += "0 " + std::to_string(k) + " Ann Lee A\n";
    // The rest is counted up to a record that does not scan, which counts too.
    auto r = schedule(people.c_str(), many_requests(60) + "1 2 x\n1 2 2024 1 1 9:00\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "slotplan: People.txt: more than 51 records; the rest of the file was not read\n"
                     "slotplan: AppointmentReqs.txt: more than 51 records; the rest of the file was not read\n" +
                         said("51 requests read, 0 dropped, 51 written, 10 left unread; People.txt: 51 people read, "
                              "4 left unread"));
    const std::string& list = r.files["Appointments.txt"];
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 51);
    EXPECT_NE(list.find("    51     0"), std::string::npos);

    auto exact = schedule(nullptr, many_requests(51) + "\n \n");
    EXPECT_EQ(exact.status, 0);
    EXPECT_EQ(exact.err, "");
    EXPECT_EQ(exact.files["Appointments.txt"], list);
}

TEST(SlotplanReading, MalformedRecordStopsItsFileAndTheRecordsBeforeItAreWritten) {
    struct Case { std::string people; const char* rest; const char* message; };
    const std::string name30(30, 'n');
    const Case cases[] = {
        {"", "3 4 2024 x 1 9:00\n5 6 2024 1 1 7:00\n",
         "AppointmentReqs.txt: line 3, record 3: month is not a number: 'x 1 9:00'"},
        {"", "3 4 2147483648 1 1 9:00\n",
         "AppointmentReqs.txt: line 3, record 3: year is out of the signed 32-bit range: '2147483648 1 1 9:00'"},
        {"", "3 4 2024 1 1 :00\n", "AppointmentReqs.txt: line 3, record 3: hour is not a number: ':00'"},
        {"", "3 4 2024 1 1 9:", "AppointmentReqs.txt: line 3, record 3: minute is missing: the file ends inside the record"},
        {"", "\n\n-", "AppointmentReqs.txt: line 5, record 3: key1 is not a number: '-'"},
        {"8 8 Ann Lee A\n1 2 Bob ", "", "People.txt: line 2, record 2: surname is missing: the file ends inside the record"},
        {"8 8 Ann Lee A\n1 2 Bob Ray\n\n", "", "People.txt: line 3, record 2: tag is missing: the file ends inside the record"},
        {"8 8 Ann Lee A\n1 2 " + name30 + " Ray B\n", "",
         "People.txt: line 2, record 2: name is longer than 29 characters: 'nnnnnnnnnnnnnnnnnnnn'"},
        // A name with a blank shifts the fields: the fault shows on the line it is on.
        {"8 8 Mary Ann Smith A\n", "", "People.txt: line 1, record 2: key1 is not a number: 'mith A'"},
    };
    for (const Case& c : cases) {
        auto r = schedule(c.people.c_str(), std::string("1 2 2024 1 2 9:00\n9 9 2023 1 1 8:00\n") + c.rest);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.err, std::string("slotplan: ") + c.message + "\n");
        EXPECT_EQ(r.files["Appointments.txt"],
                  unpaired(" 2023  1  1  8:00 ", "     9     9") + unpaired(" 2024  1  2  9:00 ", "     1     2"));
    }
}

// ---- failures of the system: a clear message, status 1, no list claimed ----

struct Failure {
    const char* what;
    std::function<void(const fs::path&)> setup;
    bool unprivileged;
    const char* out;
    const char* err;
    const char* list;   // Appointments.txt afterwards; nullptr: none
};

TEST(SlotplanFailures, EachEndsWithStatusOneAndAMessage) {
    const std::string old_list = "old list\n";
    const Failure failures[] = {
        {"missing request file", [](const fs::path& d) { fs::remove(d / "AppointmentReqs.txt"); }, false,
         "ERROR!! File2 is not open!\n", "slotplan: AppointmentReqs.txt: No such file or directory\n", "old list\n"},
        {"unreadable request file", [](const fs::path& d) { harness::make_unreadable(d / "AppointmentReqs.txt"); }, true,
         "ERROR!! File2 is not open!\n", "slotplan: AppointmentReqs.txt: Permission denied\n", "old list\n"},
        {"unreadable people file", [](const fs::path& d) { harness::make_unreadable(d / "People.txt"); }, true, "",
         "slotplan: People.txt: Permission denied\n", "old list\n"},
        {"request file is a directory", [](const fs::path& d) { harness::replace_by_folder(d / "AppointmentReqs.txt"); },
         false, "", "slotplan: AppointmentReqs.txt: Is a directory\n", "old list\n"},
        {"people file is a directory", [](const fs::path& d) { harness::replace_by_folder(d / "People.txt"); }, false, "",
         "slotplan: People.txt: Is a directory\n", "old list\n"},
        {"list is a directory", [](const fs::path& d) { harness::replace_by_folder(d / "Appointments.txt"); }, false,
         "ERROR!!!File3 is not open.", "slotplan: Appointments.txt: Is a directory\n", nullptr},
        {"directory not writable",
         [](const fs::path& d) {
             fs::remove(d / "Appointments.txt");
             harness::make_read_only(d);
         },
         true, "ERROR!!!File3 is not open.", "slotplan: Appointments.txt: Permission denied\n", nullptr},
        {"full disk", [](const fs::path& d) { harness::replace_by_link_to_dev_full(d / "Appointments.txt"); },
         false, "", "slotplan: Appointments.txt: No space left on device\n", nullptr},
    };
    for (const Failure& f : failures) {
        auto r = harness::run({.program = "slotplan",
                               .files = {{"People.txt", "1 2 Ann Lee A\n"},
                                         {"AppointmentReqs.txt", "1 2 2024 1 1 9:00\n"},
                                         {"Appointments.txt", old_list}},
                               .setup =
                                   [&f](const fs::path& d) {
                                       // Writable by all, so that a wrong write would land.
                                       fs::permissions(d / "Appointments.txt", fs::perms(0666));
                                       f.setup(d);
                                   },
                               .unprivileged = f.unprivileged});
        EXPECT_EQ(r.status, 1) << f.what;
        EXPECT_EQ(r.out, f.out) << f.what;
        EXPECT_EQ(r.err, f.err) << f.what;
        const auto list = r.files.find("Appointments.txt");
        EXPECT_EQ(list == r.files.end() ? "(none)" : list->second, f.list ? f.list : "(none)") << f.what;
    }
}

TEST(SlotplanFailures, FullStandardOutputIsReportedToo) {
    auto r = harness::run({.program = "slotplan", .stdout_path = "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "slotplan: AppointmentReqs.txt: No such file or directory\n"
                     "slotplan: standard output: No space left on device\n");
    EXPECT_TRUE(r.files.empty());
}

TEST(SlotplanInfo, HelpAndVersionTouchNoFileAndOtherArgumentsAreRefused) {
    const std::map<std::string, std::string> requests{{"AppointmentReqs.txt", "1 2 2024 1 1 9:00\n"}};
    for (const char* option : {"--help", "-h"}) {
        auto help = harness::run("slotplan", requests, {option});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("usage: slotplan [-h | --help | --version]\n", 0), 0u) << help.out;
        EXPECT_EQ(help.files.count("Appointments.txt"), 0u);
    }

    auto version = harness::run("slotplan", requests, {"--version"});
    EXPECT_EQ(version.out, "slotplan (batch suite) " SUITE_VERSION ", MIT licence\n");
    EXPECT_EQ(version.files.count("Appointments.txt"), 0u);

    // Any other argument ends the run before a file is opened.
    // It is shown as typed between quotes, unless a byte could not be shown as it is:
    // then it is quoted as the shell would read it back.
    const struct {
        const char* argument;
        const char* shown;
    } others[] = {
        {"-n", "'-n'"},
        {"--helps", "'--helps'"},
        {"it's M\xc3\xbcller.csv", "'it's M\xc3\xbcller.csv'"},
        {"a\nb\x1b[31m", "'a'$'\\n''b'$'\\033''[31m'"},
        {"\tit's\r", "$'\\t''it'\\''s'$'\\r'"},
        {"\xff\xc2\x9b\xc3", "$'\\377\\302\\233\\303'"},
    };
    for (const auto& o : others) {
        auto other = harness::run("slotplan", requests, {o.argument, "-h"});
        EXPECT_EQ(other.status, 2);
        EXPECT_EQ(other.out, "");
        EXPECT_EQ(other.err, std::string("slotplan: unknown argument ") + o.shown +
                                 "\nusage: slotplan [-h | --help | --version]\n");
        EXPECT_EQ(other.files, requests);
    }
}

}  // namespace
