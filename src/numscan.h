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

// The least time (the first number of a line that begins with one) that is
// surely seconds since the epoch: one below it may be a date read as a
// number (its year or its day, "2026-01-02" read as 2026, -1 and -2), which
// the fast readings leave to the slow one.
inline constexpr double LEAST_SURE_TIME = 10000.0;

// White space as isspace() in the C locale: space, \t, \n, \v, \f, \r.
inline bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// A decimal digit, '0' to '9'.
inline bool is_digit(char c) {
    return static_cast<unsigned char>(c) - unsigned{'0'} < 10;
}

// Whether the string at `p` holds nothing but white space.
inline bool rest_is_blank(const char* p) {
    if (p[0] == '\n' && p[1] == '\0') return true; // the usual end of a line
    while (is_space(*p))
        ++p;
    return *p == '\0';
}

// The usual data line read straight from a block of lines (the fused row
// scan): the reading of the line's end and of its numbers in one pass.
//
// `p` is the start of a line in a buffer that holds, right after its data, a
// zero byte (the sentinel) and then at least ROW_SCAN_PAD more readable
// bytes of any value. When the line holds `count` (1 to 4) numbers of the
// plain decimal form, separated by blanks (spaces and tabs; blanks may also
// begin the line), then optional blanks, an optional carriage return and
// its line feed, the numbers are stored in `out` exactly as scan_plain_line
// stores them (bit for bit) and the start of the next line is returned.
// With `time`, a first number below 10000 (which may be a date) refuses the
// line. Any other line gives nullptr: a comment, blank or "#" line, a
// heading, another number form (hexadecimal, infinity, not-a-number, a
// dangling exponent, a value out of range), text glued to a number, more
// columns, other white space (vertical tab, form feed, a lone carriage
// return), a zero byte, and a line that runs into the sentinel before its
// line feed. The caller then reads that line the usual way (a LineReader
// line and read_data_line), which either reads it or tells what is wrong;
// `out` may hold some of the line's numbers. Every line the scan takes, the
// usual way reads to the same numbers and with nothing more to say about it
// (no fault, no more columns).
//
// Nothing past the sentinel's ROW_SCAN_PAD bytes is read, and nothing past
// the sentinel is taken: the scan stops at the sentinel as at any byte that
// cannot continue a line it takes. So the end of the buffer needs no test
// by the caller; a line cut by the end of the buffer (the rest not yet read)
// is refused, and read once the buffer holds it whole.
//
// The line's bytes are classed sixteen at a time, which gives its end and
// the extent of each number before any is read, and a number is read from
// one 16-byte load (its whole part, point and fraction at once); numbers
// with an exponent, longer than 16 bytes or of more than 2^53, and lines
// longer than the bytes classed at once (16, 32, 64 for 1, 2, 3-4
// numbers), are read number after number, long numbers by the code that
// scan_numbers uses. Where the machine lacks SSE2 every line is read that
// way.
//
// For speed, the caller should not write into the bytes that the scan is
// about to read (such as a zero put after the line before): a store just
// before a 16-byte load of the same bytes stalls the load, every line.
inline constexpr int ROW_SCAN_PAD = 16;
const char* scan_plain_row(const char* p, double* out, int count, bool time);
// The same with the count known where it is called (1 to 4): one call less.
template <int Count> const char* scan_plain_row_of(const char* p, double* out, bool time);

// Whether scan_plain_row is worth trying at `p`, the start of a line at or
// before the sentinel: the line begins like a number of the plain form or
// with a blank, and `p` is not the sentinel itself (the end of the data,
// where the caller must read on the usual way). A line for which this is
// false is surely refused; one for which it is true may still be.
inline bool plain_row_may_start(const char* p) {
    const auto c = static_cast<unsigned char>(*p);
    return c - unsigned{'0'} < 10 || c == '-' || c == '+' || c == '.' || c == ' ' || c == '\t';
}
