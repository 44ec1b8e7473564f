// The fused row scan (scan_plain_row) against the usual way of reading a
// data line: a LineReader line, then read_data_line without options. Shared
// by the table tests of numscan and the generated lines of the
// differential tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "data_line.h"
#include "line_reader.h"
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

struct Tally {
    long lines = 0;      // lines read the usual way
    long taken = 0;      // of them, taken by the scan
    long mismatches = 0; // failures reported
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

// Reads `text` line by line both ways, with `count` numbers to a line and
// the first a time with `time`. A line the scan takes must end where the
// LineReader line ends, be read whole the usual way (no fault, no more
// columns) and hold the same numbers, bit for bit. With `must_take` (lines
// of the form the scan is for: plain decimal numbers, blanks, a line feed),
// every line that the usual way reads as a clean line (read_plain_line: no
// value out of range, no time below 10000) must be taken too. Failures are
// reported for the first few lines.
inline Tally compare(const std::string& text, int count, bool time, bool must_take = false) {
    Tally t;
    if (text.empty()) return t;
    const Block block(text);
    std::FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (f == nullptr) {
        ADD_FAILURE() << "fmemopen failed";
        return t;
    }
    LineReader reader(f, std::size_t{1} << 16);
    const char* p = block.begin();
    const ReadOptions plain;
    LineWork work;
    // The lines taken before the first one refused, for scan_plain_rows.
    std::vector<double> leading;
    bool refused = false;
    while (reader.next() == LineReader::LINE_READ) {
        ++t.lines;
        const char* line = reader.line();
        const std::size_t length = reader.length();
        const std::uint64_t fill = 0x7ff4dead00000000u + static_cast<std::uint64_t>(t.lines);
        double got[4], want[4], again[4];
        for (int i = 0; i < 4; ++i) {
            std::memcpy(&got[i], &fill, sizeof fill);
            std::memcpy(&want[i], &fill, sizeof fill);
        }
        const char* next = scan_plain_row(p, got, count, time);
        DataLine d;
        const bool whole = data_line_kind(line, length) &&
                           read_data_line(line, want, count, time, plain, d, work) == count &&
                           d.fault == DataLine::Fault::none && !d.more;
        std::string wrong;
        if (next == nullptr) refused = true;
        if (!refused) leading.insert(leading.end(), got, got + count);
        if (next != nullptr) {
            ++t.taken;
            if (next != p + length) {
                wrong =
                    "taken to byte " + std::to_string(next - p) + " of " + std::to_string(length);
            } else if (!whole) {
                wrong = "taken, but the usual way does not read it whole";
            } else if (std::memcmp(got, want, sizeof(double) * static_cast<std::size_t>(count)) !=
                       0) {
                wrong = "other values";
            } else if (!plain_row_may_start(p)) {
                wrong = "taken where plain_row_may_start says no";
            }
        } else if (must_take && read_plain_line(line, again, count, time)) {
            wrong = "refused, but the usual way reads it as a clean line";
        }
        if (!wrong.empty() && ++t.mismatches <= 10) {
            char values[256];
            std::snprintf(values, sizeof values, " [%a %a %a %a] usual way [%a %a %a %a]", got[0],
                          got[1], got[2], got[3], want[0], want[1], want[2], want[3]);
            ADD_FAILURE() << "\"" << shown(p, length) << "\" with " << count << " numbers"
                          << (time ? ", a time first: " : ": ") << wrong << values;
        }
        p += length;
    }
    EXPECT_EQ(p, block.end()) << "the lines do not make up the text";
    std::fclose(f);
    // The run of lines at once: the same lines and numbers, up to the first
    // line refused, and no further than asked.
    const auto rows = static_cast<std::size_t>(t.lines);
    std::vector<double> run((rows + 1) * static_cast<std::size_t>(count), -1.0);
    const char* q = block.begin();
    const std::size_t n = scan_plain_rows(q, run.data(), rows, count, time);
    EXPECT_EQ(n * static_cast<std::size_t>(count), leading.size());
    EXPECT_EQ(std::memcmp(run.data(), leading.data(), leading.size() * sizeof(double)), 0);
    // The slot of the line refused may hold some of its numbers; none after.
    EXPECT_EQ(run[(std::min(n + 1, rows) + 1) * static_cast<std::size_t>(count) - 1], -1.0)
        << "numbers stored beyond the line refused";
    if (n > 1) {
        const char* r = block.begin();
        EXPECT_EQ(scan_plain_rows(r, run.data(), n - 1, count, time), n - 1);
        EXPECT_LT(r, q);
    }
    return t;
}

} // namespace rowscan
