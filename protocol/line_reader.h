// Splits what a client sends into request lines, never holding more than one line's worth of
// bytes: a line over the limit is dropped as it comes and reported once its end arrives.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace protocol {

class LineReader {
public:
    struct Line {
        bool too_long;     // the line was longer than the limit; its text is not kept
        std::string text;  // without its line feed
    };

    explicit LineReader(std::size_t max_line_bytes) : max_line_bytes_(max_line_bytes) {}

    // Adds the lines that `bytes` completes to `lines`, in order.
    void feed(std::string_view bytes, std::vector<Line>& lines);
    // Whether part of a line has come without its end.
    bool partial() const { return !pending_.empty() || discarding_; }

private:
    std::size_t max_line_bytes_;
    std::string pending_;
    bool discarding_ = false;
};

}  // namespace protocol
