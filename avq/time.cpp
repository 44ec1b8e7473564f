// Block times, the calendar and UTC time texts, and the header comment's
// marks: see <avq/avq.h>.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include <avq/avq.h>

namespace avq {

HeaderMark header_mark(std::string_view header) {
    if (header.substr(0, 2) == UNIX_MARK) return HeaderMark::unix_seconds;
    if (header.substr(0, 2) == MINUTE_SECOND_MARK) return HeaderMark::minute_second;
    return HeaderMark::none;
}

std::string strip_line_ends(std::string_view text) {
    std::string s;
    s.reserve(text.size());
    for (char c : text) {
        if (c != '\n' && c != '\r') s.push_back(c);
    }
    return s;
}

double stored_block_time(double seconds) {
    const double up = std::ceil(seconds);
    // Not a number, and infinities, fail the comparison and stay.
    return up - seconds < BLOCK_TIME_ROUND_UP ? up : seconds;
}

AsciiBlockTime ascii_block_time(double seconds, bool unix_seconds, bool minute_of_day) {
    if (unix_seconds) return {0.0, seconds};
    double minute = std::floor(seconds / 60.0);
    if (minute_of_day) minute = std::fmod(minute, 1440.0);
    return {minute, std::fmod(seconds, 60.0)};
}

bool fits_time_t(double seconds) {
    // 2^63: every double below it in magnitude converts to a 64-bit time_t.
    // Not-a-number fails both comparisons.
    constexpr double limit = 9223372036854775808.0;
    return seconds > -limit && seconds < limit;
}

bool time_breaks_down(double seconds) {
    if (!fits_time_t(seconds)) return false;
    const auto whole = static_cast<std::time_t>(seconds);
    std::tm t{};
    if (gmtime_r(&whole, &t) == nullptr) return false;
    return t.tm_year <= 2147483647 - 1900;
}

std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);                // 0..399
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1; // 0..365
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;           // 0..146096
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool leap_year(std::int64_t y) {
    return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

unsigned days_in_month(std::int64_t y, unsigned m) {
    static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap_year(y) ? 29 : days[m - 1];
}

std::string utc_text_hundredths(double seconds) {
    // Hundredths of a second must fit in 64 bits, with room to spare.
    char buf[64];
    if (!(std::fabs(seconds) < 9e15)) {
        std::snprintf(buf, sizeof buf, "%g", seconds);
        return buf;
    }
    // The fraction is split off exactly before it is rounded, so that the
    // rounding does not depend on the size of the whole seconds.
    const double floor = std::floor(seconds);
    auto whole = static_cast<std::int64_t>(floor);
    std::int64_t cs = std::llround((seconds - floor) * 100.0);
    if (cs == 100) {
        cs = 0;
        ++whole;
    }
    std::snprintf(buf, sizeof buf, ".%02d", static_cast<int>(cs));
    // "%04Y": years before 1000 keep four digits, as in ISO 8601.
    return utc_text(whole, "%04Y-%m-%d %H:%M:%S") + buf;
}

std::string time_text(const std::tm& t, const char* format) {
    char buf[64];
    // strftime gives 0 when the text does not fit; then the text is empty.
    const std::size_t n = std::strftime(buf, sizeof buf, format, &t);
    return std::string(buf, n);
}

std::string utc_text(std::int64_t seconds, const char* format) {
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr) return "";
    return time_text(tm, format);
}

std::string iso_seconds(std::int64_t seconds) {
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr || tm.tm_year < -1900 || tm.tm_year > 9999 - 1900) return "";
    return time_text(tm, "%Y-%m-%dT%H:%M:%S");
}

WholeMicro split_micro(std::int64_t whole, double fraction) {
    long long micro = std::llround(fraction * 1e6);
    if (micro >= 1000000) {
        ++whole;
        micro -= 1000000;
    }
    return {whole, micro};
}

std::string fraction_text(long long micro) {
    if (micro <= 0) return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, ".%06lld", micro);
    std::string s = buf;
    while (s.back() == '0')
        s.pop_back();
    return s;
}

std::string iso_utc(double seconds) {
    if (!(std::fabs(seconds) < 1e13)) return ""; // beyond the year 9999, or not finite
    const auto whole = static_cast<std::int64_t>(std::floor(seconds));
    const WholeMicro t = split_micro(whole, seconds - static_cast<double>(whole));
    const std::string date_time = iso_seconds(t.seconds);
    return date_time.empty() ? "" : date_time + fraction_text(t.micro) + "Z";
}

std::string iso_time_of_day(double minute, double second) {
    if (!(minute >= 0 && minute < 1440 && second >= 0 && second < 61)) return "";
    const int m = static_cast<int>(minute);
    const int s = static_cast<int>(second);
    const long long micro = std::min(std::llround((second - s) * 1e6), 999999LL);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", m / 60, m % 60, s);
    return buf + fraction_text(micro) + "Z";
}

} // namespace avq
