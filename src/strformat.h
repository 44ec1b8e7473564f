// printf-style formatting into a std::string of whatever length the text
// needs, for messages that are built before they are written.
#pragma once

#include <cstdarg>
#include <string>

// The text that vprintf would write for `fmt` and `ap`.
std::string vstrformat(const char* fmt, std::va_list ap);

// The text that printf would write for `fmt` and the arguments.
[[gnu::format(printf, 1, 2)]] std::string strformat(const char* fmt, ...);
