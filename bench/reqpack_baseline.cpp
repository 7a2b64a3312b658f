// reqpack_baseline: the plain loop a user would write for the request converter, the
// yardstick of the benchmark. Reads "input.txt" with fscanf, echoes each request on
// standard output with printf and appends its 12 bytes to "Records.bin" with fwrite.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kScanFormat[] = "%d %d %d";
constexpr char kEchoFormat[] = "binary %d %d %d \n";

// Record: app_id (bytes 0-3), patient_id (4-7), hour (8-11), each little-endian.
constexpr std::size_t kRecordSize = 12;

void put_le32(unsigned char* out, int value) {
    auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(bits >> (8 * i));
}

int fail(const char* what) {
    std::fprintf(stderr, "reqpack_baseline: %s: %s\n", what, std::strerror(errno));
    return 1;
}

}  // namespace

int main() {
    std::FILE* in = std::fopen("input.txt", "r");
    if (in == nullptr)
        return fail("input.txt");
    std::FILE* out = std::fopen("Records.bin", "wb");
    if (out == nullptr) {
        std::fclose(in);
        return fail("Records.bin");
    }

    int app_id = 0;
    int patient_id = 0;
    int hour = 0;
    int scanned = 0;
    while ((scanned = std::fscanf(in, kScanFormat, &app_id, &patient_id, &hour)) == 3) {
        std::printf(kEchoFormat, app_id, patient_id, hour);
        unsigned char record[kRecordSize];
        put_le32(record, app_id);
        put_le32(record + 4, patient_id);
        put_le32(record + 8, hour);
        std::fwrite(record, 1, kRecordSize, out);
    }
    std::fclose(in);
    if (std::fclose(out) != 0)
        return fail("Records.bin");
    if (scanned != EOF) {
        std::fputs("reqpack_baseline: input.txt: not a complete request of three numbers\n", stderr);
        return 1;
    }
    if (std::fclose(stdout) != 0)
        return fail("standard output");
    return 0;
}
