// PLACEHOLDER implementation through snprintf; being replaced.
#include "numfmt.h"

#include <cstdio>

char* format_g14(char* p, double v) { return p + std::snprintf(p, FORMAT_MAX, "%.14g", v); }
char* format_f0(char* p, double v) { return p + std::snprintf(p, FORMAT_MAX, "%.0f", v); }
