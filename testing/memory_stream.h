// Streams over memory, so that a reader or writer of the programs' libraries runs as it
// does on a file: for the library tests and the fuzz targets alike (no GoogleTest here).
#pragma once

#include <errno.h>
#include <stdio.h>
#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace harness {

[[noreturn]] inline void stream_failed(const char* what) {
    std::fprintf(stderr, "cannot open a memory stream for %s\n", what);
    std::abort();
}

// Reads a copy of the bytes. With `fail_after`, a read that reaches past that many
// bytes fails with EIO, as a disk that breaks partway through a file.
class memory_input {
public:
    static constexpr std::size_t kNever = static_cast<std::size_t>(-1);

    explicit memory_input(std::string_view bytes, std::size_t fail_after = kNever)
        : bytes_(bytes), fail_after_(fail_after) {
        stream_ = fopencookie(this, "r", {&memory_input::read, nullptr, nullptr, nullptr});
        if (stream_ == nullptr)
            stream_failed("reading");
    }
    memory_input(const std::uint8_t* data, std::size_t size)
        : memory_input(std::string_view(reinterpret_cast<const char*>(data), size)) {}
    ~memory_input() { std::fclose(stream_); }
    memory_input(const memory_input&) = delete;
    memory_input& operator=(const memory_input&) = delete;

    std::FILE* get() const { return stream_; }

private:
    // The cookie contract: bytes given, 0 at the end, -1 on error.
    static ssize_t read(void* cookie, char* buffer, std::size_t size) {
        auto& self = *static_cast<memory_input*>(cookie);
        if (self.at_ >= self.fail_after_) {
            errno = EIO;
            return -1;
        }
        const std::size_t count = std::min({size, self.bytes_.size() - self.at_, self.fail_after_ - self.at_});
        std::memcpy(buffer, self.bytes_.data() + self.at_, count);
        self.at_ += count;
        return static_cast<ssize_t>(count);
    }

    std::string bytes_;
    std::size_t at_ = 0;
    std::size_t fail_after_;
    std::FILE* stream_;
};

// Collects what is written to it; bytes() holds all of it once close() has run.
class memory_output {
public:
    memory_output() {
        stream_ = open_memstream(&data_, &size_);
        if (stream_ == nullptr)
            stream_failed("writing");
    }
    ~memory_output() {
        if (stream_ != nullptr)
            std::fclose(stream_);
        std::free(data_);
    }
    memory_output(const memory_output&) = delete;
    memory_output& operator=(const memory_output&) = delete;

    std::FILE* get() const { return stream_; }
    // False when closing failed.
    bool close() {
        const bool closed = std::fclose(stream_) == 0;
        stream_ = nullptr;
        return closed;
    }
    std::string_view bytes() const { return {data_, size_}; }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* stream_;
};

}  // namespace harness
