// ISO 8601 dates and times in the time column of the inputs.
//
// An input time may be written as an ISO 8601 date and time instead of
// seconds since the epoch, in the forms that common libraries and data
// centres write:
//
//   YYYY-MM-DDThh:mm:ss[.f...][Z]      calendar date
//   YYYY-DDDThh:mm:ss[.f...][Z]        ordinal date (day of the year, 001-366)
//
// "t" may stand for the "T", and one space in its place (the time then spans
// two words of the line); "z" for the "Z"; instead of the zone letter an
// offset from UTC, "+hh:mm", "-hh:mm", "+hhmm" or "+hh" (hours 00-23,
// minutes 00-59), names the instant that the local time minus the offset
// gives in UTC. The date is checked against the calendar (leap years
// included), hours run 00-23, minutes 00-59, seconds 00-59; second 60 is
// accepted only where a leap second stands, at 23:59 UTC, and is the same
// instant as 00:00:00 of the next day (seconds since the epoch count no
// leap seconds). The fraction has any number of digits. The time must end at
// a blank or at the end of the line.
//
// Such a time is turned into the decimal text of its seconds since the
// epoch, the whole seconds (offset included) computed exactly in integers
// and the fraction's digits appended as written, and that text is read by
// the number scanner: the value is bit for bit the one the epoch-seconds
// text gives.
#pragma once

#include <cstddef>
#include <string>

#include "numscan.h"

// Reads the ISO 8601 date and time at `p`. On success leaves the decimal
// text of its seconds since the epoch in `text` and returns the end of the
// date and time in `p`; returns nullptr when `p` holds no valid one.
const char* iso_epoch_text(const char* p, std::string& text);

// Whether the text at `p` begins like a date: YYYY-MM-DD; an ordinal date
// YYYY-DDD followed by "T", "t" or a space and the two digits and colon of
// an hour; or the forms that spreadsheets write, YYYY/MM/DD, DD.MM.YYYY and
// DD/MM/YYYY (day and month of one or two digits).
bool looks_like_date(const char* p);

// The length of the time field that begins at `p` (not white space): its
// word, and the next word too when the first is a date alone followed by
// one space and a digit (a date and time written with a space).
std::size_t time_field_length(const char* p);

// How the time of a data line was read.
enum class TimeForm {
    number,     // a number, seconds (or minutes) since the epoch
    iso,        // an ISO 8601 date and time
    not_a_time, // it begins like a date but is none that velkor reads
};

// The rest of scan_time_line, for a line whose numeric reading `n` may
// hide a date.
int rescan_time_line(const char* line, double* out, int count, int n, NumberEnds& ends,
                     TimeForm& form, std::string& text);

// A data line whose first number is a time, read as scan_numbers reads it
// (same arguments, result and ends), except that a line whose first word
// begins like a date (looks_like_date) must hold an ISO 8601 date and time:
// then `form` is iso and out[0] holds its seconds since the epoch, and
// `ends` tell about the numbers after it; a date that velkor does not read
// gives not_a_time and 0 (leaving `out` and `ends` unspecified). `text` is
// working room kept by the caller, so that no row allocates.
//
// Every row passes here, so the numeric reading comes first: a line that
// begins like a date reads as a number below 10000 (its year, or its day)
// and the numbers after it, so only a line whose first number is below 10000
// (or not a number at all), or that holds fewer numbers than asked for,
// needs looking at again. Times in seconds since the epoch are far above
// that.
inline int scan_time_line(const char* line, double* out, int count, NumberEnds& ends,
                          TimeForm& form, std::string& text) {
    const int n = scan_numbers(line, out, count, ends);
    if (n == count && out[0] >= LEAST_SURE_TIME) {
        form = TimeForm::number;
        return n;
    }
    return rescan_time_line(line, out, count, n, ends, form, text);
}

// The same without the ends; `iso` tells whether the time was an ISO one.
inline int scan_time_line(const char* line, double* out, int count, bool& iso, std::string& text) {
    NumberEnds ends;
    TimeForm form = TimeForm::number;
    const int n = scan_time_line(line, out, count, ends, form, text);
    iso = form != TimeForm::number;
    return n;
}
