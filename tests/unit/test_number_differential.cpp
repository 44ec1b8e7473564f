// Differential tests of the number components against the C library:
// scan_numbers against sscanf ("%lf" ... "%lf %lf %lf %lf", value bits and
// count) and the formatters against snprintf ("%.14g", "%.0f", byte for
// byte), on generated inputs aimed at the sharp edges.
//
// The regular run is sized to take a few seconds under the sanitizers. For a
// wide run set VELKOR_DIFF_COUNT to the number of generated lines (each is
// scanned with 1, 2, 3 and 4 conversions) and of formatted values, and
// optionally VELKOR_DIFF_SEED:
//   VELKOR_DIFF_COUNT=5000000 unit_tests --gtest_filter='NumberDifferential.*'
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include <avq/writer.h>

#include "numscan.h"
#include "row_scan_check.h"

namespace {

using avq::format_f0;
using avq::format_g14;
using avq::FORMAT_MAX;

long env_long(const char* name, long fallback) {
    const char* s = std::getenv(name);
    if (s == nullptr || *s == '\0') return fallback;
    return std::strtol(s, nullptr, 10);
}

long diff_count(long fallback) {
    return env_long("VELKOR_DIFF_COUNT", fallback);
}

class Gen {
  public:
    explicit Gen(std::uint64_t seed) : rng_(seed) {}

    std::uint64_t bits() { return rng_(); }
    // 0 .. n-1
    int below(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }
    bool chance(int percent) { return below(100) < percent; }
    char digit() { return static_cast<char>('0' + below(10)); }
    template <std::size_t N> const char* pick(const char* const (&list)[N]) {
        return list[below(static_cast<int>(N))];
    }

    std::string digits(int n) {
        std::string s;
        for (int i = 0; i < n; ++i)
            s += digit();
        return s;
    }

    // A run of C-locale white space, sometimes empty.
    std::string space(int max) {
        static const char ws[] = {' ', ' ', ' ', '\t', '\t', '\n', '\r', '\v', '\f'};
        std::string s;
        const int n = below(max + 1);
        for (int i = 0; i < n; ++i)
            s += ws[below(sizeof ws)];
        return s;
    }

    std::string sign() {
        const int k = below(20);
        return k < 12 ? "" : k < 17 ? "-" : k < 19 ? "+" : pick({"--", "+-", "-+", "++"});
    }

    std::string exponent() {
        std::string s = chance(70) ? "e" : "E";
        const int k = below(10);
        if (k < 3)
            s += "-";
        else if (k < 5)
            s += "+";
        const int kind = below(10);
        if (kind < 5)
            s += std::to_string(below(23)); // around the exact-power limit
        else if (kind < 7)
            s += std::to_string(290 + below(50)); // overflow/underflow edge
        else if (kind < 8)
            s += digits(below(6)); // also none: dangling
        else if (kind < 9)
            s += "000" + std::to_string(below(40));
        else
            s += "99999999999999999999";
        return s;
    }

    std::string decimal() {
        std::string s = sign();
        const int shape = below(10);
        int whole = shape < 6 ? below(10) : shape < 8 ? below(20) : below(40);
        if (chance(10)) s += std::string(static_cast<std::size_t>(below(4)), '0');
        s += digits(whole);
        if (chance(60)) {
            s += '.';
            s += digits(shape < 7 ? below(10) : below(30));
        }
        if (chance(30)) s += exponent();
        return s;
    }

    // A double written in one of printf's notations, often with more digits
    // than needed, and sometimes a value halfway between two doubles.
    std::string printed_double() {
        double d;
        if (chance(50)) {
            std::uint64_t b = bits();
            std::memcpy(&d, &b, sizeof d);
            if (!std::isfinite(d)) d = 1.0;
        } else {
            d = std::ldexp(static_cast<double>(bits() >> 11), below(200) - 150);
        }
        char buf[128];
        switch (below(6)) {
        case 0:
            std::snprintf(buf, sizeof buf, "%.17g", d);
            break;
        case 1:
            std::snprintf(buf, sizeof buf, "%.*g", 1 + below(16), d);
            break;
        case 2:
            std::snprintf(buf, sizeof buf, "%.*e", 17 + below(25), d);
            break;
        case 3: {
            // The exact midpoint to the next double, written with enough
            // digits to land on it or next to it.
            const long double mid =
                (static_cast<long double>(d) +
                 static_cast<long double>(std::nextafter(d, std::numeric_limits<double>::max()))) /
                2;
            std::snprintf(buf, sizeof buf, "%.*Le", 16 + below(40), mid);
            break;
        }
        case 4:
            std::snprintf(buf, sizeof buf, "%a", d);
            break;
        default:
            std::snprintf(buf, sizeof buf, "%.*f", below(12), d);
            break;
        }
        return buf;
    }

    std::string hex() {
        std::string s = sign();
        s += chance(50) ? "0x" : "0X";
        static const char hd[] = "0123456789abcdefABCDEF";
        const int n = below(14);
        for (int i = 0; i < n; ++i)
            s += hd[below(22)];
        if (chance(40)) {
            s += '.';
            for (int i = below(6); i > 0; --i)
                s += hd[below(22)];
        }
        if (chance(40)) {
            s += chance(50) ? "p" : "P";
            if (chance(40)) s += chance(50) ? "-" : "+";
            s += digits(below(4));
        }
        return s;
    }

    std::string special() {
        static const char* const words[] = {"nan",       "inf",   "infinity", "infinit", "in",
                                            "na",        "nan()", "nan(12)",  "nan(abc", "i",
                                            "infinityy", "n",     "infin",    "nanx",    "infx"};
        std::string w = pick(words);
        for (char& c : w) {
            if (chance(40)) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return sign() + w;
    }

    std::string truncated() {
        static const char* const forms[] = {
            "1e",   "1e+", "1E-",  "0x",  "-",   ".",    "-.",   "+",    "e5",   "0x.", "0xp1",
            "00x1", ".e1", "+.e5", "5.e", "-0x", "0x1p", "1.e+", "1ee5", "1e5e", "0.",  "-.5"};
        return pick(forms);
    }

    // Times and measured values as data files hold them.
    std::string realistic() {
        char buf[64];
        if (chance(50)) {
            std::snprintf(buf, sizeof buf, "%.2f", 1700000000.0 + below(100000000) * 0.01);
        } else {
            const int sig = 6 + below(3);
            const double v =
                (static_cast<double>(bits() % 2000001) - 1000000.0) * std::pow(10.0, below(10) - 7);
            std::snprintf(buf, sizeof buf, "%.*g", sig, v);
        }
        return buf;
    }

    std::string junk() {
        static const char* const after[] = {
            "abc", "e",  "E",    ".",    "x",        "-", "+",  ",",   "!",   ";", ":",  ".5",
            "e5",  "p3", "\xa0", "\x85", "\xc2\xa0", "(", "0x", "nan", "inf", "'", "_1", "/"};
        return pick(after);
    }

    std::string token() {
        const int k = below(100);
        std::string t;
        if (k < 40)
            t = decimal();
        else if (k < 55)
            t = printed_double();
        else if (k < 63)
            t = hex();
        else if (k < 71)
            t = special();
        else if (k < 80)
            t = truncated();
        else
            t = realistic();
        if (chance(12)) t += junk();
        return t;
    }

    // A line of one to five tokens; mostly well-formed lines of the three
    // data layouts, some with junk.
    std::string line() {
        if (chance(25)) {
            const int n = 1 + below(4);
            std::string s = space(1);
            for (int i = 0; i < n; ++i) {
                if (i > 0) s += chance(90) ? (chance(80) ? " " : "\t") : space(3);
                s += realistic();
            }
            if (chance(70)) s += chance(50) ? "\n" : "\r\n";
            return s;
        }
        const int n = 1 + below(5);
        std::string s = space(3);
        for (int i = 0; i < n; ++i) {
            if (i > 0) s += chance(25) ? "" : space(3);
            s += token();
        }
        s += space(2);
        return s;
    }

    // A number of the plain decimal form: up to 20 digits in all (leading
    // zeros among them), a point anywhere or none, an exponent sometimes.
    std::string plain_decimal() {
        std::string s = pick({"", "", "", "-", "+"});
        const int whole = below(chance(70) ? 11 : 21);
        std::string d = chance(15) ? std::string(static_cast<std::size_t>(below(4)), '0') : "";
        d += digits(whole);
        if (chance(70)) d += "." + digits(below(chance(70) ? 9 : 21 - whole));
        if (d.find_first_of("0123456789") == std::string::npos) d += digit();
        s += d;
        if (chance(15)) {
            s += pick({"e", "E"});
            s += pick({"", "-", "+"});
            s += std::to_string(below(chance(80) ? 25 : 330));
        }
        return s;
    }

    // A data line of the form the row scan is for: `count` plain numbers
    // separated by blanks, the first a realistic time or any number,
    // blanks before and after them sometimes, then a line feed, after a
    // carriage return sometimes.
    std::string plain_row(int count) {
        std::string s = chance(5) ? space_or_tab(3) : "";
        for (int i = 0; i < count; ++i) {
            if (i > 0) s += chance(85) ? pick({" ", "\t"}) : pick({" ", "\t"}) + space_or_tab(3);
            s += i == 0 && chance(60) ? realistic() : chance(40) ? realistic() : plain_decimal();
        }
        if (chance(10)) s += space_or_tab(3);
        return s + (chance(20) ? "\r\n" : "\n");
    }

  private:
    std::string space_or_tab(int max) {
        std::string s;
        for (int n = below(max + 1); n > 0; --n)
            s += chance(50) ? ' ' : '\t';
        return s;
    }

    std::mt19937_64 rng_;
};

int c_library_scan(const char* s, double* v, int count) {
    switch (count) {
    case 1:
        return std::sscanf(s, "%lf", &v[0]);
    case 2:
        return std::sscanf(s, "%lf %lf", &v[0], &v[1]);
    case 3:
        return std::sscanf(s, "%lf %lf %lf", &v[0], &v[1], &v[2]);
    default:
        return std::sscanf(s, "%lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3]);
    }
}

} // namespace

TEST(NumberDifferential, ScanningMatchesSscanf) {
    const long lines = diff_count(60000);
    Gen gen(static_cast<std::uint64_t>(env_long("VELKOR_DIFF_SEED", 20261208)));
    long mismatches = 0, fast_counts[6] = {};
    for (long n = 0; n < lines; ++n) {
        const std::string line = gen.line();
        for (int count = 1; count <= 4; ++count) {
            // Untouched slots must stay untouched, so both start alike.
            double a[4], b[4];
            for (int i = 0; i < 4; ++i) {
                const std::uint64_t fill = 0x7ff4dead00000000u + static_cast<unsigned>(n + i);
                std::memcpy(&a[i], &fill, sizeof fill);
                std::memcpy(&b[i], &fill, sizeof fill);
            }
            const int ra = scan_numbers(line.c_str(), a, count);
            const int rb = c_library_scan(line.c_str(), b, count);
            ++fast_counts[ra + 1];
            if (ra != rb || std::memcmp(a, b, sizeof a) != 0) {
                if (++mismatches <= 20) {
                    ADD_FAILURE() << "\"" << rowscan::shown(line.data(), line.size()) << "\" with "
                                  << count << " numbers: scan_numbers " << ra << " [" << a[0] << " "
                                  << a[1] << " " << a[2] << " " << a[3] << "], sscanf " << rb
                                  << " [" << b[0] << " " << b[1] << " " << b[2] << " " << b[3]
                                  << "]";
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
    // The generator must reach every outcome, or it tests less than it claims.
    for (int r = -1; r <= 4; ++r)
        EXPECT_GT(fast_counts[r + 1], 0) << "no line scanned to " << r;
    std::printf("[ scanned  ] %ld lines x 4 formats, %ld mismatches\n", lines, mismatches);
}

TEST(NumberDifferential, RowScanMatchesTheUsualWay) {
    // Blocks of lines of the scan's form, which it must take whenever the
    // usual way reads them whole, and of the scanning's general lines
    // (other number forms, junk, white space of every kind), which it may
    // leave but must never read otherwise.
    const long lines = diff_count(60000);
    Gen gen(static_cast<std::uint64_t>(env_long("VELKOR_DIFF_SEED", 20261208)) ^ 0x9e3779b9);
    rowscan::Tally plain, general;
    for (long n = 0; n < lines; n += 64) {
        const int count = 1 + gen.below(4);
        const bool time = gen.chance(50);
        std::string rows, others;
        for (int i = 0; i < 64; ++i) {
            rows += gen.plain_row(count);
            others += gen.line() + "\n";
        }
        const rowscan::Tally p = rowscan::compare(rows, count, time, true);
        const rowscan::Tally g = rowscan::compare(others, count, time);
        for (auto [sum, t] : {std::pair{&plain, p}, std::pair{&general, g}}) {
            sum->lines += t.lines;
            sum->taken += t.taken;
            sum->mismatches += t.mismatches;
        }
    }
    EXPECT_EQ(plain.mismatches + general.mismatches, 0);
    // Most lines of the scan's form are taken (the rest have a time below
    // 10000 or a value out of range); some of the general ones are too.
    EXPECT_GT(plain.taken, plain.lines * 7 / 10);
    EXPECT_GT(general.taken, 0);
    std::printf("[ row scan ] %ld plain lines, %ld taken; %ld general lines, %ld taken\n",
                plain.lines, plain.taken, general.lines, general.taken);
}

namespace {

// Values aimed at the formatters' edges.
double format_value(Gen& g) {
    const int k = g.below(100);
    const double sign = g.chance(50) ? -1.0 : 1.0;
    std::uint64_t b = g.bits();
    double d;
    if (k < 30) { // any bit pattern: normal, subnormal, infinite, NaN with payloads
        std::memcpy(&d, &b, sizeof d);
        return d;
    }
    if (k < 35) { // subnormals and the smallest normals
        b &= (std::uint64_t{1} << 53) - 1;
        std::memcpy(&d, &b, sizeof d);
        return sign * d;
    }
    if (k < 40) {
        static const double specials[] = {0.0,
                                          std::numeric_limits<double>::infinity(),
                                          std::numeric_limits<double>::quiet_NaN(),
                                          std::numeric_limits<double>::max(),
                                          std::numeric_limits<double>::min(),
                                          std::numeric_limits<double>::denorm_min(),
                                          std::numeric_limits<double>::epsilon()};
        return sign * specials[g.below(7)];
    }
    if (k < 50) { // integers, up to and beyond 2^53
        return sign * static_cast<double>(b >> g.below(64));
    }
    if (k < 62) { // a few ulps around a power of ten
        d = std::pow(10.0, g.below(630) - 320);
        for (int steps = g.below(7) - 3; steps != 0; steps += steps < 0 ? 1 : -1) {
            d = std::nextafter(d, steps > 0 ? HUGE_VAL : 0.0);
        }
        return sign * d;
    }
    if (k < 70) { // around the %g switch points 1e-5 and 1e14, rounded or not
        d = g.chance(50) ? 9.99999999999995e-5 : 99999999999999.5;
        if (g.chance(50)) d *= 10;
        for (int steps = g.below(9) - 4; steps != 0; steps += steps < 0 ? 1 : -1) {
            d = std::nextafter(d, steps > 0 ? HUGE_VAL : 0.0);
        }
        return sign * d;
    }
    if (k < 80) { // exact ties at the 15th significant digit: an integer part
                  // and a fraction j binary places long
        const int j = g.below(6);
        const int whole_digits = 15 - j;
        double whole = 1 + g.below(9);
        for (int i = 1; i < whole_digits; ++i)
            whole = whole * 10 + g.below(10);
        if (j == 0) whole = whole - std::fmod(whole, 10) + 5;
        const double frac = j == 0 ? 0 : (2 * g.below(1 << (j - 1)) + 1) / std::ldexp(1.0, j);
        return sign * (whole + frac);
    }
    if (k < 88) { // %.0f ties: n + 0.5, and values next to them
        d = static_cast<double>(b >> (12 + g.below(52))) + 0.5;
        if (g.chance(30)) d = std::nextafter(d, g.chance(50) ? HUGE_VAL : 0.0);
        return sign * d;
    }
    if (k < 94) { // next to a 14-digit half (a 15-digit decimal ending in 5),
                  // sparse digits, or any magnitude, read as the nearest double
        char buf[64];
        if (g.chance(50)) {
            std::snprintf(buf, sizeof buf, "%d.%s5e%d", 1 + g.below(9), g.digits(13).c_str(),
                          g.below(25) - 10);
        } else if (g.chance(50)) { // mostly zero digits: only trailing zeroes may go
            std::string sparse = g.digits(13 + g.below(3));
            for (char& c : sparse) {
                if (g.chance(85)) c = '0';
            }
            std::snprintf(buf, sizeof buf, "%d.%se%d", 1 + g.below(9), sparse.c_str(),
                          g.below(25) - 10);
        } else {
            std::snprintf(buf, sizeof buf, "%.17ge%d",
                          static_cast<double>(b >> 11) / 9007199254740992.0, g.below(25) - 9);
        }
        return sign * std::strtod(buf, nullptr);
    }
    if (k < 97) { // 1 to 16 significant digits at every decimal exponent of
                  // the common range and next to it: every text layout
        char buf[64];
        std::snprintf(buf, sizeof buf, "%d.%se%d", 1 + g.below(9), g.digits(g.below(16)).c_str(),
                      g.below(27) - 10);
        return sign * std::strtod(buf, nullptr);
    }
    // Realistic data: times and values with 6 to 8 significant digits.
    if (g.chance(50)) return 1700000000.0 + static_cast<double>(b % 100000000) * 0.01;
    return sign * static_cast<double>(b % 100000000) * std::pow(10.0, g.below(14) - 9);
}

} // namespace

TEST(NumberDifferential, FormattingMatchesSnprintf) {
    const long values = diff_count(100000);
    Gen gen(static_cast<std::uint64_t>(env_long("VELKOR_DIFF_SEED", 20261208)) ^ 0x5bd1e995);
    long mismatches = 0;
    char ours[FORMAT_MAX], theirs[FORMAT_MAX + 1];
    for (long n = 0; n < values; ++n) {
        const double v = format_value(gen);
        for (int f = 0; f < 2; ++f) {
            const char* end = f == 0 ? format_g14(ours, v) : format_f0(ours, v);
            const int len = std::snprintf(theirs, sizeof theirs, f == 0 ? "%.14g" : "%.0f", v);
            const std::string a(static_cast<const char*>(ours), end);
            if (a != std::string(theirs, static_cast<std::size_t>(len))) {
                if (++mismatches <= 20) {
                    std::uint64_t bits;
                    std::memcpy(&bits, &v, sizeof bits);
                    ADD_FAILURE() << (f == 0 ? "%.14g" : "%.0f") << " of bits " << std::hex << bits
                                  << ": ours \"" << a << "\", printf \"" << theirs << "\"";
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
    std::printf("[ formatted] %ld values x 2 formats, %ld mismatches\n", values, mismatches);
}
