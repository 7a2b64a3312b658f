// reqpack's one way of writing a set of text files, none replacing its old version before
// all are whole: behind the record library's two exports and the program's --export.
// Internal to reqpack. It knows nothing of records; the record library builds on it.
#pragma once

#include <cstdio>
#include <functional>
#include <span>
#include <string>

// One text file of an export and how to write it. It owns everything it needs, the
// writer's data included, so nothing it refers to can go away before it is written.
struct export_file {
    std::string path;
    std::string role;              // "the readable file": for the message when two share a target
    std::string not_open_message;  // the legacy line on standard output when it cannot be opened
    std::function<void(std::FILE*)> write;
};

// The library's calls print the legacy line of a file that cannot be opened, as they
// always did; the program's --export says why on standard error only.
enum class legacy_lines { print, omit };

// Opens every file, writes each whole, and replaces none of the old versions before all
// are written and synced, nor one that turns out to be the file `input` names. Returns 0,
// or 1 after a message; the first failure stops it.
int write_exports(std::span<const export_file> files, legacy_lines legacy, const char* input = nullptr);
