// ISO 8601 input times: see isotime.h for the rules.
//
// Calendar arithmetic is done in integers (days since 1970-01-01 in the
// proleptic Gregorian calendar, <avq/avq.h>), without the C library's time
// functions, so that every 64-bit time is exact and nothing depends on the
// time zone.
#include "isotime.h"

#include <cstdint>

#include <avq/avq.h>

namespace {

// Whether `p` begins like a calendar date: four digits, "-", two digits,
// "-", two digits.
bool starts_like_date(const char* p) {
    return is_digit(p[0]) && is_digit(p[1]) && is_digit(p[2]) && is_digit(p[3]) && p[4] == '-' &&
           is_digit(p[5]) && is_digit(p[6]) && p[7] == '-' && is_digit(p[8]) && is_digit(p[9]);
}

// Whether `p` begins like an ordinal date with its time: four digits, "-",
// three digits, then "T", "t", or a space and an hour's two digits and
// colon (so that "1000-500 3" stays the numbers 1000, -500 and 3).
bool starts_like_ordinal(const char* p) {
    if (!(is_digit(p[0]) && is_digit(p[1]) && is_digit(p[2]) && is_digit(p[3]) && p[4] == '-' &&
          is_digit(p[5]) && is_digit(p[6]) && is_digit(p[7]))) {
        return false;
    }
    const char* q = p + 8;
    return *q == 'T' || *q == 't' ||
           (q[0] == ' ' && is_digit(q[1]) && is_digit(q[2]) && q[3] == ':');
}

// The number of digits at `p`, at most `most`.
int digits_at(const char* p, int most) {
    int n = 0;
    while (n < most && is_digit(p[n]))
        ++n;
    return n;
}

// The length of a date of the spreadsheet forms at `p`, YYYY/MM/DD,
// DD.MM.YYYY or DD/MM/YYYY; 0 for none.
std::size_t other_date_length(const char* p) {
    if (digits_at(p, 4) == 4 && p[4] == '/' && digits_at(p + 5, 2) == 2 && p[7] == '/' &&
        digits_at(p + 8, 2) == 2) {
        return 10;
    }
    const int d = digits_at(p, 2);
    if (d == 0 || (p[d] != '.' && p[d] != '/')) return 0;
    const char sep = p[d];
    const char* q = p + d + 1;
    const int m = digits_at(q, 2);
    if (m == 0 || q[m] != sep || digits_at(q + m + 1, 4) != 4) return 0;
    return static_cast<std::size_t>(d + 1 + m + 1 + 4);
}

// The number of `n` digits at `p`; false unless they are all digits.
bool read_digits(const char* p, int n, unsigned& value) {
    value = 0;
    for (int i = 0; i < n; ++i) {
        if (!is_digit(p[i])) return false;
        value = value * 10 + static_cast<unsigned>(p[i] - '0');
    }
    return true;
}

bool ends_word(char c) {
    return c == '\0' || is_space(c);
}

// The fields of a date and time as written.
struct IsoFields {
    unsigned year, month, day;
    bool ordinal; // `day` is the day of the year, `month` unused
    unsigned hour, minute, second;
    const char* fraction; // the digits after the point, or nullptr
    int fraction_digits;
    int offset_minutes; // the offset from UTC: local time minus UTC
    const char* end;
};

// Reads an offset from UTC at `q` ("+hh:mm", "-hh:mm", "+hhmm", "+hh") into
// f.offset_minutes; returns its end, or nullptr.
const char* read_offset(const char* q, IsoFields& f) {
    const int sign = *q == '-' ? -1 : 1;
    unsigned hours = 0, minutes = 0;
    if (!read_digits(q + 1, 2, hours)) return nullptr;
    q += 3;
    if (*q == ':') {
        if (!read_digits(q + 1, 2, minutes)) return nullptr;
        q += 3;
    } else if (read_digits(q, 2, minutes)) {
        q += 2;
    }
    if (hours > 23 || minutes > 59) return nullptr;
    f.offset_minutes = sign * static_cast<int>(hours * 60 + minutes);
    return q;
}

// Splits "YYYY-MM-DDThh:mm:ss[.f...][Z]" (or an ordinal date, a "t" or a
// space for the "T", a "z" or an offset for the "Z") into its fields;
// nullptr when the text has not that shape.
const char* split_fields(const char* p, IsoFields& f) {
    const char* q = nullptr;
    f.ordinal = false;
    if (starts_like_date(p)) {
        read_digits(p + 5, 2, f.month);
        read_digits(p + 8, 2, f.day);
        q = p + 10;
    } else if (starts_like_ordinal(p)) {
        f.ordinal = true;
        f.month = 1;
        read_digits(p + 5, 3, f.day);
        q = p + 8;
    } else {
        return nullptr;
    }
    read_digits(p, 4, f.year);
    if (*q != 'T' && *q != 't' && *q != ' ') return nullptr;
    ++q;
    if (!read_digits(q, 2, f.hour) || q[2] != ':' || !read_digits(q + 3, 2, f.minute) ||
        q[5] != ':' || !read_digits(q + 6, 2, f.second)) {
        return nullptr;
    }
    q += 8;
    f.fraction = nullptr;
    f.fraction_digits = 0;
    if (*q == '.') {
        f.fraction = ++q;
        while (is_digit(*q))
            ++q;
        f.fraction_digits = static_cast<int>(q - f.fraction);
        if (f.fraction_digits == 0) return nullptr;
    }
    f.offset_minutes = 0;
    if (*q == 'Z' || *q == 'z') {
        ++q;
    } else if (*q == '+' || *q == '-') {
        q = read_offset(q, f);
        if (q == nullptr) return nullptr;
    }
    if (!ends_word(*q)) return nullptr;
    return f.end = q;
}

bool valid_fields(const IsoFields& f) {
    if (f.ordinal) {
        if (f.day < 1 || f.day > (avq::leap_year(f.year) ? 366u : 365u)) return false;
    } else if (f.month < 1 || f.month > 12 || f.day < 1 ||
               f.day > avq::days_in_month(f.year, f.month)) {
        return false;
    }
    if (f.hour > 23 || f.minute > 59) return false;
    if (f.second <= 59) return true;
    // A leap second stands at the end of a UTC day only.
    const int utc_minute =
        (static_cast<int>(f.hour * 60 + f.minute) - f.offset_minutes + 2 * 1440) % 1440;
    return f.second == 60 && utc_minute == 1439;
}

// Days from 1970-01-01 to the date of `f`.
std::int64_t days_of(const IsoFields& f) {
    if (f.ordinal) return avq::days_from_civil(f.year, 1, 1) + (f.day - 1);
    return avq::days_from_civil(f.year, f.month, f.day);
}

// Appends to `text` the ten's complement of the fraction digits: the digits
// of 1 - 0.f, as many as f has (f is not all zeroes).
void append_complement(std::string& text, const char* f, int n) {
    int last = n - 1;
    while (f[last] == '0')
        --last;
    for (int i = 0; i < n; ++i) {
        const int d = f[i] - '0';
        const int c = i < last ? 9 - d : i == last ? 10 - d : 0;
        text.push_back(static_cast<char>('0' + c));
    }
}

} // namespace

const char* iso_epoch_text(const char* p, std::string& text) {
    IsoFields f{};
    if (split_fields(p, f) == nullptr || !valid_fields(f)) return nullptr;
    const std::int64_t whole = days_of(f) * 86400 + std::int64_t{f.hour} * 3600 +
                               std::int64_t{f.minute} * 60 + std::int64_t{f.second} -
                               std::int64_t{f.offset_minutes} * 60;
    bool any_fraction = false;
    for (int i = 0; i < f.fraction_digits; ++i)
        any_fraction = any_fraction || f.fraction[i] != '0';

    // Before the epoch the value is -(|whole| - 0.f): the digits of
    // |whole| - 1 and of the complement 1 - 0.f.
    text.clear();
    if (whole < 0 && any_fraction) {
        text.push_back('-');
        text += std::to_string(-whole - 1);
        text.push_back('.');
        append_complement(text, f.fraction, f.fraction_digits);
    } else {
        text = std::to_string(whole);
        if (f.fraction != nullptr) {
            text.push_back('.');
            text.append(f.fraction, static_cast<std::size_t>(f.fraction_digits));
        }
    }
    return f.end;
}

bool looks_like_date(const char* p) {
    return starts_like_date(p) || starts_like_ordinal(p) || other_date_length(p) != 0;
}

std::size_t time_field_length(const char* p) {
    std::size_t n = 0;
    while (!ends_word(p[n]))
        ++n;
    const bool date_alone = (n == 10 && starts_like_date(p)) ||
                            (n == 8 && starts_like_ordinal(p)) ||
                            (n != 0 && n == other_date_length(p));
    if (date_alone && p[n] == ' ' && is_digit(p[n + 1])) {
        ++n;
        while (!ends_word(p[n]))
            ++n;
    }
    return n;
}

int rescan_time_line(const char* line, double* out, int count, int n, NumberEnds& ends,
                     TimeForm& form, std::string& text) {
    const char* p = line;
    while (is_space(*p))
        ++p;
    if (!looks_like_date(p)) {
        form = TimeForm::number;
        return n;
    }
    const char* end = iso_epoch_text(p, text);
    if (end == nullptr || scan_numbers(text.c_str(), out, 1) != 1) {
        form = TimeForm::not_a_time;
        return 0;
    }
    form = TimeForm::iso;
    ends.end = end;
    ends.glued = nullptr;
    if (count == 1) return 1;
    // The numbers after the time, as the remaining conversions of one
    // sscanf call would read them.
    const int rest = scan_numbers(end, out + 1, count - 1, ends);
    return 1 + (rest > 0 ? rest : 0);
}
