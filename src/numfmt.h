// Number formatting for the ASCII AVQ form: byte for byte what printf writes
// with "%.14g" and "%.0f", with a point as the decimal separator whatever the
// locale.
#pragma once

// Each writes the text at `p` (no terminating zero) and returns the end of
// the text. `p` must have room for FORMAT_MAX characters; bytes after the
// text, within that room, may be overwritten.
inline constexpr int FORMAT_MAX = 400; // "%.0f" of the largest double is 309 digits

char* format_g14(char* p, double v); // printf "%.14g"
char* format_f0(char* p, double v);  // printf "%.0f"
