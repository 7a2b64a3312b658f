// The guard that keeps a run from writing over what it reads.
#include "common/own_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/output/output_file.h"
#include "common/process.h"

namespace suite {
namespace {

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool refuse(std::string_view output, const char* input_name) {
    report(output, "is the input file " + quote_name(input_name) + " itself; not overwritten");
    return true;
}

// Compares an output with an input whose status `stat_input` fetches (0 or the error).
template <typename StatInput>
bool is_own_input_by(const char* output, const char* input_name, StatInput stat_input) {
    const auto cannot_compare = [&](int error) {
        report(output, "cannot be compared with the input file " + quote_name(input_name) + ": " +
                           std::strerror(error) + "; not written");
        return true;
    };
    struct stat out {};
    struct stat in {};
    if (stat(output, &out) != 0)
        return errno == ENOENT ? false : cannot_compare(errno);
    if (const int error = stat_input(in))
        return error == ENOENT ? false : cannot_compare(error);
    if (!same_file(out, in))
        return false;
    return refuse(output, input_name);
}

}  // namespace

bool is_own_input(const char* output, std::FILE* input, const char* input_name) {
    return is_own_input_by(output, input_name, [input](struct stat& in) {
        // An open input is never missing: any failure refuses.
        return fstat(fileno(input), &in) == 0 ? 0 : (errno == ENOENT ? EIO : errno);
    });
}

bool is_own_input(const char* output, const char* input_name) {
    return is_own_input_by(output, input_name,
                           [input_name](struct stat& in) { return stat(input_name, &in) == 0 ? 0 : errno; });
}

bool is_own_input(const output_file& output, int input, const char* input_name) {
    return output.is_file(input) && refuse(output.path(), input_name);
}

bool is_own_input(const output_file& output, const char* input_name) {
    const int input = open(input_name, O_PATH | O_CLOEXEC);
    const bool own = input >= 0 && is_own_input(output, input, input_name);
    if (input >= 0)
        close(input);
    return own;
}

}  // namespace suite
