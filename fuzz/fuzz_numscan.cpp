// Fuzz target: the data-line number scanner against the C library, and the
// fused row scan against the usual reading of a line.
//
// scan_numbers promises to read exactly what sscanf reads with one to four
// "%lf" conversions separated by blanks. The first byte of the input picks
// the number of conversions, the rest (up to its first zero byte) is the
// line. Any difference from sscanf in the count or in the bits of a stored
// value is a finding; so is a line that scan_plain_line takes whole but
// sscanf reads otherwise, or that has anything but white space after its
// numbers.
//
// The rest of the input, zero bytes included, is also a block of lines for
// scan_plain_row (bit 2 of the first byte: the first number is a time). A
// line it takes must be one the usual way (the line as LineReader cuts it,
// then read_data_line) reads whole, to the same bits and the same end.
// (That it takes the clean lines of its form is checked by the unit tests,
// on generated lines.)
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "../tests/row_block.h"
#include "fuzz_support.h"
#include "numscan.h"

namespace {

const char* const FORMATS[] = {"%lf", "%lf %lf", "%lf %lf %lf", "%lf %lf %lf %lf"};

int scan_with_sscanf(const char* s, double* v, int count) {
    switch (count) {
    case 1:
        return std::sscanf(s, FORMATS[0], &v[0]);
    case 2:
        return std::sscanf(s, FORMATS[1], &v[0], &v[1]);
    case 3:
        return std::sscanf(s, FORMATS[2], &v[0], &v[1], &v[2]);
    default:
        return std::sscanf(s, FORMATS[3], &v[0], &v[1], &v[2], &v[3]);
    }
}

std::uint64_t bits(double d) {
    std::uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

std::string shown_values(const double* a, const double* b, int count) {
    std::string s;
    for (int i = 0; i < count; ++i) {
        char buf[128];
        std::snprintf(buf, sizeof buf, "  [%d] %a vs the usual %a\n", i, a[i], b[i]);
        s += buf;
    }
    return s;
}

void check_row_scan(const char* data, std::size_t size, int count, bool time) {
    const rowscan::Block block(std::string(data, size));
    LineWork work;
    for (const char* p = block.begin(); p < block.end();) {
        // The line as LineReader cuts it: up to its line feed, or the end.
        const auto left = static_cast<std::size_t>(block.end() - p);
        const void* feed = std::memchr(p, '\n', left);
        const std::size_t length =
            feed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(feed) - p) + 1
                            : left;
        const std::string line(p, length); // with a zero byte after it, as LineReader hands it
        double got[4] = {-1.5, -2.5, -3.5, -4.5};
        double want[4] = {-1.5, -2.5, -3.5, -4.5};
        const char* next = scan_plain_row(p, got, count, time);
        const bool whole =
            rowscan::usual_reads_whole(line.c_str(), length, want, count, time, work);
        if (next != nullptr) {
            bool same = whole && next == p + length && plain_row_may_start(p);
            for (int i = 0; same && i < count; ++i)
                same = bits(got[i]) == bits(want[i]);
            if (!same) {
                fuzz::fail("scan_plain_row takes a line otherwise than the usual way",
                           "line: " + rowscan::shown(p, length) + "\n" + std::to_string(count) +
                               " numbers" + (time ? ", a time first\n" : "\n") +
                               shown_values(got, want, count));
            }
        }
        p += length;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int count = 1 + data[0] % 4;
    const std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
    const char* s = line.c_str(); // ends at the first zero byte, as a line buffer does

    // Distinct fill patterns show a value stored by one side only.
    double got[4] = {-1.5, -2.5, -3.5, -4.5};
    double want[4] = {-1.5, -2.5, -3.5, -4.5};
    const int n_got = scan_numbers(s, got, count);
    const int n_want = scan_with_sscanf(s, want, count);

    bool same = n_got == n_want;
    for (int i = 0; same && i < n_want; ++i)
        same = bits(got[i]) == bits(want[i]);
    if (!same) {
        char detail[512];
        int len = std::snprintf(detail, sizeof detail,
                                "format \"%s\": scan_numbers gives %d, sscanf gives %d\n",
                                FORMATS[count - 1], n_got, n_want);
        for (int i = 0; i < count && len < static_cast<int>(sizeof detail); ++i) {
            len += std::snprintf(detail + len, sizeof detail - static_cast<std::size_t>(len),
                                 "  [%d] %a (%016llx) vs %a (%016llx)\n", i, got[i],
                                 static_cast<unsigned long long>(bits(got[i])), want[i],
                                 static_cast<unsigned long long>(bits(want[i])));
        }
        fuzz::fail("scan_numbers differs from sscanf", std::string(detail) + "line: " + line);
    }

    double plain[4] = {-1.5, -2.5, -3.5, -4.5};
    if (scan_plain_line(s, plain, count)) {
        NumberEnds ends;
        double again[4];
        bool agrees = n_want == count && scan_numbers(s, again, count, ends) == count &&
                      ends.glued == nullptr && rest_is_blank(ends.end);
        for (int i = 0; agrees && i < count; ++i)
            agrees = bits(plain[i]) == bits(want[i]);
        if (!agrees) fuzz::fail("scan_plain_line takes a line whole that is not", "line: " + line);
    }

    check_row_scan(reinterpret_cast<const char*>(data + 1), size - 1, count, (data[0] & 4) != 0);
    return 0;
}
