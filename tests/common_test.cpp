// The chores every program shares, at their edges: the readers of 32-bit decimals, the
// quoting of names in messages, and the close of the standard streams.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "common/int32.h"
#include "common/process.h"
#include "convert.h"
#include "testing/memory_stream.h"
#include "slotplan.h"

namespace {

[[maybe_unused]] const bool kNamed = (suite::set_program("test"), true);

// What each reader makes of `text`: the number, or nothing when it refused it as out of
// range. Any other outcome fails the test.
std::optional<std::int32_t> option_hour(const std::string& text) {
    std::int32_t value = 0;
    if (!suite::parse_int32(text.c_str(), value))
        return std::nullopt;
    return value;
}

std::optional<std::int32_t> reqpack_request(const std::string& text) {
    const harness::memory_input in(text + " 1 1\n");
    request_scanner scanner(in.get());
    request_record record{};
    const scan_result result = scanner.next(record);
    if (result.status == scan_status::out_of_range && result.fields == 0)
        return std::nullopt;
    EXPECT_EQ(result.status, scan_status::complete) << text;
    return record.app_id;
}

std::optional<std::int32_t> slotplan_field(const std::string& text) {
    const harness::memory_input in(text + "\n");
    int value = 0;
    const slotplan::scan_target targets[] = {&value};
    const slotplan::scan_result result = slotplan::scan_record(in.get(), "%d", targets);
    if (result.status == slotplan::scan_status::out_of_range)
        return std::nullopt;
    EXPECT_EQ(result.status, slotplan::scan_status::complete) << text;
    return value;
}

// Every reader of a 32-bit decimal takes the extremes and refuses one past them, also
// when the first ten digits are exactly the limit and more digits follow.
TEST(Int32Readers, TakeTheExtremesAndRefuseAnythingBeyond) {
    struct Case {
        const char* text;
        std::optional<std::int32_t> value;
    };
    const Case cases[] = {
        {"2147483647", INT32_MAX},
        {"2147483648", std::nullopt},
        {"21474836470", std::nullopt},
        {"-2147483648", INT32_MIN},
        {"-2147483649", std::nullopt},
        {"-21474836480", std::nullopt},
        {"99999999999999999999999999999", std::nullopt},
        {"+0000000000000000000000000042", 42},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(option_hour(c.text), c.value) << "option hour " << c.text;
        EXPECT_EQ(reqpack_request(c.text), c.value) << "reqpack request " << c.text;
        EXPECT_EQ(slotplan_field(c.text), c.value) << "slotplan field " << c.text;
    }
}

// A byte is shown as it is from the blank to the tilde; the control bytes below and DEL
// above are quoted in a name or an argument and escaped in the text of a message.
TEST(MessageQuoting, PrintableRangeEndsAtBlankAndTilde) {
    struct Case {
        const char* text;
        const char* name;
        const char* argument;
        const char* message;
    };
    const Case cases[] = {
        {"a\x1f" "b", R"('a'$'\037''b')", R"('a'$'\037''b')", R"(test: f: a\037b)"},
        {"a b", "a b", "'a b'", "test: f: a b"},
        {"a~b", "a~b", "'a~b'", "test: f: a~b"},
        {"a\x7f" "b", R"('a'$'\177''b')", R"('a'$'\177''b')", R"(test: f: a\177b)"},
        // An encoded surrogate (U+D800) is no character.
        {"a\xed\xa0\x80" "b", R"('a'$'\355\240\200''b')", R"('a'$'\355\240\200''b')", R"(test: f: a\355\240\200b)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(suite::quote_name(c.text), c.name);
        EXPECT_EQ(suite::quote_argument(c.text), c.argument);
        testing::internal::CaptureStderr();
        suite::report("f", c.text);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(c.message) + "\n");
    }
}

// What every main's catch of std::bad_alloc ends with: one line, and the status 1.
TEST(OutOfMemory, OneLineAndStatus1) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(suite::report_no_memory(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "test: not enough memory\n");
}

// Writes to descriptor `fd` while it stands for a file open for reading only, so that
// the write fails and its stream's buffer is dropped; then gives the descriptor back,
// so that the final flush succeeds, and closes as every main does.
int close_after_one_failed_write(int fd) {
    const int saved = dup(fd);
    const int read_only = open("/dev/null", O_RDONLY);
    dup2(read_only, fd);
    if (fd == STDOUT_FILENO) {
        std::fputs("a line\n", stdout);
        std::fflush(stdout);
    } else {
        suite::warn("a notice");
    }
    dup2(saved, fd);
    return suite::close_stdout();
}

// A write that failed once fails the run, though nothing is left to flush at the end
// (a terminal, a non-blocking descriptor); for standard error without a word more. In a
// child, as the close ends the stream.
TEST(StandardStreamsDeathTest, AWriteThatFailedOnceFailsTheRun) {
    struct Case {
        int fd;
        const char* said;
    };
    const Case cases[] = {
        {STDOUT_FILENO, "test: standard output: Input/output error\n"},
        {STDERR_FILENO, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EXIT(std::_Exit(close_after_one_failed_write(c.fd)), testing::ExitedWithCode(1),
                    testing::Eq(std::string(c.said)))
            << "descriptor " << c.fd;
    }
}

}  // namespace
