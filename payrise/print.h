// Prints binary_f.bin back as one line per record: the kind letter, the salary as the
// shortest text that reads back to the same double, and the grade of an E record.
#pragma once

namespace payrise {

// --print: the records of the file at path (standard input for "-") as text lines on
// standard output; a record of no kind stops them with a message. Returns the exit status.
int print_file(const char* path);

}  // namespace payrise
