// Refusing an output that is one of the run's own inputs, whatever name reaches it.
#pragma once

#include <cstdio>

namespace suite {

// Refuses, with a message, an output that is the file open as `input`: true when the run
// must not write it. Only an output that does not exist yet counts as a different file;
// any other failure to compare refuses too.
bool is_own_input(const char* output, std::FILE* input, const char* input_name);
// The same for an input named by its path; an input that does not exist is none.
bool is_own_input(const char* output, const char* input_name);

class output_file;
// The same once the output is open, for the file the output layer opened: the name may
// have come to stand for an input since the checks above, which run before reading.
bool is_own_input(const output_file& output, int input, const char* input_name);
bool is_own_input(const output_file& output, const char* input_name);

}  // namespace suite
