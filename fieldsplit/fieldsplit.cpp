// fieldsplit: splits a built-in text of four comma-separated fields, converts the
// second to a real number and the fourth to an integer, and prints all four.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

const char kUsage[] =
    "usage: fieldsplit\n"
    "Splits the built-in text \"first,25.5,second,15\" into four fields and prints\n"
    "them on standard output, one per line: the first field, the second as a real\n"
    "number with six decimals, the third, and the fourth as an integer.\n"
    "It reads and writes no file.\n"
    "Exit status: 0 on success, 1 if standard output cannot be written.\n";

// Answers --help and --version; returns true when it did.
bool answer_info_option(int argc, char** argv) {
    if (argc < 2)
        return false;
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return true;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::fputs("fieldsplit " SUITE_VERSION "\n", stdout);
        return true;
    }
    return false;
}

// A full disk or a closed pipe shows up at the latest when standard output is closed.
int close_stdout() {
    if (std::fclose(stdout) != 0) {
        std::fprintf(stderr, "fieldsplit: standard output: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (answer_info_option(argc, argv))
        return close_stdout();

    if (std::sscanf(tokenstring, kSplitFormat, o, s, t, f) != 4) {
        std::fprintf(stderr, "fieldsplit: the built-in text does not split into four fields\n");
        return 1;
    }
    fp = std::atof(s);
    i = std::atoi(f);
    std::printf(kPrintFormat, o, fp, t, i);
    return close_stdout();
}
