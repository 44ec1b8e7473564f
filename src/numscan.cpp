// Number scanning for data lines: see numscan.h for the rules.
//
// Plain decimal tokens (an optional sign, digits with at most one point, an
// optional complete exponent) are converted here; everything else is handed
// to sscanf itself, so the results stay those of the C library bit for bit.
//
// How the C library's scanf reads one "%lf" (and what this file mirrors):
// after skipping white space it collects characters greedily: one sign; then
// "nan", "inf" or "infinity" (any case); or "0x" and hexadecimal digits; or
// decimal digits, one point anywhere before the exponent, an "e" or "E" once
// at least one digit was seen, and one sign directly after the "e". The first
// character that does not fit ends the token and is left for the next
// conversion; the token is then converted with strtod, which may use only a
// prefix of it ("1e" and "1e+" give 1 with the "e" and sign consumed). A
// token without a digit, or "0x" alone, is a matching failure.
//
// The fast path takes exactly those decimal tokens whose exponent, if any,
// has a digit; anything else (no digit, "0x", "nan", "inf", a dangling
// exponent, a value out of range) is left to sscanf, with the rest of the
// line, one conversion at a time ("%lf%n", which also tells where the number
// ended). sscanf keeps no state between conversions but its position in the
// input, so that hand-off reads exactly what one sscanf call over the whole
// line would have read.
#include "numscan.h"

#include <cfloat>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <system_error>

#include "pow10.h"

// The exact small-number conversion below relies on double arithmetic being
// done in double precision (not in wider registers).
static_assert(FLT_EVAL_METHOD == 0, "double arithmetic must round to double");

namespace {

// The value of a decimal digit; 10 or more for any other character.
inline unsigned digit_value(char c) {
    return static_cast<unsigned char>(c) - unsigned{'0'};
}

inline bool is_digit(char c) {
    return digit_value(c) < 10;
}

constexpr std::uint64_t max_exact_integer = std::uint64_t{1} << 53;

// Reads one plain decimal token at `p` (white space already skipped). On
// success stores the value in `value` and returns the end of the token (the
// first character the C library would not take into it); returns nullptr,
// leaving `value` alone, for any token that must go to the C library.
[[gnu::always_inline]] inline const char* scan_decimal(const char* p, double& value) {
    bool negative = false;
    if (*p == '-' || *p == '+') {
        negative = *p == '-';
        ++p;
    }
    const char* number = p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) return nullptr; // hexadecimal

    // Mantissa: digits, at most one point. `mantissa` holds the digits as an
    // integer; it is exact as long as there are at most 19 significant ones
    // (counted from the first non-zero digit), and only then used.
    std::uint64_t mantissa = 0;
    const char* digits = p;
    while (*p == '0')
        ++p;
    const char* first_significant = p;
    for (unsigned d; (d = digit_value(*p)) < 10; ++p)
        mantissa = mantissa * 10 + d;
    int significant = static_cast<int>(p - first_significant);
    bool any_digit = p != digits;
    int fraction = 0; // digits after the point
    if (*p == '.') {
        const char* after_point = ++p;
        if (significant == 0) {
            while (*p == '0')
                ++p;
        }
        first_significant = p;
        for (unsigned d; (d = digit_value(*p)) < 10; ++p)
            mantissa = mantissa * 10 + d;
        significant += static_cast<int>(p - first_significant);
        fraction = static_cast<int>(p - after_point);
        any_digit = any_digit || fraction != 0;
    }
    if (!any_digit) return nullptr; // ".", "-", "nan", "inf", junk: a failure or a special form

    int exponent = 0;
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        bool exponent_negative = false;
        if (*q == '-' || *q == '+') {
            exponent_negative = *q == '-';
            ++q;
        }
        if (!is_digit(*q)) return nullptr; // dangling exponent: "1e", "1e+", "1ex"
        for (; is_digit(*q); ++q) {
            if (exponent < 100000) exponent = exponent * 10 + (*q - '0');
        }
        if (exponent_negative) exponent = -exponent;
        p = q;
    }
    const int power = exponent - fraction;

    double v;
    if (significant == 0) {
        v = 0.0; // only zero digits: zero whatever the exponent
    } else if (significant <= 19 && mantissa <= max_exact_integer && power >= -22 && power <= 22) {
        // Both operands are exact, so one correctly rounded operation gives
        // the correctly rounded value, as strtod does.
        const double m = static_cast<double>(mantissa);
        v = power < 0 ? m / exact_pow10[-power] : m * exact_pow10[power];
    } else {
        // Long mantissas and large exponents: from_chars rounds correctly as
        // strtod does. Values it reports out of range (overflow, underflow
        // to zero), where strtod gives infinity or zero, go to the C library.
        const auto r = std::from_chars(number, p, v);
        if (r.ec != std::errc() || r.ptr != p) return nullptr;
    }
    value = negative ? -v : v;
    return p;
}

// One "%lf" conversion by sscanf at `p` (white space already skipped, not
// at the end of the string). Stores the value and returns the end of what
// sscanf consumed, or returns nullptr (leaving `value` alone) when the
// conversion fails; `eof` then tells whether sscanf reported the end of the
// input rather than a matching failure. sscanf keeps no state between
// conversions but its position in the input, so converting one number at a
// time reads exactly what one call with all the conversions would read.
const char* scan_with_c_library(const char* p, double& value, bool& eof) {
    double v = 0;
    int consumed = 0;
    const int r = std::sscanf(p, "%lf%n", &v, &consumed);
    eof = r < 0;
    if (r != 1) return nullptr;
    value = v;
    return p + consumed;
}

// Whether a number is read at `p` (not white space, not the end). Rare, so
// by sscanf alone, which reads every number the fast path reads.
bool number_at(const char* p) {
    double v = 0;
    return std::sscanf(p, "%lf", &v) == 1;
}

// The start of the word of `s` (a run of characters that are not white
// space) that holds `p`.
const char* word_start(const char* s, const char* p) {
    while (p > s && !is_space(p[-1]))
        --p;
    return p;
}

// After the numbers: text right after the last one, at `p`, that is no
// number is glued to it.
void check_glued(const char* s, const char* p, NumberEnds& ends) {
    if (!is_space(*p) && *p != '\0' && !number_at(p)) ends.glued = word_start(s, p);
}

// The rest of scan_numbers from conversion i on, at `p`: the end of the
// string, or a token the fast path does not take, from which the rest of
// the line goes to the C library. Lines that need it (hexadecimal,
// infinities, not-a-number, dangling exponents, values out of range, junk)
// are rare.
[[gnu::noinline]] int scan_rest(const char* s, const char* p, double* out, int i, int count,
                                NumberEnds& ends) {
    for (;;) {
        // Where the number before ended (numbers do not end in white space).
        const char* before = p;
        while (before > s && is_space(before[-1]))
            --before;
        // The input ends before this conversion: sscanf returns the number
        // converted so far, or EOF when that is none.
        if (*p == '\0') {
            ends.end = before;
            return i == 0 ? -1 : i;
        }
        bool eof = false;
        const char* next = scan_with_c_library(p, out[i], eof);
        if (next == nullptr) {
            // A failed conversion right after a number: text glued to it.
            if (i > 0 && p == before) ends.glued = word_start(s, p);
            ends.end = before;
            return eof && i == 0 ? -1 : i;
        }
        p = next;
        if (++i == count) break;
        while (is_space(*p))
            ++p;
    }
    ends.end = p;
    check_glued(s, p, ends);
    return count;
}

} // namespace

int scan_numbers(const char* s, double* out, int count, NumberEnds& ends) {
    ends.glued = nullptr;
    if (count < 1 || count > 4) {
        ends.end = s;
        return 0;
    }
    const char* p = s;
    int i = 0;
    for (; i < count; ++i) {
        while (is_space(*p))
            ++p;
        if (*p == '\0') break;
        const char* next = scan_decimal(p, out[i]);
        if (next == nullptr) [[unlikely]]
            break;
        p = next;
    }
    if (i < count) [[unlikely]]
        return scan_rest(s, p, out, i, count, ends);
    ends.end = p;
    if (!is_space(*p) && *p != '\0') [[unlikely]]
        check_glued(s, p, ends);
    return count;
}

int scan_numbers(const char* s, double* out, int count) {
    NumberEnds ends;
    return scan_numbers(s, out, count, ends);
}

bool scan_plain_line(const char* s, double* out, int count) {
    const char* p = s;
    for (int i = 0; i < count; ++i) {
        while (is_space(*p))
            ++p;
        // The end of the string is no token: scan_decimal refuses it.
        const char* end = scan_decimal(p, out[i]);
        if (end == nullptr) return false;
        p = end;
    }
    return rest_is_blank(p);
}
