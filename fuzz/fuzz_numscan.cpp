// Fuzz target: the data-line number scanner against the C library.
//
// scan_numbers promises to read exactly what sscanf reads with one to four
// "%lf" conversions separated by blanks. The first byte of the input picks
// the number of conversions, the rest (up to its first zero byte) is the
// line. Any difference from sscanf in the count or in the bits of a stored
// value is a finding; so is a line that scan_plain_line takes whole but
// sscanf reads otherwise, or that has anything but white space after its
// numbers.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

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
    return 0;
}
