// End-to-end runs: a built program in a fresh temporary directory, its files
// and streams captured byte for byte.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace harness {

struct Run {
    std::string program;                        // name of a program in the build's bin/
    std::vector<std::string> args;              // arguments after the program name
    std::map<std::string, std::string> files;   // written into the directory before the run
    // Runs after the files are written: make links, folders, change permissions.
    std::function<void(const std::filesystem::path& dir)> setup;
    std::string stdout_path;                    // if set, standard output goes to this file
    std::string stdin_file;                     // if set, standard input comes from this file of the directory
    std::vector<int> closed;                    // of descriptors 0 to 2, those the program starts without
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

}  // namespace harness
