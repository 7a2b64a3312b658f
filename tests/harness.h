// What the tests share: end-to-end runs of a built program in a fresh temporary
// directory, its files and streams captured byte for byte; files, folders and memory
// streams for the library tests; the table check of the record printers.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "testing/memory_stream.h"

namespace harness {

// Filled with designated initializers: harness::run({.program = "slotplan", .files = ...}).
struct Run {
    std::string program{};                      // name of a program in the build's bin/
    std::vector<std::string> args{};            // arguments after the program name
    std::map<std::string, std::string> files{}; // written into the directory before the run
    // Runs after the files are written: make links, folders, change permissions.
    std::function<void(const std::filesystem::path& dir)> setup{};
    std::string stdout_path{};                  // if set, standard output goes to this file
    bool stderr_to_stdout = false;              // both streams into one file: Result::out holds both
    bool stdout_to_closed_pipe = false;         // standard output is a pipe whose reader has gone
    std::string stdin_file{};                   // if set, standard input comes from this file of the directory
    std::vector<int> closed{};                  // of descriptors 0 to 2, those the program starts without
    int descriptors = 0;                        // if set, how many descriptors the program may open (ulimit -n)
    std::size_t memory = 0;                     // if set, how many bytes of address space it may take (ulimit -v)
    // Run as user nobody when the test runs as root, from a copy of the program in a
    // folder nobody can enter; the run fails the test, saying why, where that is impossible.
    bool unprivileged = false;
};

struct Result {
    int status = -1;                            // exit status; 128 + signal when killed
    std::string out;                            // standard output (empty when redirected)
    std::string err;                            // standard error
    // The regular files in the directory after the run (links are not followed).
    std::map<std::string, std::string> files;
};

Result run(const Run& run);

// Set-up steps for the failures every program must report. Each replaces whatever
// stands at the path (a file written from Run::files, say).
void make_unreadable(const std::filesystem::path& file);       // no permission bits at all
void replace_by_folder(const std::filesystem::path& path);
void replace_by_link_to_dev_full(const std::filesystem::path& path);   // every write: disk full
void make_read_only(const std::filesystem::path& dir);         // nobody can create files in it

// Convenience for the common case: a program, its input files, no arguments.
Result run(const std::string& program, const std::map<std::string, std::string>& files,
           const std::vector<std::string>& args = {});

// Path of a built program.
std::filesystem::path program_path(const std::string& program);

// The bytes as "01 00 ff" for readable failure messages.
std::string hex(const std::string& bytes);

// True when the tests run as root, where permission checks do not hold.
bool running_as_root();

// Lets this process open descriptor number `fd`: raises the soft limit of open files
// (a login shell's is often 1024) within the hard one. Returns why it cannot, or "".
std::string allow_descriptor(int fd);

// The value of an extended attribute, or "" when the file has none of that name.
std::string attribute(const std::filesystem::path& file, const char* name);

// The whole file, or "" when it cannot be read.
std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

// A fresh folder in the temporary directory, removed with all it holds.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// The 56 bytes of a payrise record: the kind, the salary at 48 for kind I or i, else
// at 24 with the grade at 32, zeros elsewhere.
std::string payrise_record(char kind, double salary, char grade = '\0');

// One run of a record printer (reqpack --print, payrise --print) and all it must give.
struct PrintCase {
    const char* what;
    std::map<std::string, std::string> files;
    std::vector<std::string> args;
    const char* stdin_file;
    int status;
    std::string out;
    std::string err;
    std::vector<int> closed = {};
};

// Runs each case and checks its status, both streams, and that no file is written. A
// case that fails after printing runs again with both streams in one file, where the
// message must follow every line printed before it.
void expect_prints(const std::string& program, const std::vector<PrintCase>& cases);

}  // namespace harness
