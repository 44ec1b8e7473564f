// Reading the numbers of a data line: see data_line.h.
#include "data_line.h"

#include <cstring>

namespace {

// The end of the word at `p`: the first white space or the end.
const char* word_end(const char* p) {
    while (*p != '\0' && !is_space(*p))
        ++p;
    return p;
}

// `text` is `line` with points for commas, or `line` itself: the same
// place in `line` of a place in `text`.
const char* in_line(const char* line, const char* text, const char* at) {
    return line + (at - text);
}

// A time field that begins like a date but is no time velkor reads.
int not_a_time(DataLine& d, const char* begin, std::size_t length) {
    d.count = 0;
    d.fault = DataLine::Fault::not_a_time;
    d.field = {begin, length};
    return 0;
}

// Numbers separated by blanks.
int read_blank_separated(const char* line, const char* text, double* out, int count, bool time,
                         DataLine& d, LineWork& work) {
    NumberEnds ends;
    int n = 0;
    if (time) {
        TimeForm form = TimeForm::number;
        n = scan_time_line(text, out, count, ends, form, work.iso);
        if (form == TimeForm::not_a_time) {
            const char* p = text;
            while (is_space(*p))
                ++p;
            return not_a_time(d, in_line(line, text, p), time_field_length(p));
        }
        d.iso = form == TimeForm::iso;
    } else {
        n = scan_numbers(text, out, count, ends);
    }
    d.count = n;
    if (ends.glued != nullptr) {
        const char* begin = in_line(line, text, ends.glued);
        const char* after = in_line(line, text, ends.end);
        d.fault = DataLine::Fault::glued;
        d.field = {begin, static_cast<std::size_t>(word_end(begin) - begin)};
        d.comma_digits = after[0] == ',' && is_digit(after[1]);
        return n;
    }
    d.more = n == count && !rest_is_blank(ends.end);
    return n;
}

// Numbers in fields separated by `delimiter`, one number to a field.
int read_delimited(const char* line, const char* text, double* out, int count, bool time,
                   char delimiter, DataLine& d, LineWork& work) {
    const char* p = text;
    for (int i = 0; i < count; ++i) {
        const char* end = p;
        while (*end != '\0' && *end != delimiter)
            ++end;
        const char* b = p;
        while (b < end && is_space(*b))
            ++b;
        const char* e = end;
        while (e > b && is_space(e[-1]))
            --e;
        // An empty field, or none left: fewer numbers than asked for.
        if (b == e) return d.count = i;
        const auto length = static_cast<std::size_t>(e - b);
        work.field.assign(b, length);
        const char* f = work.field.c_str();
        if (i == 0 && time && looks_like_date(f)) {
            const char* iso_end = iso_epoch_text(f, work.iso);
            if (iso_end == nullptr || *iso_end != '\0' ||
                scan_numbers(work.iso.c_str(), out, 1) != 1) {
                return not_a_time(d, in_line(line, text, b), length);
            }
            d.iso = true;
        } else {
            NumberEnds ends;
            if (scan_numbers(f, out + i, 1, ends) != 1) return d.count = i;
            if (*ends.end != '\0') {
                const char* after = in_line(line, text, b) + (ends.end - f);
                d.count = i + 1;
                d.fault = DataLine::Fault::glued;
                d.field = {in_line(line, text, b), length};
                d.comma_digits = after[0] == ',' && is_digit(after[1]);
                return d.count;
            }
        }
        if (*end == delimiter) {
            p = end + 1;
        } else if (i + 1 < count) {
            return d.count = i + 1; // the line ends before the fields asked for
        } else {
            p = end;
        }
    }
    d.count = count;
    // More columns: anything after the fields read but blanks and empty
    // fields.
    for (; *p != '\0'; ++p) {
        if (!is_space(*p) && *p != delimiter) {
            d.more = true;
            break;
        }
    }
    return count;
}

// The first field of `line`, from its first character that is not white
// space: up to the delimiter or, without one, the first white space.
std::string_view first_field(const char* line, char delimiter) {
    while (is_space(*line))
        ++line;
    const char* end = line;
    while (*end != '\0' && (delimiter != 0 ? *end != delimiter : !is_space(*end)))
        ++end;
    while (end > line && is_space(end[-1]))
        --end;
    return {line, static_cast<std::size_t>(end - line)};
}

bool equal_letters(std::string_view a, const char* word) {
    const std::size_t n = std::strlen(word);
    if (a.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if ((a[i] | 0x20) != word[i]) return false;
    }
    return true;
}

// Whether `field` begins like a number: a digit, or a sign or a point
// (a comma with the decimal comma) and a digit; or whether it is a word
// of infinity or not-a-number, with or without a sign.
bool begins_like_number(std::string_view field, bool decimal_comma) {
    std::size_t i = 0;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) ++i;
    if (i < field.size() && (field[i] == '.' || (decimal_comma && field[i] == ','))) ++i;
    if (i < field.size() && is_digit(field[i])) return true;
    std::size_t letters = i;
    while (letters < field.size() && (field[letters] | 0x20) >= 'a' &&
           (field[letters] | 0x20) <= 'z')
        ++letters;
    const std::string_view word = field.substr(i, letters - i);
    const bool nan = equal_letters(word, "nan");
    return (nan && (letters == field.size() || field[letters] == '(')) ||
           (letters == field.size() &&
            (equal_letters(word, "inf") || equal_letters(word, "infinity")));
}

} // namespace

int read_data_line_slow(const char* line, double* out, int count, bool time, const ReadOptions& o,
                        DataLine& d, LineWork& work) {
    d = DataLine{};
    const char* text = line;
    if (o.decimal_comma) {
        work.text.assign(line);
        for (char& c : work.text) {
            if (c == ',') c = '.';
        }
        text = work.text.c_str();
    }
    if (o.delimiter != 0) return read_delimited(line, text, out, count, time, o.delimiter, d, work);
    return read_blank_separated(line, text, out, count, time, d, work);
}

bool is_heading(const char* line, const ReadOptions& o) {
    const std::string_view field = first_field(line, o.delimiter);
    if (begins_like_number(field, o.decimal_comma)) return false;
    const std::string f(field);
    return !looks_like_date(f.c_str());
}
