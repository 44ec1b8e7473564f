// Reading the numbers of one data line of an input, as the reading options
// say, and telling what else the line holds.
//
// Without options, fields are separated by blanks (any run of white space)
// and numbers are read as scan_numbers reads them (numscan.h). With a
// delimiter (',', ';' or tab), fields are separated by it, with blanks
// around it allowed, and each field holds one number. With a decimal comma,
// a line is read as the same text with every comma turned into a point, so
// a value is exactly the one its text with a point gives. The first field
// of a line that begins with a time may hold an ISO 8601 date and time
// (isotime.h); with a delimiter that field may hold a blank
// ("2026-01-02 00:00:00.05").
//
// A line is refused (DataLine::fault) when a number is followed directly by
// text that is no number ("12.5Pa", and "0,3738" without the decimal comma:
// the plain reading would keep 12.5 and 0 and drop the rest silently); with
// a delimiter, when a field holds more than its number; and when its time
// begins like a date that velkor does not read. Text after the numbers asked
// for (more columns than the layout reads) is told (DataLine::more), and the
// line is read all the same. Empty fields after the last one read (a
// spreadsheet's trailing delimiters) are no more columns.
//
// Clean lines without options take an inline path that costs, beyond the
// number scanning itself, a few comparisons per line.
#pragma once

#include <string>
#include <string_view>

#include "isotime.h"
#include "numscan.h"

// How the fields of the inputs are written (--delimiter, --decimal-comma).
struct ReadOptions {
    char delimiter = 0;         // ',', ';' or '\t'; 0: fields separated by blanks
    bool decimal_comma = false; // numbers written with a decimal comma
};

// What a data line holds besides its numbers.
struct DataLine {
    enum class Fault {
        none,
        glued,      // a number followed by other text (`field`)
        not_a_time, // the time field `field` begins like a date but is not one
    };
    int count = 0;     // the numbers read, as scan_numbers counts them
    bool iso = false;  // the time was an ISO 8601 date and time
    bool more = false; // text follows the numbers asked for
    Fault fault = Fault::none;
    std::string_view field;    // the field at fault, as written in the line
    bool comma_digits = false; // glued: the text after the number is a comma and a digit
};

// Working room of a reader, kept so that no line allocates.
struct LineWork {
    std::string text;  // the line with points for commas
    std::string field; // one field of a delimited line
    std::string iso;   // an ISO time as epoch-seconds text
};

// The slow part of read_data_line: options, times below 10000 (which may be
// dates), lines at fault.
int read_data_line_slow(const char* line, double* out, int count, bool time, const ReadOptions& o,
                        DataLine& d, LineWork& work);

// The usual line, read without options: true when it holds its `count`
// numbers in the plain decimal form and nothing but white space after them
// (so no text is glued to the last) and, with `time`, a first number that
// cannot be a date (10000 or more). False leaves the line to
// read_data_line_slow, which reads it whole and tells what else it holds.
inline bool read_plain_line(const char* line, double* out, int count, bool time) {
    return scan_plain_line(line, out, count) && (!time || out[0] >= LEAST_SURE_TIME);
}

// Reads `count` numbers (1 to 4) of the zero-terminated `line` into `out`;
// with `time` the first is a time. Returns d.count, the numbers read; the
// line is read whole when that is `count` and d.fault is none.
inline int read_data_line(const char* line, double* out, int count, bool time, const ReadOptions& o,
                          DataLine& d, LineWork& work) {
    if (o.delimiter == 0 && !o.decimal_comma && read_plain_line(line, out, count, time)) {
        d = DataLine{};
        d.count = count;
        return count;
    }
    return read_data_line_slow(line, out, count, time, o, d, work);
}

// Whether `line`, the first of its file that is neither a comment nor blank,
// is a heading: its first field is neither a number (it does not begin with
// a digit, or a sign or point and a digit, nor is it a word of infinity or
// not-a-number) nor a date (looks_like_date).
bool is_heading(const char* line, const ReadOptions& o);
