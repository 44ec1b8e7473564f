// Number formatting for the ASCII AVQ form: see numfmt.h.
//
// std::to_chars with a precision is defined to produce what printf produces
// for the same conversion in the C locale ("%.14g" is chars_format::general
// with precision 14, "%.0f" is chars_format::fixed with precision 0),
// including the two-digit exponent, the dropped trailing zeroes and
// round-half-even on exact ties. It never consults the locale, so the point
// is always the decimal separator. Infinities and not-a-number values are
// spelled here as the C library's printf spells them ("inf", "-inf", "nan",
// "-nan" by the sign bit, whatever the payload) rather than relying on the
// library's choice for non-finite values.
#include "numfmt.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "pow10.h"

namespace {

char* put(char* p, const char* text) {
    const std::size_t n = std::strlen(text);
    std::memcpy(p, text, n);
    return p + n;
}

char* format_non_finite(char* p, double v) {
    if (std::isnan(v)) return put(p, std::signbit(v) ? "-nan" : "nan");
    return put(p, v < 0 ? "-inf" : "inf");
}

// Fast path of "%.14g" for magnitudes from 1e-8 to below 1e15, where data
// values and times lie. The value is scaled by an exact power of ten so that
// its 14 significant digits form the integer part: y = |v| * 10^(13 - e),
// with 10^e <= |v| < 10^(e+1). That one multiplication (or division by ten)
// rounds once, and rounding is monotonic, so the exact product and y lie on
// the same side of every half k + 0.5 (exact in a double below 2^52) unless
// y is that half itself. Rounding y to an integer therefore gives printf's
// digits unless y ends in exactly .5 (an exact tie or a product rounded onto
// one); those values, values that round up into the next decade, and any
// value whose decimal exponent came out wrong are left to to_chars (the
// function returns nullptr for them).
// 10^e for e = -8 .. 15, as near as a double gets.
constexpr double decade[] = {1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1,
                             1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
constexpr std::uint64_t ten13 = 10000000000000u, ten14 = 100000000000000u;

// Writes `x` (below 10^7) as exactly seven digits.
void put_seven_digits(char* d, std::uint32_t x) {
    static constexpr char pairs[] = "00010203040506070809101112131415161718192021222324"
                                    "25262728293031323334353637383940414243444546474849"
                                    "50515253545556575859606162636465666768697071727374"
                                    "75767778798081828384858687888990919293949596979899";
    d[6] = static_cast<char>('0' + x % 10);
    x /= 10;
    for (int i = 4; i >= 0; i -= 2) {
        std::memcpy(d + i, pairs + 2 * (x % 100), 2);
        x /= 100;
    }
}

char* g14_fast(char* p, double v) {
    const double a = std::fabs(v);
    if (!(a >= 1e-8 && a < 1e15)) return nullptr;
    std::uint64_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    const int binary_exponent = static_cast<int>(bits >> 52) - 1023;
    // floor(binary_exponent * log10(2)), at least -9 here: 10^e <=
    // 2^binary_exponent <= a, so the decimal exponent is e or e + 1.
    int e = (binary_exponent * 78913) >> 18;
    if (a >= decade[e + 1 + 8]) ++e;
    const int shift = 13 - e; // -1 .. 21
    const double y = shift >= 0 ? a * exact_pow10[shift] : a / 10;
    const double whole = std::floor(y);
    const double frac = y - whole; // exact
    if (frac == 0.5) return nullptr;
    std::uint64_t digits = static_cast<std::uint64_t>(whole) + (frac > 0.5 ? 1 : 0);
    if (digits < ten13 || digits >= ten14) return nullptr;

    // The 14 digits, as two halves of seven.
    char d[14];
    const auto high = static_cast<std::uint32_t>(digits / 10000000);
    const auto low = static_cast<std::uint32_t>(digits % 10000000);
    put_seven_digits(d, high);
    put_seven_digits(d + 7, low);
    int n = low == 0 ? 7 : 14; // significant digits without trailing zeroes
    while (n > 1 && d[n - 1] == '0')
        --n;

    if (v < 0) *p++ = '-';
    if (e >= -4 && e < 14) { // fixed notation
        if (e >= 0) {
            std::memcpy(p, d, static_cast<std::size_t>(e + 1));
            p += e + 1;
            if (n > e + 1) {
                *p++ = '.';
                std::memcpy(p, d + e + 1, static_cast<std::size_t>(n - e - 1));
                p += n - e - 1;
            }
        } else {
            *p++ = '0';
            *p++ = '.';
            for (int i = -1; i > e; --i)
                *p++ = '0';
            std::memcpy(p, d, static_cast<std::size_t>(n));
            p += n;
        }
        return p;
    }
    *p++ = d[0]; // exponent notation: at least two exponent digits
    if (n > 1) {
        *p++ = '.';
        std::memcpy(p, d + 1, static_cast<std::size_t>(n - 1));
        p += n - 1;
    }
    *p++ = 'e';
    *p++ = e < 0 ? '-' : '+';
    const int x = e < 0 ? -e : e;
    *p++ = static_cast<char>('0' + x / 10);
    *p++ = static_cast<char>('0' + x % 10);
    return p;
}

} // namespace

char* format_g14(char* p, double v) {
    if (!std::isfinite(v)) return format_non_finite(p, v);
    if (char* end = g14_fast(p, v)) return end;
    return std::to_chars(p, p + FORMAT_MAX, v, std::chars_format::general, 14).ptr;
}

char* format_f0(char* p, double v) {
    if (!std::isfinite(v)) return format_non_finite(p, v);
    return std::to_chars(p, p + FORMAT_MAX, v, std::chars_format::fixed, 0).ptr;
}
