// Fatal errors of the converter: one line on standard error, then exit
// status 1. The converter has no error codes between its functions; a
// failure anywhere in a group ends the whole run, and outputs of earlier
// groups stay as written.
#pragma once

#include <cstdio>
#include <cstdlib>

// Writes the printf-formatted message (which carries its own line end) to
// standard error and exits with status 1.
[[noreturn]] [[gnu::format(printf, 1, 2)]] void fatal(const char* fmt, ...);
