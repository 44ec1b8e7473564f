// PLACEHOLDER: being written (block completion).
#include "velkor.h"
void complete_last_block() {}
