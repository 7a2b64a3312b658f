// What writing an output came to. The output layer reports it; the program words the
// message (process.h). Neither knows the other: this is all they share.
#pragma once

#include <string>

namespace suite {

// An error number of the output layer's own, beyond the system's: another process changed
// what the output's name stands for during the run.
inline constexpr int kChangedDuringRun = 1 << 16;

// What the output holds once a step has failed.
enum class holds { previous, new_content, another_file, part_new };
// A file the run left beside the output: what stood there before, a file another process
// put on the hidden name, or the run's own content, emptied, whose name could not go.
enum class left_kind { none, previous, another_file, emptied };

struct left_file {
    left_kind kind = left_kind::none;
    std::string name{};   // in the output's folder
    int error = 0;        // why it could not be removed
};

struct outcome {
    int error = 0;            // 0, an error number, or kChangedDuringRun
    std::string blamed{};     // the file the error concerns: the output, or the folder its content waited in
    holds output = holds::previous;
    left_file left{};
};

}  // namespace suite
