// PLACEHOLDER: being written (invocation log).
#include "argutil.h"
void flogfile(const char*, int, const char* const*) {}
void logfile(int, const char* const*) {}
