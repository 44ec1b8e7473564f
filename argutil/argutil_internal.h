// argutil internals that the unit tests drive directly. Not part of the
// library's interface: programs use argutil.h only.
//
// The public operations are thin wrappers over these, called with null
// hooks; a test passes hooks to change an argument file between the two
// passes of the expansion, to make allocations fail, to count the attempts
// at opening the log, or to try a time stamp format that does not fit.
#pragma once

#include <cstddef>

namespace argutil_internal {

// Deepest nesting of argument files: a file named on the command line is
// level 1. An "@" or "$" line inside a file of this level is not opened and
// stays a literal argument.
constexpr int max_depth = 32;

// Most argument files opened in one pass of the expansion. Beyond it an "@"
// or "$" element stays a literal argument, so that files that name
// themselves more than once cannot make the expansion run for hours.
constexpr int max_opens = 65536;

struct rebuild_hooks {
    // Called once between the counting and the filling pass, when the
    // filling pass is about to run.
    void (*between_passes)(void* data) = nullptr;
    void* data = nullptr;
    // Allocates the new vector and each argument copy; malloc when null.
    // Whatever it returns is released with free.
    void* (*alloc)(std::size_t size) = nullptr;
};

// rebuild_argv with hooks; rebuild_argv(argc, argv) is
// rebuild_argv_hooked(argc, argv, rebuild_hooks{}).
int rebuild_argv_hooked(int* argc, char*** argv, const rebuild_hooks& hooks);

struct log_hooks {
    // Opens the log for appending and returns a file descriptor, or -1.
    // When null, the file is opened with O_RDWR | O_APPEND | O_CREAT (O_WRONLY
    // when it may not be read).
    int (*open_log)(const char* name, void* data) = nullptr;
    void* data = nullptr;
    // Allocates the line buffer and the escaped copies; malloc when null.
    void* (*alloc)(std::size_t size) = nullptr;
    // The strftime format of the time stamp; "%x %X" when null.
    const char* stamp_format = nullptr;
};

// flogfile with hooks; flogfile(name, argc, argv) is
// flogfile_hooked(name, argc, argv, log_hooks{}).
void flogfile_hooked(const char* name, int argc, const char* const* argv, const log_hooks& hooks);

} // namespace argutil_internal
