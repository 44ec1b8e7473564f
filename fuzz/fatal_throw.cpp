// fatal() of the fuzz build. The converter ends the process on any error;
// a fuzzer has to go on with the next input, so here the message is
// formatted exactly as the real fatal() would print it (the format and its
// arguments are exercised all the same) and thrown to the fuzz target,
// which checks it and carries on. Unwinding runs the destructors on the way,
// so the output file's cleanup runs as it does before the real exit.
#include <cstdarg>
#include <string>

#include "fatal.h"
#include "fuzz_support.h"
#include "strformat.h"

void fatal(const char* fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    std::string message = vstrformat(fmt, ap);
    va_end(ap);
    throw fuzz::FatalError{message};
}
