// Number formatting for the ASCII AVQ form (format_g14, format_f0 in
// <avq/writer.h>).
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
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <avq/writer.h>

namespace avq {

namespace {

// 10^0 to 10^22, the powers of ten that a double holds exactly (5^22 < 2^53).
constexpr double exact_pow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                  1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

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
//
// The path is written for the processor's pipeline rather than for the
// fewest operations: consecutive values are independent, so what limits it
// is the chain of dependent steps per value and the branches that data
// mispredict (the exponent and the number of digits vary from value to
// value). So there is no loop and no division per digit, the eight digits of
// each half are made at once in the byte lanes of a 64-bit word, and the
// layout of the text is chosen by arithmetic, not by branches.
//
// 10^e for e = -8 .. 15, as near as a double gets.
constexpr double decade[] = {1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1,
                             1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
constexpr std::uint64_t ten13 = 10000000000000u, ten14 = 100000000000000u;
constexpr std::uint64_t ascii_zeros = 0x3030303030303030u; // '0' in every byte

// The eight decimal digits of `x` (below 10^8), leading zeroes included, as
// digit values 0-9 in the bytes of a word, the first digit in the highest
// byte. Each step splits every lane of the word in two at once, the
// quotient into the upper half of the lane and the remainder into the lower:
// n + q * (2^bits - d) is q * 2^bits + (n - q * d). The quotients come from
// multiplications by reciprocals that are exact for the lane's range (n *
// 10486 >> 20 is n / 100 for n below 10^4, n * 103 >> 10 is n / 10 for n
// below 100), masked to their lane.
constexpr std::uint64_t eight_digits(std::uint32_t x) {
    const std::uint64_t fours = x + x / 10000 * ((std::uint64_t{1} << 32) - 10000);
    const std::uint64_t twos =
        fours + ((fours * 10486 >> 20) & 0x0000007f0000007fu) * ((1u << 16) - 100);
    return twos + ((twos * 103 >> 10) & 0x000f000f000f000fu) * ((1u << 8) - 10);
}

// Stores the eight bytes of `w` at `p`, its highest byte first.
inline void store_highest_first(char* p, std::uint64_t w) {
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
    std::memcpy(p, &w, sizeof w);
}

char* g14_fast(char* p, double v) {
    const double a = std::fabs(v);
    if (!(a >= 1e-8 && a < 1e15)) return nullptr;
    std::uint64_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    const int binary_exponent = static_cast<int>(bits >> 52) - 1023;
    // floor(binary_exponent * log10(2)), -9 to 14 here: 10^e0 <=
    // 2^binary_exponent <= a, so the decimal exponent is e0 or e0 + 1. Both
    // scalings are made while the comparison decides between them.
    const int e0 = (binary_exponent * 78913) >> 18;
    const bool up = a >= decade[e0 + 1 + 8];
    const int e = e0 + (up ? 1 : 0);
    double y;
    if (e0 < 13) {
        const double y0 = a * exact_pow10[13 - e0], y1 = a * exact_pow10[12 - e0];
        y = up ? y1 : y0;
    } else {
        y = e == 13 ? a : a / 10;
    }
    // y is below 2^52, so adding 2^52 leaves no bits for a fraction: the sum
    // is 2^52 plus y rounded to the nearest integer, which its low 52 bits
    // hold. The rounding's error is exact, and a tie shows as a half.
    const double rounded = y + 0x1p52;
    if (std::fabs((rounded - 0x1p52) - y) == 0.5) return nullptr;
    std::uint64_t digits;
    std::memcpy(&digits, &rounded, sizeof digits);
    digits &= (std::uint64_t{1} << 52) - 1;
    if (digits - ten13 >= ten14 - ten13) return nullptr;

    // The 14 digits as 6 + 8, and how many are left without trailing zeroes
    // (zero digits are zero bytes, counted by the trailing zero bits >> 3;
    // the `| 1 << 63` only tells the compiler that the word is not 0).
    const auto high = static_cast<std::uint32_t>(digits / 100000000); // 10^5 <= high < 10^6
    const auto low = static_cast<std::uint32_t>(digits % 100000000);
    const std::uint64_t high_digits = eight_digits(high), low_digits = eight_digits(low);
    const std::uint64_t low_is_zero = std::uint64_t{0} - (low == 0 ? 1 : 0);
    const std::uint64_t last = (low_digits & ~low_is_zero) | (high_digits & low_is_zero);
    const int n = 14 - static_cast<int>(low_is_zero & 8) -
                  (std::countr_zero(last | std::uint64_t{1} << 63) >> 3);

    // z holds "0000" and then the 14 digits, then zeroes: the leading zeroes
    // serve fixed numbers below 1 ("0.00123" is z[1] '.' z[2..]), the
    // trailing ones the copies below, which go past the text.
    char z[48];
    std::memset(z + 16, 0, 32);
    std::memcpy(z, &ascii_zeros, 8);
    store_highest_first(z + 2, high_digits + ascii_zeros); // two zeroes, 6 digits
    store_highest_first(z + 10, low_digits + ascii_zeros);

    // The text is z[from .. from + whole_digits), a point, then the rest of
    // the n digits; there is no point if nothing follows it. Fixed notation
    // for -4 <= e < 14, else one digit before the point and an exponent
    // after the digits. (Masks of all ones or zeroes choose between the
    // layouts.)
    const int fixed = e >= -4 && e < 14 ? -1 : 0;
    const int fixed_e = e & fixed;
    const int below_one = fixed_e >> 31;
    const int from = 4 + (fixed_e & below_one);
    const int whole_digits = 1 + (fixed_e & ~below_one);
    const int fraction_digits = n - fixed_e - 1;
    const int point = fraction_digits > 0 ? -1 : 0;
    *p = '-';
    p += std::signbit(v) ? 1 : 0;
    std::memcpy(p, z + from, 16);
    p[whole_digits] = '.';
    std::memcpy(p + whole_digits + 1, z + from + whole_digits, 24);
    p += whole_digits + ((fraction_digits + 1) & point);
    if (fixed != 0) return p;
    const int x = e < 0 ? -e : e; // at least two exponent digits; below 100 here
    p[0] = 'e';
    p[1] = e < 0 ? '-' : '+';
    p[2] = static_cast<char>('0' + x / 10);
    p[3] = static_cast<char>('0' + x % 10);
    return p + 4;
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

} // namespace avq
