// getrequests_bench DIR: times getRequests on records files of 1,000,000 and 2,000,000
// records made in DIR, against plainly reading the same bytes into memory already there,
// and prints "name milliseconds" lines (medians) for bench/run. Checks first that
// getRequests gives back every record of the file.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <malloc.h>
#include <string>
#include <vector>

#include "common/coding.h"
#include "common/process.h"
#include "reqpack/part1.h"

namespace {

constexpr std::size_t kBytesPerRecord = 12;
constexpr int kRounds = 11;

bool write_records(const std::string& path, std::size_t count) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    std::uint64_t state = 12345;
    unsigned char record[kBytesPerRecord];
    for (std::size_t i = 0; i < count; ++i) {
        for (unsigned char& byte : record) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            byte = static_cast<unsigned char>(state >> 56);
        }
        std::fwrite(record, 1, kBytesPerRecord, out);
    }
    return std::fclose(out) == 0;
}

// The file's bytes, for the check that getRequests gives the same records.
std::vector<unsigned char> load_bytes(const std::string& path) {
    std::vector<unsigned char> bytes;
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr)
        return bytes;
    std::fseek(in, 0, SEEK_END);
    bytes.resize(static_cast<std::size_t>(std::ftell(in)));
    std::rewind(in);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), in));
    std::fclose(in);
    return bytes;
}

// The yardstick: one fread of the whole file into `bytes`, memory that is already there
// (sized to the file and written before the clock starts), so that the time is the
// reading alone; the number of bytes read.
std::size_t read_into(const std::string& path, std::vector<unsigned char>& bytes) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr)
        return 0;
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), in);
    std::fclose(in);
    return got;
}

std::vector<request_record> load_with_getRequests(const std::string& path) {
    file_names names{};
    names.records_file = path.c_str();
    return getRequests(names);
}

bool same_records(const std::vector<request_record>& records,
                  const std::vector<unsigned char>& bytes) {
    if (records.size() != bytes.size() / kBytesPerRecord)
        return false;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const unsigned char* at = bytes.data() + i * kBytesPerRecord;
        if (records[i].app_id != suite::get_int32(at) || records[i].patient_id != suite::get_int32(at + 4) ||
            records[i].hour != suite::get_int32(at + 8))
            return false;
    }
    return true;
}

double milliseconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

double median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

struct Sample {
    const char* name;
    std::string path;
    bool with_get_requests;
    std::vector<double> times;
    std::vector<unsigned char> buffer;  // the yardstick's memory, the file's size
};

// Times every sample once per round, interleaved, so that a busy moment of the machine or
// a state of the allocator weighs on all of them alike. The result of each call is kept
// until the clock has stopped, so that freeing it is not timed.
bool time_rounds(std::vector<Sample>& samples) {
    for (int round = 0; round < kRounds; ++round) {
        for (Sample& sample : samples) {
            auto start = std::chrono::steady_clock::now();
            bool empty = sample.with_get_requests ? load_with_getRequests(sample.path).empty()
                                                  : read_into(sample.path, sample.buffer) != sample.buffer.size();
            sample.times.push_back(milliseconds_since(start));
            if (empty)
                return false;
        }
    }
    return true;
}

bool make_file(const std::string& path, std::size_t count) {
    if (!write_records(path, count)) {
        suite::warn("cannot write %s", path.c_str());
        return false;
    }
    if (!same_records(load_with_getRequests(path), load_bytes(path))) {
        suite::warn("getRequests on %s does not give the file's records", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // getRequests reports through the suite's messages too.
    suite::set_program("getrequests_bench");
    if (argc != 2) {
        std::fputs("usage: getrequests_bench DIR\n", stderr);
        return 2;
    }
    // A fixed threshold keeps glibc from moving its own: every large table is then a fresh
    // mapping whose pages are faulted in, as in a program that calls getRequests once,
    // instead of memory that an earlier round left behind, sometimes, and sometimes not.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    std::string one = std::string(argv[1]) + "/records-1m.bin";
    std::string two = std::string(argv[1]) + "/records-2m.bin";
    if (!make_file(one, 1000000) || !make_file(two, 2000000))
        return 1;
    std::vector<Sample> samples = {{"read_bytes_1m_ms", one, false, {}, {}},
                                   {"get_requests_1m_ms", one, true, {}, {}},
                                   {"read_bytes_2m_ms", two, false, {}, {}},
                                   {"get_requests_2m_ms", two, true, {}, {}}};
    for (Sample& sample : samples)
        if (!sample.with_get_requests)
            sample.buffer = load_bytes(sample.path);
    bool ok = time_rounds(samples);
    std::remove(one.c_str());
    std::remove(two.c_str());
    if (!ok) {
        suite::warn("a read gave nothing");
        return 1;
    }
    for (const Sample& sample : samples)
        std::printf("%s %.3f\n", sample.name, median(sample.times));
    return 0;
}
