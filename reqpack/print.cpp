// The records printer: blocks of 12-byte records in, request lines out.
#include "print.h"

#include <vector>

#include "common/process.h"
#include "part1.h"

namespace {

// fread fills a whole block unless the input ends or fails, so only the last block
// can end inside a record.
constexpr std::size_t kPrintBlock = kRecordSize * 4096;

}  // namespace

print_result print_requests(std::FILE* in, std::FILE* out) {
    print_result result;
    std::vector<unsigned char> block(kPrintBlock);
    for (;;) {
        const std::size_t got = std::fread(block.data(), 1, block.size(), in);
        const int read_error = got < block.size() && std::ferror(in) ? suite::last_error() : 0;
        for (std::size_t at = 0; at + kRecordSize <= got; at += kRecordSize) {
            const request_record record = decode_request(block.data() + at);
            if (std::fprintf(out, kPrintFormat, record.app_id, record.patient_id, record.hour) < 0) {
                result.write_error = suite::last_error();
                return result;
            }
            ++result.records;
        }
        if (read_error != 0) {
            result.read_error = read_error;
            break;
        }
        if (got < block.size()) {
            result.trailing = got % kRecordSize;
            break;
        }
    }
    if (std::fflush(out) != 0)
        result.write_error = suite::last_error();
    return result;
}
