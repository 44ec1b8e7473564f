// printf-style formatting into a std::string: see strformat.h.
#include "strformat.h"

#include <cstdio>

std::string vstrformat(const char* fmt, std::va_list ap) {
    std::va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    std::string s(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(s.data(), s.size() + 1, fmt, again);
    va_end(again);
    return s;
}

std::string strformat(const char* fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    std::string s = vstrformat(fmt, ap);
    va_end(ap);
    return s;
}
