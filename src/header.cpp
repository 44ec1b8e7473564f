// PLACEHOLDER: being written (header comment).
#include "velkor.h"
#include <ostream>
const char* default_time_format = "%Y-%m-%d %H:%M:%S %Z";
void settle_comment(int, const char*, const char*, const char*) {}
