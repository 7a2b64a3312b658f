// payrise's line reader: lines out of large reads, long ones read past.
#include "line_reader.h"

#include "common/process.h"

namespace payrise {

next_line line_reader::next() {
    if (inside_line_ && !read_past_line())
        return {.found = false, .too_long = false, .text = {}, .error = error_};
    for (;;) {
        const char* const begin = data_.get() + begin_;
        const auto* line_end = static_cast<const char*>(std::memchr(begin, '\n', end_ - begin_));
        const std::size_t size = line_end != nullptr ? static_cast<std::size_t>(line_end - begin) : end_ - begin_;
        if (line_end != nullptr && size <= kLongestLine) {
            begin_ += size + 1;
            return {.found = true, .too_long = false, .text = {begin, size + 1}};
        }
        if (line_end != nullptr || size > kLongestLine || input_state_ != input::open)
            return cut_line(size, line_end != nullptr);
        fill();
    }
}

// Past the rest of the line handed out last, to the start of the next; false when the
// input ends first.
bool line_reader::read_past_line() {
    for (;;) {
        const char* const begin = data_.get() + begin_;
        if (const void* line_end = std::memchr(begin, '\n', end_ - begin_)) {
            begin_ += static_cast<std::size_t>(static_cast<const char*>(line_end) - begin) + 1;
            inside_line_ = false;
            return true;
        }
        begin_ = end_;
        if (input_state_ != input::open)
            return false;
        fill();
    }
}

// The line at begin_ when no whole line of a text's size is there: a line cut at a zero
// byte, a long one, or the last one, which has no line end. An unfinished line is not
// converted after a read error: it may be cut short.
next_line line_reader::cut_line(std::size_t size, bool has_line_end) {
    const char* const begin = data_.get() + begin_;
    const auto* zero = static_cast<const char*>(std::memchr(begin, 0, std::min(size, kLongestLine + 1)));
    if (zero == nullptr && !has_line_end && (input_state_ == input::failed || size == 0))
        return {.found = false, .too_long = false, .text = {}, .error = error_};
    const bool too_long = zero == nullptr && size > kLongestLine;
    if (zero != nullptr || too_long)
        inside_line_ = true;
    else
        begin_ = end_;
    return {.found = true, .too_long = too_long, .text = {begin, zero != nullptr ? static_cast<std::size_t>(zero - begin) : size}};
}

// Moves the unfinished line to the front and reads more after it.
void line_reader::fill() {
    std::memmove(data_.get(), data_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    const std::size_t wanted = std::min(chunk_, kCapacity - end_);
    const std::size_t got = std::fread(data_.get() + end_, 1, wanted, input_);
    if (got < wanted && std::ferror(input_)) {
        input_state_ = input::failed;
        error_ = suite::last_error();
    } else if (got < wanted) {
        input_state_ = input::ended;
    }
    end_ += got;
    std::memset(data_.get() + end_, 0, kWindow);
}

}  // namespace payrise
