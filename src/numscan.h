// Number scanning for data lines.
//
// Data lines are read exactly as the C library's sscanf reads them with the
// formats "%lf", "%lf %lf", "%lf %lf %lf" and "%lf %lf %lf %lf": leading
// white space is skipped, the blanks between numbers match any run of white
// space (including none, so "1.5-2" is 1.5 and -2), and decimal, exponent,
// hexadecimal, infinity and not-a-number forms are accepted. On malformed
// prefixes sscanf differs from strtod ("1e" is 1 with the "e" consumed, so
// "1e 5" is two numbers; "0x" and "infinit" are not numbers; "nan(12)" stops
// after "nan"), and stored data files rely on sscanf's reading.
//
// What may follow a number. sscanf stops a number at the first character
// that cannot continue it and leaves the rest alone, so "0,3738" reads as 0
// and "12.5Pa" as 12.5, silently. The second form of scan_numbers reads the
// same values and also tells where the numbers end and whether a number is
// followed directly (without white space between) by text that is no number
// as the reading would take it next. The rule that the readers of data
// lines apply (data_line.h): a number must be followed by white space, the
// end of the line, or the start of the next number ("1.5-2", "1e5.25",
// "1inf" stay as they are read); anything else is text glued to the number
// and the line is refused.
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

// Where the numbers of a line end (the second form of scan_numbers).
struct NumberEnds {
    // The character after the last number stored (as far as the reading
    // consumed it: "1e" is consumed whole); `s` itself when none was.
    const char* end = nullptr;
    // When a number stored is followed directly (without white space
    // between) by text that is not a number as the reading takes it (the
    // next conversion fails there, or, after the count-th number, would
    // fail there): the start of the word (white space to white space) that
    // holds them, such as "12.5Pa" or "0,3738"; null otherwise. The number
    // glued to is the one that ends at `end`. "1.5-2" and "1.5 x" leave it
    // null (the latter reads one number of two, a matter of the count).
    const char* glued = nullptr;
};

// The same reading, result and values as scan_numbers(s, out, count), and
// in `ends` where it ended. On a line whose numbers are each followed by
// white space or the end of the string, checking costs one comparison or
// two per line, not per number.
int scan_numbers(const char* s, double* out, int count, NumberEnds& ends);

// The usual data line at a glance: true when `s` holds `count` (1 to 4)
// numbers of the plain decimal form (an optional sign, digits with at most
// one point, an optional exponent with digits) and nothing but white space
// after the last; they are stored in `out` exactly as scan_numbers stores
// them. False for any other line (fewer numbers, text after them or glued
// to one, hexadecimal, infinity and not-a-number forms, values out of
// range), which the caller reads again with scan_numbers; `out` may then
// hold some of its numbers. No call of the C library: this is the way of
// every row of a clean file.
bool scan_plain_line(const char* s, double* out, int count);

// White space as isspace() in the C locale: space, \t, \n, \v, \f, \r.
inline bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Whether the string at `p` holds nothing but white space.
inline bool rest_is_blank(const char* p) {
    if (p[0] == '\n' && p[1] == '\0') return true; // the usual end of a line
    while (is_space(*p))
        ++p;
    return *p == '\0';
}
