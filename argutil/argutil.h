// argutil: argument files and the invocation log.
//
// rebuild_argv replaces every argument that begins with "@" or "$" by the
// lines of the file it names (nested files included; a carriage return at a
// line's end is dropped with the line feed) and drops every
// argument that begins with "#". logfile appends one line per run, a local
// time stamp followed by the arguments, to the file "logfile" in the working
// directory. No failure of this library reaches its caller.
#pragma once

// Expands argument files in the vector. On return *argc and *argv hold the
// expanded count and vector, allocated with malloc and owned by the caller,
// or are untouched when nothing had to change (also when memory for the new
// vector runs out). The incoming vector is never changed or released.
// Always returns 0.
int rebuild_argv(int* argc, char*** argv);

// Undoes rebuild_argv: releases the expanded vector and puts back the count
// and vector saved before the call. Always returns 0.
int restore_argv(int* argc, char*** argv, int saved_argc, char** saved_argv);

// Appends the invocation line for argc, argv to the file `name`: the local
// date and time ("%x %X" in the LC_TIME locale of the environment, which this
// call sets), then each argument after one space, those holding a space, a
// comma or an asterisk in double quotes. The line is appended with a single
// write, so lines of concurrent runs do not mix. When the file cannot be
// opened or the line cannot be written whole, "No logfile entry" goes to
// standard error instead.
void flogfile(const char* name, int argc, const char* const* argv);

// Appends the invocation line for argc, argv to "logfile".
void logfile(int argc, const char* const* argv);
