// bench_gen: writes the benchmark's large inputs on standard output, the same bytes on
// every run and every machine for the same arguments.
#include <charconv>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kUsage[] =
    "usage: bench_gen requests|staff COUNT [SEED]\n"
    "  requests: COUNT lines of three integers, the request converter's input.txt\n"
    "  staff:    COUNT staff lines, I and E lines alternating, the raise converter's input1.txt\n";

// splitmix64: tiny and fully defined, unlike the standard distributions, whose
// results differ between library implementations.
struct Random {
    std::uint64_t state;

    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }
    // A number from lo to hi, both included (the slight modulo bias does not matter here).
    std::int64_t between(std::int64_t lo, std::int64_t hi) {
        return lo + static_cast<std::int64_t>(next() % static_cast<std::uint64_t>(hi - lo + 1));
    }
    bool one_in(unsigned n) { return next() % n == 0; }
    template <std::size_t N>
    const char* pick(const char* const (&words)[N]) { return words[next() % N]; }
};

// Mostly one blank between numbers, sometimes a tab or a run of blanks.
const char* separator(Random& random) {
    static const char* const kOdd[] = {"\t", "  ", " \t "};
    return random.one_in(20) ? random.pick(kOdd) : " ";
}

// A request: ascending appointment numbers, six-digit patients, office hours; now and
// then a negative field (a cancelled or corrected entry) or a 32-bit extreme.
void write_request(Random& random, std::int64_t index) {
    std::int64_t app_id = 1000000 + index;
    std::int64_t patient_id = random.between(100000, 999999);
    std::int64_t hour = random.between(7, 19);
    if (random.one_in(50))
        hour = -random.between(1, 23);
    if (random.one_in(200))
        patient_id = -patient_id;
    if (random.one_in(100000))
        app_id = random.one_in(2) ? INT32_MIN : INT32_MAX;
    // Drawn one by one: the order in which call arguments are evaluated is unspecified.
    const char* first = separator(random);
    const char* second = separator(random);
    std::printf("%" PRId64 "%s%" PRId64 "%s%" PRId64 "\n", app_id, first, patient_id, second, hour);
}

const char* const kSurnames[] = {"Miller", "Schmidt", "Garcia", "Novak", "Rossi", "Dubois",
                                 "Kowalski", "Jensen", "Silva", "Papadopoulos", "O'Brien", "Li"};
const char* const kFirstNames[] = {"Anna", "Jan", "Maria", "Luca", "Sofia", "Omar",
                                   "Eva", "Mateo", "Ingrid", "Kenji", "Zoe", "Pavel"};
const char* const kDepartments[] = {"Accounts", "Sales", "IT", "Logistics", "Research", "Legal"};
const char* const kCities[] = {"Berlin", "Lyon", "New York", "Porto", "Oslo", "Krakow"};
const char* const kTitles[] = {"Junior", "Senior", "Lead", "Trainee", "Head of unit"};
const char* const kIKinds[] = {"I", "I", "I", "I", "i", "Intern"};
const char* const kEKinds[] = {"E", "E", "E", "E", "e", "Employee"};
// Grades a, b and c raise the salary; the others (upper case included) keep it.
const char* const kGrades[] = {"a", "b", "c", "a", "b", "c", "a", "b", "c", "d", "A", "x"};

// A salary with one or two decimals, from 1,200 to 185,000.
void write_salary(Random& random) {
    std::int64_t cents = random.between(120000, 18500000);
    if (random.one_in(4))
        std::printf("%" PRId64 ".%" PRId64, cents / 100, cents % 100 / 10);
    else
        std::printf("%" PRId64 ".%02" PRId64, cents / 100, cents % 100);
}

// Kind I: kind, surname (ended by a blank), first name, department, city, title
// (each ended by a comma), salary.  Kind E: kind, surname, first name, salary, grade.
void write_staff(Random& random, std::int64_t index) {
    // Each word is drawn in its own statement, so that the order of the draws is fixed.
    bool kind_i = index % 2 == 0;
    std::fputs(random.pick(kind_i ? kIKinds : kEKinds), stdout);
    std::printf(" %s", random.pick(kSurnames));
    std::printf(" %s,", random.pick(kFirstNames));
    if (kind_i) {
        std::printf("%s,", random.pick(kDepartments));
        std::printf("%s,", random.pick(kCities));
        std::printf("%s,", random.pick(kTitles));
        write_salary(random);
    } else {
        write_salary(random);
        std::printf(",%s", random.pick(kGrades));
    }
    std::putchar('\n');
}

bool parse_count(const char* text, std::int64_t& count) {
    const char* end = text + std::strlen(text);
    const auto [stop, failure] = std::from_chars(text, end, count);
    return failure == std::errc{} && stop == end && count >= 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::int64_t count = 0;
    std::int64_t seed = 1;
    bool requests = argc > 1 && std::strcmp(argv[1], "requests") == 0;
    bool staff = argc > 1 && std::strcmp(argv[1], "staff") == 0;
    if ((argc != 3 && argc != 4) || !(requests || staff) || !parse_count(argv[2], count) ||
        (argc == 4 && !parse_count(argv[3], seed))) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    Random random{static_cast<std::uint64_t>(seed)};
    for (std::int64_t i = 0; i < count; ++i) {
        if (requests)
            write_request(random, i);
        else
            write_staff(random, i);
    }
    if (std::fclose(stdout) != 0) {
        std::fprintf(stderr, "bench_gen: standard output: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}
