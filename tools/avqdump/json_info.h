// --info --json: the facts of the text summary as one JSON object per file,
// on one line, so that several files give JSON Lines. Numbers are JSON
// numbers; every block time is also given as ISO 8601 UTC text (time of the
// day only, "22:13:32Z", for minute-of-day times, which hold no date). Text
// that is not UTF-8 (a header in Latin-1, say) has its stray bytes replaced
// by U+FFFD; control characters are escaped as JSON requires.
#pragma once

#include <avq/reader.h>

#include "sample_times.h"
#include "summary.h"

namespace avqdump {

// Writes the object on standard output; `times` says how binary block times
// are read (binary_times).
void print_info_json(const char* name, const avq::Reader& reader, const Summary& sum,
                     const BinaryTimes& times);

} // namespace avqdump
