// --csv: the samples of one AVQ file as comma-separated values with a header
// row,
//
//   time_utc,block,sample,ch1,ch2,ch3
//   2023-11-14T22:13:32.250000Z,0,0,-1843,12,0
//
// time_utc is the sample's time in ISO 8601 UTC to the microsecond, from the
// file's timeline (<avq/timeline.h>), empty when it cannot be known: a block
// time that is no time, or the samples after the first of a block when the
// sampling frequency is unknown (a file of one block and no sampfrek in its
// header). An undated file (minute-of-day block times, no date in the
// header) has the column seconds instead: seconds from the midnight of its
// first block's day, to the microsecond. block and sample count from 0; ch1
// to ch3 are the values as stored (binary: 16-bit integers; ASCII: the
// fields as written).
#pragma once

#include <string>

#include <avq/reader.h>
#include <avq/timeline.h>

namespace avqdump {

// Appends the decimal text of `v` to `out` (the CSV rows and avqdump's
// default rows).
void append_number(std::string& out, long long v);

// Appends value j of channel c + 1 of `b` as stored: the 16-bit integer of the
// binary form, the text of the field of the ASCII form.
void append_value(std::string& out, const avq::Block& b, avq::Form form, unsigned c, unsigned j);

// Writes the rows of the blocks that `reader` reads on standard output, as
// they are read, with the times of `timeline`, the timeline of the same file.
// A block beyond the timeline (the file grew since) is a FormatError.
void write_csv(avq::Reader& reader, const avq::Timeline& timeline);

} // namespace avqdump
