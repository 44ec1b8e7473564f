// PLACEHOLDER: being written (binary writer).
#include "velkor.h"
void write_binary(const char*) {}
