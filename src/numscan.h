// Number scanning for data lines.
//
// Data lines are read exactly as the C library's sscanf reads them with the
// formats "%lf", "%lf %lf" and "%lf %lf %lf %lf": leading white space is
// skipped, the blanks between numbers match any run of white space
// (including none, so "1.5-2" is 1.5 and -2), and decimal, exponent,
// hexadecimal, infinity and not-a-number forms are accepted. On malformed
// prefixes sscanf differs from strtod ("1e" is 1 with the "e" consumed, so
// "1e 5" is two numbers; "0x" and "infinit" are not numbers; "nan(12)" stops
// after "nan"), and stored data files rely on sscanf's reading.
#pragma once

// Reads up to `count` (1 to 4) numbers from the zero-terminated string `s`
// into `out`, as sscanf with `count` "%lf" conversions separated by blanks.
// Returns what sscanf returns: the number of numbers stored, or -1 (EOF)
// when the string ends (or holds only white space) before the first number.
// Slots after the last number stored are left untouched, as sscanf leaves
// them. Plain decimal numbers are converted without calling the C library,
// without allocation and without consulting the locale; other forms are read
// by sscanf itself.
int scan_numbers(const char* s, double* out, int count);

// White space as isspace() in the C locale: space, \t, \n, \v, \f, \r.
inline bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
