// payrise: converts "input1.txt" into "binary_f.bin"; opens the files, runs
// read_write and maps what happened to messages and the exit status.
#include <cerrno>
#include <cstdio>
#include <memory>

#include "common/output_file.h"
#include "common/process.h"
#include "payrise.h"

namespace {

const char kUsage[] =
    "usage: payrise\n"
    "Reads staff lines from \"input1.txt\" in the current directory, raises each\n"
    "salary by the rule of its kind (I: 5.15 per cent; E: 17.5, 12 or 9 per cent\n"
    "for grades a, b and c) and writes one 56-byte record for each I and E line\n"
    "to \"binary_f.bin\", replacing that file only once every record is written.\n"
    "Other lines are skipped; a line with too few fields is named on standard\n"
    "error and skipped.\n"
    "Exit status: 0 on success; 1 if input1.txt cannot be opened or read, or\n"
    "binary_f.bin cannot be written (it then keeps its previous content).\n";

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using file_owner = std::unique_ptr<std::FILE, file_closer>;

int convert(std::FILE* input) {
    if (suite::is_own_input(payrise::kOutputName, input, payrise::kInputName))
        return 1;
    suite::output_file output(payrise::kOutputName);
    if (const int error = output.open()) {
        suite::report_error(payrise::kOutputName, error);
        return 1;
    }
    const auto result = payrise::read_write(input, output.stream(), stderr);
    using failure = payrise::convert_result::failure;
    // On either failure the output is dropped and binary_f.bin keeps its content.
    if (result.failed == failure::read) {
        suite::report_error(payrise::kInputName, result.error);
        return 1;
    }
    if (result.failed == failure::write) {
        suite::report_error(payrise::kOutputName, result.error);
        return 1;
    }
    if (const int error = output.commit()) {
        suite::report_error(payrise::kOutputName, error);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!suite::start("payrise"))
        return 1;
    if (suite::answer_info_option(argc, argv, kUsage))
        return suite::close_stdout();

    file_owner input(std::fopen(payrise::kInputName, "r"));
    if (!input) {
        const int error = errno;
        std::fputs(payrise::kCheckFileMessage, stdout);
        suite::report_error(payrise::kInputName, error);
        suite::close_stdout();
        return 1;
    }
    const int status = convert(input.get());
    return suite::close_stdout() != 0 ? 1 : status;
}
