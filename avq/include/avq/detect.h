// Recognising an AVQ file by its first bytes.
//
// An AVQ file given where a text input is expected (a swapped command line)
// would otherwise be read as text and converted into garbage over the file
// that was meant as the input. The two forms are told apart as a reader of
// AVQ files tells them:
//   binary: a first line that begins with "!" and ends in a carriage return
//           that is not followed by a line feed;
//   ASCII:  a first line that begins with "!", followed by a line of exactly
//           514 blank-separated numbers (minute, second, 512 values).
// Text inputs never look like either: their data lines hold at most a few
// numbers, and their line ends are line feeds (CR LF included).
#pragma once

#include <string_view>

namespace avq {

enum class Detected { text, binary, ascii };

// Looks at the first bytes of a file. `whole` tells whether they are all of
// the file; otherwise a line that runs to the end of `start` is not known to
// end there, and the bytes are taken for text.
Detected detect_form(std::string_view start, bool whole);

} // namespace avq
