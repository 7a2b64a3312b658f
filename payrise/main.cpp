// payrise: converts "input1.txt" into "binary_f.bin", or prints such a file back;
// opens the files, runs read_write or the printer and maps what happened to messages
// and the exit status.
#include <cstdio>
#include <new>
#include <string_view>

#include "common/file.h"
#include "common/output/output_file.h"
#include "common/own_input.h"
#include "common/process.h"
#include "payrise.h"
#include "print.h"

namespace {

const char kOutputName[] = "binary_f.bin";
const char kCheckFileMessage[] = "ERROR!! Check file!\n";

const char kSynopsis[] =
    "usage: payrise\n"
    "       payrise --print [FILE]\n"
    "       payrise -h | --help | --version\n";

const char kDescription[] =
    "Reads staff lines from \"input1.txt\" in the current directory, raises each\n"
    "salary by the rule of its kind (I: 5.15 per cent; E: 17.5, 12 or 9 per cent\n"
    "for grades a, b and c) and writes one 56-byte record for each I and E line\n"
    "to \"binary_f.bin\", replacing that file only once every record is written.\n"
    "Other lines are skipped; a line with too few fields is named on standard\n"
    "error and skipped.\n"
    "Exit status: 0 on success; 1 if input1.txt cannot be opened or read, or\n"
    "binary_f.bin cannot be written (it then keeps its previous content).\n"
    "--print prints each record of FILE (default binary_f.bin, - for standard input)\n"
    "as a line: the kind letter, the salary and, for kind E, the grade. Exit status:\n"
    "1 if FILE cannot be read or holds anything but whole I and E records; a reader\n"
    "that goes away ends it by SIGPIPE, without a message.\n"
    "Any other argument is refused with status 2.\n";

int convert(std::FILE* input) {
    if (suite::is_own_input(kOutputName, input, payrise::kInputName))
        return 1;
    suite::output_file output(kOutputName);
    if (const int error = output.open()) {
        suite::report_error(output.blamed(), error);
        return 1;
    }
    if (suite::is_own_input(output, fileno(input), payrise::kInputName))
        return 1;
    // Messages about lines can come by the hundred thousand: written in blocks, not a
    // write each. close_stdout() flushes them and fails the run when one was lost.
    static char message_block[64 * 1024];
    std::setvbuf(stderr, message_block, _IOFBF, sizeof message_block);
    const auto result = payrise::read_write(input, output.stream(), stderr);
    std::fflush(stderr);
    using failure = payrise::convert_result::failure;
    // On either failure the output is dropped and binary_f.bin keeps its content.
    if (result.failed != failure::none) {
        suite::report_error(result.failed == failure::read ? payrise::kInputName : output.blamed(), result.error);
        return 1;
    }
    return suite::report_outcome(kOutputName, output.commit()) ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) try {
    const bool printing = argc > 1 && std::string_view(argv[1]) == "--print";
    if (const auto status = suite::open_run("payrise", argc, argv, kSynopsis, kDescription, printing ? 2 : 0))
        return *status;
    if (printing) {
        const int status = payrise::print_file(argc > 2 ? argv[2] : kOutputName);
        return suite::worse(suite::close_stdout(), status);
    }

    const suite::file_ptr input(std::fopen(payrise::kInputName, "r"));
    if (!input) {
        const int error = suite::last_error();
        std::fputs(kCheckFileMessage, stdout);
        suite::report_error(payrise::kInputName, error);
        suite::close_stdout();
        return 1;
    }
    const int status = convert(input.get());
    return suite::worse(suite::close_stdout(), status);
} catch (const std::bad_alloc&) {
    return suite::report_no_memory();
}
