// fieldsplit: splits a built-in text of four comma-separated fields, converts the
// second to a real number and the fourth to an integer, and prints all four.
#include <cstdio>
#include <cstdlib>
#include <new>

#include "common/process.h"

namespace {

const char* tokenstring = "first,25.5,second,15";

// Each field holds at most 9 characters; every field of the built-in text fits.
char o[10];
char s[10];
char t[10];
char f[10];
double fp;
int i;

// The scan set lists the apostrophe, the comma and the apostrophe again.
const char kSplitFormat[] = "%[^','],%[^','],%[^','],%s";
const char kPrintFormat[] = "%s\n %f\n %s\n %d\n";

const char kSynopsis[] = "usage: fieldsplit [-h | --help | --version]\n";

const char kDescription[] =
    "Splits the built-in text \"first,25.5,second,15\" into four fields and prints\n"
    "them on standard output, one per line: the first field, the second as a real\n"
    "number with six decimals, the third, and the fourth as an integer.\n"
    "It reads and writes no file.\n"
    "Exit status: 0 on success, 1 if standard output or a message on standard error\n"
    "cannot be written, 2 for an unknown argument.\n";

}  // namespace

int main(int argc, char** argv) try {
    if (const auto status = suite::open_run("fieldsplit", argc, argv, kSynopsis, kDescription, 0))
        return *status;

    if (std::sscanf(tokenstring, kSplitFormat, o, s, t, f) != 4) {
        suite::report("built-in text", "does not split into four fields");
        return 1;
    }
    fp = std::atof(s);
    i = std::atoi(f);
    std::printf(kPrintFormat, o, fp, t, i);
    return suite::close_stdout();
} catch (const std::bad_alloc&) {
    return suite::report_no_memory();
}
