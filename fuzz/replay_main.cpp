// Runs a fuzz target's entry point once on every file of its seed corpus and of its
// folder of kept crash inputs, so that both are checked by every test build.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> files_in(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::size_t replay(const std::vector<fs::path>& files) {
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    return files.size();
}

}  // namespace

// replay CORPUS KEPT: the corpus must hold inputs; KEPT is absent until a crash is kept.
int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: replay CORPUS_FOLDER KEPT_CRASHES_FOLDER\n");
        return 2;
    }
    const std::vector<fs::path> seeds = fs::is_directory(argv[1]) ? files_in(argv[1]) : std::vector<fs::path>{};
    if (seeds.empty()) {
        std::fprintf(stderr, "replay: no seed inputs in %s\n", argv[1]);
        return 1;
    }
    const std::size_t seeds_run = replay(seeds);
    const std::size_t kept_run = fs::is_directory(argv[2]) ? replay(files_in(argv[2])) : 0;
    std::printf("replayed %zu seeds and %zu kept crash inputs\n", seeds_run, kept_run);
    return 0;
}
