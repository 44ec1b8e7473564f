// The writers' work on one block of SAMPLES rows, shared by the conversion
// that writes from the sample table (write_binary, write_ascii) and by the
// one that streams the rows into the output block by block (stream.cpp).
// A sink is anything with reserve(n), which returns room for n bytes at the
// end of its buffered output, and commit(end), which keeps the bytes up to
// `end` (OutputFile, and the stream's writers).
#pragma once

#include <cstddef>
#include <cstdint>

#include <avq/avq.h>

#include "numfmt.h"
#include "report.h"
#include "velkor.h"

// The 3084-byte binary record of the block at `rows` (SAMPLES rows), in
// host order: the block time from its first row, then every value times
// global_scale saturated to 16 bits. Returns the number of values clipped.
// With `counts`, adds what the report counts of the values (report.h).
unsigned binary_record(const samp_* rows, std::uint16_t* record, ValueCounts* counts);

// The warning line of a block whose values were clipped.
void warn_clipped(unsigned count);

// The clipping warnings of a group, block by block in the order written: a
// line per block that had values clipped, or with -q one line for the whole
// group, which summary() writes once the output is written.
struct ClipLines {
    std::uint64_t blocks = 0; // blocks that had values clipped
    std::uint64_t values = 0;

    void block(unsigned clipped) {
        if (clipped == 0) return;
        ++blocks;
        values += clipped;
        if (!run_options.quiet) warn_clipped(clipped);
    }
    void summary() const;
};

// Adds to counts[c] what the report counts of channel c's values of `n`
// rows, each multiplied by `scale`: the values the binary form stores as 0
// because |value x scale| < 1 (zeroes included), the zeroes, and those that
// are not numbers.
void count_values(const samp_* rows, std::size_t n, double scale, ValueCounts* counts);

// Writes a binary record to `out`, through the byte-order step.
template <class Sink> void put_record(const std::uint16_t* record, Sink& out) {
    char* dest = out.reserve(avq::RECORD_BYTES);
    ilfilswab(record, dest, avq::RECORD_BYTES);
    out.commit(dest + avq::RECORD_BYTES);
}

// The minute and second fields of an ASCII block's lines, the same on all
// three.
struct AsciiPrefix {
    char text[2 * FORMAT_MAX + 2];
    std::size_t length;
};
AsciiPrefix ascii_prefix(double block_time);

// Room one ASCII block line may need: every field formatter wants FORMAT_MAX
// bytes free, and each field is followed by a blank or the line feed.
inline constexpr std::size_t ASCII_LINE_ROOM =
    static_cast<std::size_t>(avq::ASCII_FIELDS) * (FORMAT_MAX + 1);

// Writes the line of channel c (0-2) of the block at `rows` at `p`, which
// has ASCII_LINE_ROOM bytes; returns the end of the line.
char* ascii_line(const samp_* rows, int c, const AsciiPrefix& prefix, char* p);

// Writes the three lines of the ASCII block at `rows` to `out`.
template <class Sink> void write_ascii_block(const samp_* rows, Sink& out) {
    const AsciiPrefix prefix = ascii_prefix(rows[0].ch[0].time);
    for (int c = 0; c < CHANNELS; ++c)
        out.commit(ascii_line(rows, c, prefix, out.reserve(ASCII_LINE_ROOM)));
}
