// UTC times as text: the time of a row in a message, and ISO 8601 dates
// and times in the time column of the inputs.
//
// An input time may be written as an ISO 8601 UTC date and time instead of
// seconds since the epoch:
//
//   YYYY-MM-DDThh:mm:ss[.f...][Z]      or    YYYY-MM-DD hh:mm:ss[.f...][Z]
//
// (one space in place of the "T": the time then spans two words of the
// line). The date is checked against the calendar (leap years included),
// hours run 00-23, minutes 00-59, seconds 00-59; second 60 is accepted only
// at 23:59, where a leap second stands, and is the same instant as 00:00:00
// of the next day (seconds since the epoch count no leap seconds). The
// fraction has any number of digits. The time must end at a blank or at the
// end of the line: an offset such as "+01:00" is not UTC and is refused.
//
// Such a time is turned into the decimal text of its seconds since the
// epoch, the whole seconds computed exactly in integers and the fraction's
// digits appended as written, and that text is read by the number scanner:
// the value is bit for bit the one the epoch-seconds text gives.
#pragma once

#include <string>

#include "numscan.h"

// "YYYY-MM-DD hh:mm:ss.ss": `seconds` since the epoch as a UTC date and
// time, rounded to hundredths of a second. A time too far from the epoch,
// or not a number, is written as printf's "%g" writes it.
std::string utc_text(double seconds);

// Reads the ISO 8601 date and time at `p`. On success leaves the decimal
// text of its seconds since the epoch in `text` and returns the end of the
// date and time in `p`; returns nullptr when `p` holds no valid one.
const char* iso_epoch_text(const char* p, std::string& text);

// The rest of scan_time_line, for a line whose numeric reading `n` may
// hide a date.
int rescan_time_line(const char* line, double* out, int count, int n, bool& iso, std::string& text);

// A data line whose first number is a time, read as scan_numbers reads it
// (same arguments, same result), except that a line whose first word begins
// like a date must be an ISO 8601 date and time: then `iso` is set and
// out[0] holds its seconds since the epoch; an invalid one gives 0 (and
// leaves `out` unspecified). `text` is working room kept by the caller, so
// that no row allocates.
//
// Every row passes here, so the numeric reading comes first: a line that
// begins like a date reads as its four-digit year (0 to 9999) and the
// numbers after it, so only a line whose first number is below 10000 (or
// not a number at all), or that holds fewer numbers than asked for, needs
// looking at again. Times in seconds since the epoch are far above that.
inline int scan_time_line(const char* line, double* out, int count, bool& iso, std::string& text) {
    const int n = scan_numbers(line, out, count);
    if (n == count && out[0] >= 10000.0) {
        iso = false;
        return n;
    }
    return rescan_time_line(line, out, count, n, iso, text);
}
