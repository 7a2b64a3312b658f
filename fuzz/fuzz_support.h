// What every fuzz target needs: a broken invariant stops the run loudly, and the
// input bytes, or the output, as a stream, so each reader runs as it does on a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace fuzz {

// Aborts, naming the invariant, so that libFuzzer keeps the input that broke it.
inline void check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "broken invariant: %s\n", what);
        std::abort();
    }
}

// The bytes as a stream to read. fmemopen wants a writable buffer, so it reads a
// copy; a spare byte keeps the copy's buffer non-null for an empty input.
class memory_input {
  public:
    memory_input(const std::uint8_t* data, std::size_t size) : bytes_(data, data + size) {
        bytes_.push_back('\0');
        stream_ = fmemopen(bytes_.data(), size, "r");
        check(stream_ != nullptr, "memory input opens");
    }
    ~memory_input() { std::fclose(stream_); }
    memory_input(const memory_input&) = delete;
    memory_input& operator=(const memory_input&) = delete;

    std::FILE* get() const { return stream_; }

  private:
    std::vector<char> bytes_;
    std::FILE* stream_;
};

// A stream that collects what is written to it; bytes() holds it after close().
class memory_output {
  public:
    memory_output() {
        stream_ = open_memstream(&data_, &size_);
        check(stream_ != nullptr, "memory output opens");
    }
    ~memory_output() {
        if (stream_ != nullptr)
            std::fclose(stream_);
        std::free(data_);
    }
    memory_output(const memory_output&) = delete;
    memory_output& operator=(const memory_output&) = delete;

    std::FILE* get() const { return stream_; }
    void close() {
        check(std::fclose(stream_) == 0, "memory output closes");
        stream_ = nullptr;
    }
    std::string_view bytes() const { return {data_, size_}; }

  private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* stream_;
};

}  // namespace fuzz
