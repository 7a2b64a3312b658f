// reqpack's one way of writing its text exports, behind the library's write_appointments
// and print_parameters and the program's --export. Internal to reqpack.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>

#include "part1.h"

// One text file of an export and how to write it.
struct export_file {
    const char* path;
    const char* role;              // "the readable file": for the message when two share a target
    const char* not_open_message;  // the legacy line on standard output when it cannot be opened
    std::function<void(std::FILE*)> write;
};

export_file readable_export(const request_record* records, std::int32_t count, const file_names& names);
export_file parameters_export(const file_names& names, const hour_range& hours);

// The library's calls print the legacy line of a file that cannot be opened, as they
// always did; the program's --export says why on standard error only.
enum class legacy_lines { print, omit };

// Opens every file, writes each whole, and replaces none of the old versions before all
// are written and synced. Returns 0, or 1 after a message; the first failure stops it.
int write_exports(std::span<const export_file> files, legacy_lines legacy);
