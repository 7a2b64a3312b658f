// The block loop behind reqpack --print and payrise --print.
#include "common/record_file.h"

#include <cstring>
#include <vector>

#include "common/file.h"
#include "common/process.h"

namespace suite {
namespace {

constexpr std::size_t kRecordsPerBlock = 4096;

std::string trailing_message(std::size_t bytes) {
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes") + " after the last whole record";
}

}  // namespace

int print_record_file(const char* path, std::size_t record_size, const print_record& print_one) {
    const bool from_stdin = std::strcmp(path, "-") == 0;
    const char* name = from_stdin ? "standard input" : path;
    file_ptr file(from_stdin ? nullptr : std::fopen(path, "rb"));
    if (!from_stdin && !file) {
        report_error(name, last_error());
        return 1;
    }
    std::FILE* in = from_stdin ? stdin : file.get();
    // fread fills a whole block unless the input ends or fails, so only the last block
    // can end inside a record.
    std::vector<unsigned char> block(record_size * kRecordsPerBlock);
    std::uint64_t number = 0;
    for (;;) {
        const std::size_t got = std::fread(block.data(), 1, block.size(), in);
        const int read_error = got < block.size() && std::ferror(in) ? last_error() : 0;
        for (std::size_t at = 0; at + record_size <= got; at += record_size) {
            const std::string refused = print_one(block.data() + at, ++number, stdout);
            if (std::ferror(stdout)) {
                report_stdout_error(last_error());
                return 1;
            }
            if (!refused.empty()) {
                std::fflush(stdout);
                report(name, refused);
                return 1;
            }
        }
        if (read_error != 0) {
            std::fflush(stdout);
            report_error(name, read_error);
            return 1;
        }
        if (got < block.size()) {
            if (std::fflush(stdout) != 0) {
                report_stdout_error(last_error());
                return 1;
            }
            if (got % record_size == 0)
                return 0;
            report(name, trailing_message(got % record_size));
            return 1;
        }
    }
}

}  // namespace suite
