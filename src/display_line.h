// Showing an input line in a message.
//
// An error that says where shows the offending line as it was read, so that
// a stray character can be seen: the line without its line feed, cut to its
// first DISPLAY_BYTES bytes, with every byte that does not print written as
// an escape: "\r" and "\t" for carriage return and tab, "\xHH" (two
// lower-case hex digits) for the other control bytes, 0x7f and every byte of
// 0x80 and above that is not part of a well-formed UTF-8 character.
// Well-formed UTF-8 text (accented letters, units such as "°C") stays as it
// is. A backslash is not escaped.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr std::size_t DISPLAY_BYTES = 80;

std::string display_line(std::string_view line);
