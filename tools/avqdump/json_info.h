// --info --json: the facts of the text summary as one JSON object per file,
// on one line, so that several files give JSON Lines. Numbers are JSON
// numbers; every block time is also given as ISO 8601 UTC text (time of the
// day only, "22:13:32Z", for minute-of-day times, which hold no date). The
// sampling frequency, whether the file is dated, and its runs with their
// first block and start come from the file's timeline. Text
// that is not UTF-8 (a header in Latin-1, say) has its stray bytes replaced
// by U+FFFD; control characters are escaped as JSON requires.
#pragma once

#include <avq/reader.h>
#include <avq/timeline.h>

#include "summary.h"

namespace avqdump {

// Writes the object on standard output; `timeline` is the file's (how its
// block times are read, its sampling frequency and runs).
void print_info_json(const char* name, const avq::Reader& reader, const Summary& sum,
                     const avq::Timeline& timeline);

} // namespace avqdump
