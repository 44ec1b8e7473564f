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
#include <cstring>

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

} // namespace

char* format_g14(char* p, double v) {
    if (!std::isfinite(v)) return format_non_finite(p, v);
    return std::to_chars(p, p + FORMAT_MAX, v, std::chars_format::general, 14).ptr;
}

char* format_f0(char* p, double v) {
    if (!std::isfinite(v)) return format_non_finite(p, v);
    return std::to_chars(p, p + FORMAT_MAX, v, std::chars_format::fixed, 0).ptr;
}
