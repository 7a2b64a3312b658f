// slotplan's scanner: the formats of People.txt and AppointmentReqs.txt interpreted at
// run time, one record at a time, with the line and text of a field that fails.
#include "scan.h"

#include <algorithm>
#include <cstdlib>

#include "common/chars.h"
#include "common/int32.h"
#include "common/process.h"

namespace slotplan {

int source::get() {
    const int c = std::getc(in);
    if (c == '\n')
        ++line;
    if (c != EOF)
        after_line_end = c == '\n';
    if (c == EOF && std::ferror(in) && error == 0)
        error = suite::last_error();
    last_recorded = recording && c != EOF && recorded.size() < kQuoteSize;
    if (last_recorded)
        recorded += static_cast<char>(c);
    last_closed = opening_open && c == '\n';
    last_opened = opening_open && c != EOF && !last_closed && opening.size() < kQuoteSize;
    if (last_opened)
        opening += static_cast<char>(c);
    if (last_closed)
        opening_open = false;
    return c;
}

// Called only right after get() returned c.
void source::unget(int c) {
    if (c == EOF)
        return;
    if (c == '\n')
        --line;
    if (last_recorded)
        recorded.pop_back();
    if (last_opened)
        opening.pop_back();
    if (last_closed)
        opening_open = true;
    last_recorded = last_opened = last_closed = false;
    std::ungetc(c, in);
}

namespace {

// Consumes white space; returns the first other character (or EOF), left unread.
int skip_white(source& in) {
    int c;
    while (suite::is_c_space(c = in.get())) {
    }
    in.unget(c);
    return c;
}

constexpr int kNoWidth = 0;

// Reads an optionally signed decimal of at most `width` characters, sign included.
scan_status scan_number(source& in, int width, int& target) {
    if (skip_white(in) == EOF)
        return scan_status::incomplete;
    const long long limit = width == kNoWidth ? -1 : width;
    long long used = 0;
    int c = in.get();
    suite::int32_digits number(c == '-');
    if (c == '-' || c == '+')
        c = ++used == limit ? EOF : in.get();
    bool digits = false;
    for (; suite::is_c_digit(c); c = ++used == limit ? EOF : in.get()) {
        digits = true;
        number.add(static_cast<char>(c));
    }
    in.unget(c);
    // A lone sign is a bad number, not the end of the input.
    if (!digits)
        return scan_status::no_match;
    if (!number.in_range())
        return scan_status::out_of_range;
    target = number.value();
    return scan_status::complete;
}

// Reads a run of non-white characters; a run that does not fit with its zero byte is read
// whole but refused, and the field keeps only what fits.
scan_status scan_text(source& in, std::span<char> target) {
    if (target.empty())
        std::abort();   // a text field always has room for its zero byte
    if (skip_white(in) == EOF)
        return scan_status::incomplete;
    std::size_t length = 0;
    int c;
    while ((c = in.get()) != EOF && !suite::is_c_space(c)) {
        if (length + 1 < target.size())
            target[length] = static_cast<char>(c);
        ++length;
    }
    in.unget(c);
    target[std::min(length, target.size() - 1)] = '\0';
    return length < target.size() ? scan_status::complete : scan_status::too_long;
}

scan_status scan_char(source& in, char& target) {
    const int c = in.get();
    if (c == EOF)
        return scan_status::incomplete;
    target = static_cast<char>(c);
    return scan_status::complete;
}

// Runs one conversion starting at format[at]; moves `at` past it. The field starts
// after the white space a %d or %s skips.
scan_status convert(source& in, const char* format, std::size_t& at, const scan_target& target,
                    long& field_line, bool first) {
    int width = kNoWidth;
    for (++at; suite::is_c_digit(format[at]); ++at)
        width = width * 10 + (format[at] - '0');
    const char kind = format[at++];
    if (kind != 'c')
        skip_white(in);
    field_line = in.line;
    in.recorded.clear();
    in.recording = true;
    if (first) {
        in.opening.clear();
        in.opening_open = true;
    }
    if (kind == 'd' && std::holds_alternative<int*>(target))
        return scan_number(in, width, *std::get<int*>(target));
    if (kind == 's' && width == kNoWidth && std::holds_alternative<std::span<char>>(target))
        return scan_text(in, std::get<std::span<char>>(target));
    if (kind == 'c' && width == kNoWidth && std::holds_alternative<char*>(target))
        return scan_char(in, *std::get<char*>(target));
    std::abort();   // the formats are constants of this program; a mismatch is a bug
}

// After a failed conversion: the rest of its line, up to the quote's size.
void record_rest_of_line(source& in) {
    for (int c; in.recorded.size() < kQuoteSize && (c = in.get()) != EOF;) {
        if (c == '\n') {
            in.recorded.pop_back();   // reading stops here: the line end stays read
            break;
        }
    }
}

}  // namespace

scan_result scan_record(source& in, const char* format, std::span<const scan_target> targets) {
    int field = 0;
    long field_line = in.line;
    long first_line = in.line;
    scan_status status = scan_status::complete;
    for (std::size_t at = 0; format[at] != '\0' && status == scan_status::complete;) {
        if (suite::is_c_space(format[at])) {
            skip_white(in);
            ++at;
        } else if (format[at] == '%') {
            if (static_cast<std::size_t>(field) >= targets.size())
                std::abort();
            status = convert(in, format, at, targets[field], field_line, field == 0);
            if (field == 0)
                first_line = field_line;
            if (status == scan_status::complete)
                ++field;
        } else {
            std::abort();   // the file formats hold only white space and conversions
        }
    }
    if (status != scan_status::complete && status != scan_status::incomplete)
        record_rest_of_line(in);
    // A file that ends inside a record ends on its last line, not the one after it.
    if (status == scan_status::incomplete && in.after_line_end)
        field_line = in.line - 1;
    in.recording = false;
    in.opening_open = false;
    if (in.error != 0)
        return {scan_status::read_error, field, field_line, "", in.error};
    if (status == scan_status::incomplete && field == 0)
        return {scan_status::end_of_input, 0, 0, {}, 0};
    if (status == scan_status::complete)
        return {status, field, 0, {}, 0, first_line, field_line, in.opening};
    return {status, field, field_line, in.recorded, 0};
}

scan_result scan_record(std::FILE* in, const char* format, std::span<const scan_target> targets) {
    source from(in);
    return scan_record(from, format, targets);
}

}  // namespace slotplan
