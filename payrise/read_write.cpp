// payrise's read_write: lines from the line reader, the usual ones converted in one pass
// each and any other by the plain line, records written in blocks.
#include <cstring>
#include <memory>

#include "common/process.h"
#include "plain_line.h"
#include "usual_line.h"

namespace payrise {

convert_result read_write(std::FILE* input, std::FILE* output, std::FILE* messages, std::size_t chunk_size,
                          pass one_pass) {
    convert_result result;
    line_reader reader(input, chunk_size);
    // A block of records, and room for one more: a full block is written once the next
    // record has come, so that a write error stops the conversion at that record's line.
    const auto block = std::make_unique_for_overwrite<unsigned char[]>(kRecordSize * (kRecordsPerBlock + 1));
    std::size_t used = 0;  // records in the block
    const auto write_block = [&](std::size_t count) {
        return std::fwrite(block.get(), kRecordSize, count, output) == count ? 0 : suite::last_error();
    };
    next_line line;
    int write_error = 0;
    for (;;) {
        if (used > kRecordsPerBlock) {
            result.records += kRecordsPerBlock;
            if ((write_error = write_block(kRecordsPerBlock)) != 0)
                break;
            std::memcpy(block.get(), block.get() + kRecordSize * kRecordsPerBlock, kRecordSize);
            used = 1;
        }
        if (one_pass == pass::usual_lines) {
            const std::size_t lines = convert_usual_lines(reader, kRecordsPerBlock + 1 - used, block.get() + kRecordSize * used,
                                                            result.lines, messages);
            used += lines;
            result.lines += lines;
            if (lines != 0)
                continue;
        }
        if (!(line = reader.next()).found)
            break;
        used += convert_line(line, ++result.lines, messages, block.get() + kRecordSize * used) ? 1 : 0;
    }
    result.records += write_error == 0 ? used : 0;
    if (write_error == 0 && (write_error = write_block(used)) == 0 && std::fflush(output) != 0)
        write_error = suite::last_error();
    using failure = convert_result::failure;
    result.failed = line.error != 0 ? failure::read : write_error != 0 ? failure::write : failure::none;
    result.error = line.error != 0 ? line.error : write_error;
    return result;
}

}  // namespace payrise
