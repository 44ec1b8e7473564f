// The fused row scan (scan_plain_row) against the usual way of reading a
// data line: a LineReader line, then read_data_line without options. Shared
// by the table tests of numscan and the generated lines of the
// differential tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "../row_block.h"
#include "line_reader.h"

namespace rowscan {

struct Tally {
    long lines = 0;      // lines read the usual way
    long taken = 0;      // of them, taken by the scan
    long mismatches = 0; // failures reported
};

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
    LineWork work;
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
        const bool whole = usual_reads_whole(line, length, want, count, time, work);
        std::string wrong;
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
    return t;
}

} // namespace rowscan
