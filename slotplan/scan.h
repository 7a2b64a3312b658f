// slotplan's scanner, inside the library: where a reader stands in its file, which the
// readers keep from one record to the next. Outside callers scan through slotplan.h.
#pragma once

#include <cstdio>
#include <span>
#include <string>

#include "slotplan.h"

namespace slotplan {

// The line a reader is on, the first read error, and the characters of the field being
// scanned, kept for a message about it.
struct source {
    explicit source(std::FILE* file) : in(file) {}

    std::FILE* in;
    long line = 1;
    bool after_line_end = false;    // the last character read ended a line
    int error = 0;
    std::string recorded;
    bool recording = false;
    bool last_recorded = false;     // the last character read went into recorded
    // The record's text from its first field to the end of that line, kept for a record
    // that runs across a line end.
    std::string opening;
    bool opening_open = false;
    bool last_opened = false;       // the last character read went into opening
    bool last_closed = false;       // the last character read was the line end closing it

    int get();
    void unget(int c);
};

scan_result scan_record(source& in, const char* format, std::span<const scan_target> targets);

}  // namespace slotplan
