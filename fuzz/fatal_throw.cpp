// fatal() of the fuzz build. The converter ends the process on any error;
// a fuzzer has to go on with the next input, so here the message is
// formatted exactly as the real fatal() would print it (the format and its
// arguments are exercised all the same) and thrown to the fuzz target,
// which checks it and carries on. Unwinding runs the destructors on the way,
// so the output file's cleanup runs as it does before the real exit.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "fatal.h"
#include "fuzz_support.h"

void fatal(const char* fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    std::va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string message(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(message.data(), message.size() + 1, fmt, again);
    va_end(again);
    throw fuzz::FatalError{message};
}
