// payrise's line reader: the input handed out line by line from a buffer filled in
// large reads, with a look ahead for the usual line's one pass.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "payrise.h"

namespace payrise {

// How many zero bytes the line reader keeps after the bytes it has read: the usual
// line's pass reads words, and a window of them in which an I line's texts 2 to 5 are
// looked for at once, from any byte up to the first zero byte.
inline constexpr std::size_t kWindow = 40;

// A line as a reader hands it out: its text, which is not to be used for a long line.
struct next_line {
    bool found = false;
    bool too_long = false;
    std::string_view text;
    int error = 0;  // the error number of a read error; no line then
};

// A line's text holds its line end, or ends at the end of the input or at a zero byte;
// it may hold a zero byte still, where the tokenizer ends it. The byte after a text is
// a zero byte unless the text ends in its line end. The rest of a long line, and of a
// line cut at a zero byte here, is read past and never held: the buffer holds one
// longest line at most.
class line_reader {
  public:
    line_reader(std::FILE* input, std::size_t chunk_size) : input_(input), chunk_(std::max<std::size_t>(chunk_size, 1)) {
        std::memset(data_.get(), 0, kWindow);
    }

    next_line next();

    // The bytes read and not handed out yet, when they start a line, else none; a read
    // is made first when fewer than kAhead are left. kWindow zero bytes follow them.
    std::string_view ahead() {
        if (inside_line_)
            return {};
        if (end_ - begin_ < kAhead && input_state_ == input::open)
            fill();
        return {data_.get() + begin_, end_ - begin_};
    }
    // Hands out the first `size` bytes of ahead(), which end a line.
    void take(std::size_t size) { begin_ += size; }

  private:
    static constexpr std::size_t kAhead = 4096;
    // A longest line and its line end, and one byte more, which tells a long line.
    static constexpr std::size_t kCapacity = kLongestLine + 2;

    // What the input can still give: more bytes, nothing more, or nothing after an error.
    enum class input { open, ended, failed };

    bool read_past_line();
    next_line cut_line(std::size_t size, bool has_line_end);
    void fill();

    std::FILE* input_;
    std::size_t chunk_;
    std::unique_ptr<char[]> data_ = std::make_unique_for_overwrite<char[]>(kCapacity + kWindow);
    std::size_t begin_ = 0;  // start of the bytes not handed out or read past
    std::size_t end_ = 0;    // end of the bytes read; a window of zero bytes follows
    // True while begin_ stands inside the line handed out last, whose text must stay in
    // place until the next call; false at the start of a line.
    bool inside_line_ = false;
    input input_state_ = input::open;
    int error_ = 0;          // input::failed: the read's error number
};

}  // namespace payrise
