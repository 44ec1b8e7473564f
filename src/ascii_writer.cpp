// PLACEHOLDER: being written (ASCII writer).
#include "velkor.h"
void write_ascii(const char*) {}
