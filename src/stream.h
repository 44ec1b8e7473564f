// The conversion of a group whose inputs are regular files into an output
// written through a temporary file: the rows go into the output block by
// block as they are read, in memory that does not grow with the group, on
// two threads for a large group (stream.cpp).
#pragma once

#include <cstdint>

#include "read_input.h"

// Converts the group of the opened inputs `in` into `oname`, all of it:
// messages, output, the group's report and summary, n1 and cline as
// process_file leaves them (the sample table stays empty). Returns false,
// having read nothing, written nothing and said nothing, when the group
// cannot be streamed: an input that is not a regular file (a pipe,
// standard input, a device) can be read only once, and an output written in
// place (standard output, a device, a file in a directory that may not be
// written) must not receive a byte before the group is known to convert.
bool stream_group(GroupInputs& in, const char* oname, std::uint64_t& clipped);

// Groups that look shorter than this many rows are read on one thread. The
// split of a larger group is exercised with small inputs by lowering it.
extern std::uint64_t split_min_rows;
// Off: every group is converted through the sample table (for comparing
// both ways in tests).
extern bool streaming;
