// An owner of a stdio stream that closes it when it goes out of scope; outputs whose
// close must be checked are closed explicitly instead.
#pragma once

#include <cstdio>
#include <memory>

namespace suite {

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

}  // namespace suite
