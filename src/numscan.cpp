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

#include <bit>
#include <cfloat>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <system_error>

#include "pow10.h"

#if defined(__SSE2__) && !defined(VELKOR_NO_SIMD)
#include <emmintrin.h>
#define VELKOR_SSE2 1
#else
#define VELKOR_SSE2 0
#endif

// The exact small-number conversion below relies on double arithmetic being
// done in double precision (not in wider registers).
static_assert(FLT_EVAL_METHOD == 0, "double arithmetic must round to double");

namespace {

// The value of a decimal digit; 10 or more for any other character.
inline unsigned digit_value(char c) {
    return static_cast<unsigned char>(c) - unsigned{'0'};
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

// The fused row scan (scan_plain_row).
//
// A line is read at once (scan_row_at_once): its first bytes are classed 16
// at a time into bits of blanks and line feeds, which give the line's end
// and where each of its tokens begins and ends before any number is read.
// So the next line's start does not wait for this line's numbers, nor one
// number for another, and the processor works on several at once.
//
// A number is read from one 16-byte load at its token (token_value): the
// bits of its digits and points, and the token's known length, tell whether
// it is a plain number (every byte a digit but for a sign first and one
// point) and where the point is. The bytes, less '0', are closed up over the
// point and cleared after the last digit; the sign's byte, cleared, is a
// leading zero digit. Multiply-adds in the vector's lanes make pairs of
// digits, then fours, then eights: an integer that is the mantissa times
// 10^k (the k zero bytes after the digits). It is divided by 2^k with a
// shift and by 5^k with a multiplication by the inverse of 5^k modulo 2^64,
// which gives the exact quotient of a division that leaves no remainder.
// So a number costs no branch on its digits.
//
// A mantissa of at most 2^53 is exact in a double, and a token of at most
// 16 bytes has at most 15 digits after its point, so the value is one
// correctly rounded division by an exact power of ten: the very operation
// scan_decimal does for such a token. A line with any other token (an
// exponent, a longer one) is read number after number (scan_row), each
// number from a 16-byte window at its start (window_digits), exponents
// within the exact powers of ten here and anything else by scan_decimal.
namespace {

// The digits of a number of the fast path, as the window shows them.
struct Digits {
    std::uint64_t mantissa; // the value of the digits, the point left out
    unsigned length;        // bytes of the token after its sign: digits and point
    unsigned fraction;      // digits after the point
};

// The inverse of 5^k modulo 2^64 for k from 0 to 16: multiplying an exact
// multiple of 5^k by it divides it exactly. (The inverse of 5 by Newton's
// iteration, each step doubling the correct low bits.)
constexpr std::uint64_t inverse_of_5() {
    std::uint64_t x = 5; // 5 * 5 = 1 mod 8: three bits
    for (int i = 0; i < 5; ++i)
        x *= 2 - 5 * x;
    return x;
}
static_assert(5 * inverse_of_5() == 1);

struct InversePowersOf5 {
    std::uint64_t v[17];
    constexpr InversePowersOf5() : v() {
        v[0] = 1;
        for (int k = 1; k < 17; ++k)
            v[k] = v[k - 1] * inverse_of_5();
    }
};
constexpr InversePowersOf5 inverse_pow5;

#if VELKOR_SSE2
// Sixteen zero bytes, then sixteen bytes of ones: the sixteen bytes from
// BYTES_FROM + 16 - n are zero below byte n and ones from it on.
alignas(16) constexpr unsigned char BYTES_FROM[32] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

inline __m128i bytes_from(unsigned n) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(BYTES_FROM + 16 - n));
}

// Sixteen digit values (bytes of 0 to 9, the first the most significant)
// as an integer: each multiply-add of 16-bit lanes joins neighbours, into
// two-digit, four-digit and eight-digit numbers (which fit the lanes: 99,
// 9999 and 99999999).
inline std::uint64_t sixteen_digits(__m128i digits) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i pairs = _mm_packs_epi32(
        _mm_madd_epi16(_mm_unpacklo_epi8(digits, zero), _mm_set1_epi32(0x0001000A)),
        _mm_madd_epi16(_mm_unpackhi_epi8(digits, zero), _mm_set1_epi32(0x0001000A)));
    const __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010064));
    const __m128i eights =
        _mm_madd_epi16(_mm_packs_epi32(fours, fours), _mm_set1_epi32(0x00012710));
    const auto both = static_cast<std::uint64_t>(_mm_cvtsi128_si64(eights));
    return (both & 0xFFFFFFFF) * 100000000 + (both >> 32);
}

// The 16 bytes at `q` classed: each less '0', the lanes that hold a digit,
// and the digits and the points as bits (byte i in bit i).
struct Window {
    __m128i values;
    __m128i digit_lanes;
    unsigned digit_bits, point_bits;
};

[[gnu::always_inline]] inline Window window_at(const char* q) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    const __m128i values = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
    // A byte is a digit when its value less '0' is at most 9, unsigned.
    const __m128i digit_lanes = _mm_cmpeq_epi8(_mm_min_epu8(values, _mm_set1_epi8(9)), values);
    return {values, digit_lanes, static_cast<unsigned>(_mm_movemask_epi8(digit_lanes)),
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('.'))))};
}
#else
// Bytes 0 to 7 of `v` (byte 0 in the lowest bits, the most significant
// digit) hold digit values: their value as an eight-digit integer. Pairs,
// then fours, then all eight are joined in the lanes of the word.
inline std::uint64_t eight_digits(std::uint64_t v) {
    v = v * 10 + (v >> 8); // bytes 0, 2, 4, 6: two digits each
    return (((v & 0x000000FF000000FF) * (100 + (std::uint64_t{1000000} << 32))) +
            (((v >> 16) & 0x000000FF000000FF) * (1 + (std::uint64_t{10000} << 32)))) >>
           32;
}
#endif

// Reads the digits of a number at `q` (after its sign) from its window of
// 16 bytes. Returns false when the token does not fit the window (then
// `d.length` is 16) or has no digit.
[[gnu::always_inline]] inline bool window_digits(const char* q, Digits& d) {
#if VELKOR_SSE2
    const Window w = window_at(q);
    const unsigned digit_bits = w.digit_bits, point_bits = w.point_bits;
#else
    unsigned digit_bits = 0, point_bits = 0;
    for (unsigned i = 0; i < 16; ++i) {
        digit_bits |= unsigned{digit_value(q[i]) < 10} << i;
        point_bits |= unsigned{q[i] == '.'} << i;
    }
#endif
    // The bits above 15 of `other` are set, so that it is never zero and the
    // counts stop at 16 (the builtin, unlike std::countr_zero, has no test
    // for zero).
    const unsigned other = ~digit_bits;
    const auto whole = static_cast<unsigned>(__builtin_ctz(other));
    const unsigned point = (point_bits >> whole) & 1;
    const unsigned fraction =
        static_cast<unsigned>(__builtin_ctz(other >> (whole + 1))) & (0u - point);
    d.length = whole + point + fraction;
    d.fraction = fraction;
    const unsigned count = whole + fraction; // digits in all
    if (d.length >= 16 || count == 0) [[unlikely]]
        return false;
    const unsigned zeros = 16 - count;
#if VELKOR_SSE2
    // From byte `whole` on, each byte takes the one after it (closing up
    // over the point, if there is one); from byte `count` on, zeros.
    const __m128i from_whole = bytes_from(whole);
    const __m128i closed = _mm_or_si128(_mm_and_si128(from_whole, _mm_srli_si128(w.values, 1)),
                                        _mm_andnot_si128(from_whole, w.values));
    const std::uint64_t scaled = sixteen_digits(_mm_andnot_si128(bytes_from(count), closed));
#else
    std::uint64_t first = 0, second = 0;
    for (unsigned i = 0; i < count; ++i) {
        const std::uint64_t v = digit_value(q[i < whole ? i : i + 1]);
        if (i < 8) {
            first |= v << (8 * i);
        } else {
            second |= v << (8 * (i - 8));
        }
    }
    const std::uint64_t scaled = eight_digits(first) * 100000000 + eight_digits(second);
#endif
    d.mantissa = (scaled >> zeros) * inverse_pow5.v[zeros];
    return true;
}

// The slow way of a number of a row: the token at `p` read by scan_decimal,
// whatever its length and exponent.
[[gnu::noinline]] const char* row_number_slow(const char* p, double& out) {
    return scan_decimal(p, out);
}

inline double with_sign(double v, bool negative) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) ^ (std::uint64_t{negative} << 63));
}

// One number of a row at `p`: stores it and returns its end, or returns
// nullptr for a token the plain reading refuses (or no token at all).
[[gnu::always_inline]] inline const char* row_number(const char* p, double& out) {
    const char c = *p;
    const bool negative = c == '-';
    const char* q = p + ((negative || c == '+') ? 1 : 0);
    Digits d;
    if (!window_digits(q, d)) [[unlikely]] {
        if (d.length < 16) return nullptr; // no digit: refused as scan_decimal refuses it
        return row_number_slow(p, out);
    }
    const char* end = q + d.length;
    // Below 2^53: the signed conversion, which needs no test of the top bit.
    const auto m = static_cast<double>(static_cast<std::int64_t>(d.mantissa));
    if ((*end | 0x20) != 'e') [[likely]] {
        out = with_sign(m / exact_pow10[d.fraction], negative);
        return end;
    }
    // An exponent: digits after "e" and a sign, as scan_decimal reads them.
    const char* r = end + 1;
    const bool exponent_negative = *r == '-';
    if (*r == '-' || *r == '+') ++r;
    if (!is_digit(*r)) return nullptr; // dangling: "1e", "1e+", "1ex"
    int exponent = 0;
    for (unsigned v; (v = digit_value(*r)) < 10; ++r) {
        if (exponent < 100000) exponent = exponent * 10 + static_cast<int>(v);
    }
    const int power = (exponent_negative ? -exponent : exponent) - static_cast<int>(d.fraction);
    if (power < -22 || power > 22) return row_number_slow(p, out);
    const double v = power < 0 ? m / exact_pow10[-power] : m * exact_pow10[power];
    out = with_sign(v, negative);
    return r;
}

inline bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// After a number at `p`: one blank or more, then the next number.
[[gnu::always_inline]] inline const char* next_number(const char* p, double& out) {
    if (!is_blank(*p)) return nullptr; // glued, or the line ends early
    do
        ++p;
    while (is_blank(*p));
    return row_number(p, out);
}

// After the last number at `p`: blanks, a carriage return, the line feed.
inline const char* line_end(const char* p) {
    while (is_blank(*p))
        ++p;
    if (*p == '\r') ++p;
    return *p == '\n' ? p + 1 : nullptr;
}

template <int Count> [[gnu::noinline]] const char* scan_row(const char* p, double* out, bool time) {
    while (is_blank(*p))
        ++p;
    p = row_number(p, out[0]);
    if (p == nullptr) return nullptr;
    if (time && !(out[0] >= LEAST_SURE_TIME)) return nullptr; // may be a date
    if constexpr (Count >= 2) {
        p = next_number(p, out[1]);
        if (p == nullptr) return nullptr;
    }
    if constexpr (Count >= 3) {
        p = next_number(p, out[2]);
        if (p == nullptr) return nullptr;
    }
    if constexpr (Count >= 4) {
        p = next_number(p, out[3]);
        if (p == nullptr) return nullptr;
    }
    return line_end(p);
}

#if VELKOR_SSE2
// A token of a line known to run from `t` for `length` bytes (up to a blank
// or the line's end): when it is a number of the plain form without an
// exponent, of at most 16 bytes and with a mantissa of at most 2^53 (the
// exact way of scan_decimal), stores its value and returns true. From the
// window, as window_at classes it, except that the token's extent is
// known: its bytes must all be digits but for a sign first and the first
// point. The sign's byte is read as a leading zero digit.
[[gnu::always_inline]] inline bool token_value(const char* t, unsigned length, double& out) {
    const Window w = window_at(t);
    const char c = *t;
    const unsigned sign = c == '-' || c == '+' ? 1 : 0;
    // The first point, or the token's end. (A token longer than 16 bytes
    // wants bits that the window's masks lack.)
    const std::uint64_t end_bit = std::uint64_t{1} << length;
    const std::uint64_t span = end_bit - 1;
    const auto at = static_cast<unsigned>(__builtin_ctzll(w.point_bits | end_bit));
    const std::uint64_t allowed = w.digit_bits | (std::uint64_t{1} << at) | sign;
    if ((allowed & span) != span || (w.digit_bits & span) == 0) [[unlikely]]
        return false; // other bytes, or no digit ("-", ".")
    const unsigned point = at < length ? 1 : 0;
    const unsigned fraction = point != 0 ? length - 1 - at : 0;
    const unsigned used = length - point; // digits and the sign's byte
    const __m128i only_digits = _mm_and_si128(w.values, w.digit_lanes);
    const __m128i from_point = bytes_from(at);
    const __m128i closed = _mm_or_si128(_mm_and_si128(from_point, _mm_srli_si128(only_digits, 1)),
                                        _mm_andnot_si128(from_point, only_digits));
    const unsigned zeros = 16 - used;
    const std::uint64_t mantissa =
        (sixteen_digits(_mm_andnot_si128(bytes_from(used), closed)) >> zeros) *
        inverse_pow5.v[zeros];
    if (mantissa > max_exact_integer) [[unlikely]]
        return false;
    out = with_sign(
        static_cast<double>(static_cast<std::int64_t>(mantissa)) / exact_pow10[fraction], c == '-');
    return true;
}

// The blanks and line feeds of a chunk of 16 bytes at `at`, as bits, and
// whether it holds a zero byte.
struct ChunkBits {
    std::uint64_t blank, feed;
    bool zero;
};

[[gnu::always_inline]] inline ChunkBits chunk_bits(const char* at) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i blanks =
        _mm_or_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(c, _mm_set1_epi8('\t')));
    return {static_cast<std::uint64_t>(_mm_movemask_epi8(blanks)),
            static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_set1_epi8('\n')))),
            _mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_setzero_si128())) != 0};
}

// What became of a number of a line.
enum class Token { read, refused, otherwise };

// Number I of a line at `p`, the token from the lowest bit of `starts` to
// the lowest of `ends` (its last byte); both bits are taken off. A token
// that token_value does not take (an exponent, a long token, or no number
// of the plain form) sends the whole line to scan_row, which reads it
// number after number; rare, and without a call here the usual way needs
// no registers kept across one.
template <int I>
[[gnu::always_inline]] inline Token line_number(const char* p, std::uint64_t& starts,
                                                std::uint64_t& ends, double* out, bool time) {
    if (starts == 0) return Token::refused; // fewer numbers
    const auto s = static_cast<unsigned>(__builtin_ctzll(starts));
    const auto e = static_cast<unsigned>(__builtin_ctzll(ends)) + 1;
    starts &= starts - 1;
    ends &= ends - 1;
    if (!token_value(p + s, e - s, out[I])) [[unlikely]]
        return Token::otherwise;
    // A time below 10000 may be a date.
    return I != 0 || !time || out[0] >= LEAST_SURE_TIME ? Token::read : Token::refused;
}

// The line at `p` read at once: its first 16 * CHUNKS bytes are classed in
// chunks of 16 (blanks, line feeds), which gives the line's end and the
// extent of each of its tokens before any number is read. So the start of
// the next line does not wait for the numbers, and the numbers do not wait
// for each other: the processor reads several lines' numbers at once.
//
// A chunk is loaded only when the chunks before it hold no zero byte, so
// that none reaches past the sentinel's padding; a zero byte before the
// last chunk, or a line that does not fit the chunks, sends the line to
// scan_row. A zero byte in the last chunk needs no test of its own: before
// the line feed found (which may then lie in the padding) it is no blank,
// so it belongs to a token; the tokens are read in order, every byte of a
// token is read, and a token holding a zero byte is refused before any
// token after it (past the zero) is looked at.
template <int Count>
[[gnu::always_inline]] inline const char* scan_row_at_once(const char* p, double* out, bool time) {
    constexpr int CHUNKS = Count == 1 ? 1 : Count == 2 ? 2 : 4;
    if constexpr (Count == 1) {
        // A line of one number mostly holds that number alone: it is taken
        // to run from the line's start to its end (a carriage return left
        // out), which token_value checks byte for byte, with no blanks to
        // look for. A line with blanks (or anything else) goes on below.
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const auto feed =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_set1_epi8('\n'))));
        if (feed != 0) [[likely]] {
            const auto feed_at = static_cast<unsigned>(__builtin_ctz(feed));
            const unsigned end = feed_at != 0 && p[feed_at - 1] == '\r' ? feed_at - 1 : feed_at;
            if (token_value(p, end, out[0])) [[likely]]
                return !time || out[0] >= LEAST_SURE_TIME ? p + feed_at + 1 : nullptr;
        }
    }
    ChunkBits b = chunk_bits(p);
    if constexpr (CHUNKS > 1) {
        if (b.zero) [[unlikely]]
            return scan_row<Count>(p, out, time);
        const ChunkBits b1 = chunk_bits(p + 16);
        b.blank |= b1.blank << 16;
        b.feed |= b1.feed << 16;
        b.zero = b1.zero;
    }
    if constexpr (CHUNKS > 2) {
        if (b.zero) [[unlikely]]
            return scan_row<Count>(p, out, time);
        const ChunkBits b2 = chunk_bits(p + 32);
        if (b2.zero) [[unlikely]]
            return scan_row<Count>(p, out, time);
        const ChunkBits b3 = chunk_bits(p + 48);
        b.blank |= (b2.blank << 32) | (b3.blank << 48);
        b.feed |= (b2.feed << 32) | (b3.feed << 48);
    }
    if (b.feed == 0) [[unlikely]]
        return scan_row<Count>(p, out, time);
    const auto feed_at = static_cast<unsigned>(__builtin_ctzll(b.feed));
    const std::uint64_t before_feed = (std::uint64_t{1} << feed_at) - 1;
    const std::uint64_t line =
        feed_at != 0 && p[feed_at - 1] == '\r' ? before_feed >> 1 : before_feed;
    const std::uint64_t tokens = ~b.blank & line;
    std::uint64_t starts = tokens & ~(tokens << 1);
    std::uint64_t ends = tokens & ~(tokens >> 1); // the last byte of each
    Token t = line_number<0>(p, starts, ends, out, time);
    if constexpr (Count > 1) {
        if (t == Token::read) t = line_number<1>(p, starts, ends, out, time);
    }
    if constexpr (Count > 2) {
        if (t == Token::read) t = line_number<2>(p, starts, ends, out, time);
    }
    if constexpr (Count > 3) {
        if (t == Token::read) t = line_number<3>(p, starts, ends, out, time);
    }
    if (t == Token::otherwise) [[unlikely]]
        return scan_row<Count>(p, out, time);
    if (t == Token::refused || starts != 0) return nullptr; // fewer or more numbers
    return p + feed_at + 1;
}
#endif

} // namespace

// One line of `Count` numbers: by the whole line's bits where the machine
// has SSE2, number after number elsewhere.
template <int Count> const char* scan_plain_row_of(const char* p, double* out, bool time) {
#if VELKOR_SSE2
    return scan_row_at_once<Count>(p, out, time);
#else
    return scan_row<Count>(p, out, time);
#endif
}

template const char* scan_plain_row_of<1>(const char*, double*, bool);
template const char* scan_plain_row_of<2>(const char*, double*, bool);
template const char* scan_plain_row_of<3>(const char*, double*, bool);
template const char* scan_plain_row_of<4>(const char*, double*, bool);

const char* scan_plain_row(const char* p, double* out, int count, bool time) {
    switch (count) {
    case 1:
        return scan_plain_row_of<1>(p, out, time);
    case 2:
        return scan_plain_row_of<2>(p, out, time);
    case 3:
        return scan_plain_row_of<3>(p, out, time);
    case 4:
        return scan_plain_row_of<4>(p, out, time);
    default:
        return nullptr;
    }
}
