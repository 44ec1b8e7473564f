// A block of lines laid out for the fused row scan (scan_plain_row), and
// the usual way's verdict on one line, for the unit tests and the fuzz
// target that check the scan against it.
#pragma once

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "data_line.h"
#include "numscan.h"

namespace rowscan {

// `text` laid out as the scan reads a block of lines: the bytes, a zero
// byte, then ROW_SCAN_PAD bytes of `pad` (repeated), in an allocation of
// exactly that size, so that the sanitizers catch a read beyond it. The
// default pad continues a number and a line, so that a scan that does not
// stop at the zero byte takes it.
class Block {
  public:
    explicit Block(const std::string& text, const std::string& pad = "5.5 5\n")
        : size_(text.size()), bytes_(new char[text.size() + 1 + ROW_SCAN_PAD]) {
        std::memcpy(bytes_.get(), text.data(), size_);
        bytes_[size_] = '\0';
        for (std::size_t i = 0; i < ROW_SCAN_PAD; ++i)
            bytes_[size_ + 1 + i] = pad.empty() ? '\0' : pad[i % pad.size()];
    }
    const char* begin() const { return bytes_.get(); }
    const char* end() const { return bytes_.get() + size_; }

  private:
    std::size_t size_;
    std::unique_ptr<char[]> bytes_;
};

inline std::string shown(const char* s, std::size_t n) {
    std::string r;
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            r += static_cast<char>(c);
        } else {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02x", c);
            r += b;
        }
    }
    return r;
}

// Whether the reading takes `line` (of `length` bytes) for a data line: not
// a comment ("!" first), not blank, not "#" first after white space.
inline bool data_line_kind(const char* line, std::size_t length) {
    if (line[0] == '!') return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (!is_space(line[i])) return line[i] != '#';
    }
    return false;
}

// Whether the usual way (a LineReader line of `length` bytes, then
// read_data_line without options) reads `line` whole: a data line with its
// `count` numbers, no fault and no more columns. The numbers go to `out`.
inline bool usual_reads_whole(const char* line, std::size_t length, double* out, int count,
                              bool time, LineWork& work) {
    DataLine d;
    return data_line_kind(line, length) &&
           read_data_line(line, out, count, time, ReadOptions{}, d, work) == count &&
           d.fault == DataLine::Fault::none && !d.more;
}

} // namespace rowscan
