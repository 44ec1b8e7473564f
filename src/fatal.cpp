// Fatal error reporting for the converter.
#include "fatal.h"

#include <cstdarg>

void fatal(const char* fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::exit(1);
}
