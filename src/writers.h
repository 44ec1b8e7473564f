// The writers' work on one block of SAMPLES rows, shared by the conversion
// that writes from the sample table (write_binary, write_ascii) and by the
// one that streams the rows into the output block by block (stream.cpp):
// the rows are handed to the avq library's writer (<avq/writer.h>) as
// columns. A sink is anything with reserve(n), which returns room for n
// bytes at the end of its buffered output, and commit(end), which keeps the
// bytes up to `end` (avq::OutputBuffer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <avq/avq.h>
#include <avq/writer.h>

#include "report.h"
#include "velkor.h"

// The values of the block at `rows` (SAMPLES rows), channel by channel.
struct BlockColumns {
    double v[CHANNELS][SAMPLES];
    explicit BlockColumns(const samp_* rows, std::size_t n = SAMPLES) {
        for (std::size_t j = 0; j < n; ++j) {
            for (int c = 0; c < CHANNELS; ++c)
                v[c][j] = rows[j].ch[c].data;
        }
    }
    avq::BlockValues view(double time) const { return {time, {v[0], v[1], v[2]}}; }
};

// The options of the library's writer from the process-wide settings.
avq::WriteOptions write_options();

// The binary record of the block at `rows` (SAMPLES rows): the block time
// from its first row, then every value times global_scale saturated to 16
// bits. Returns the number of values clipped. With `counts`, adds what the
// report counts of the values (report.h).
unsigned binary_record(const samp_* rows, unsigned char* record, ValueCounts* counts);

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

// Writes a binary record to `out`.
template <class Sink> void put_record(const unsigned char* record, Sink& out) {
    char* dest = out.reserve(avq::RECORD_BYTES);
    std::memcpy(dest, record, avq::RECORD_BYTES);
    out.commit(dest + avq::RECORD_BYTES);
}

// Writes the three lines of the ASCII block at `rows` to `out`.
template <class Sink> void write_ascii_block(const samp_* rows, Sink& out) {
    const BlockColumns columns(rows);
    out.commit(avq::ascii_block(columns.view(rows[0].ch[0].time), write_options(),
                                out.reserve(avq::ASCII_BLOCK_ROOM)));
}
