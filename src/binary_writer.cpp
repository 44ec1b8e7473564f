// Binary AVQ writer (layout in <avq/avq.h>, described in velkor(1)): values
// scaled by global_scale and saturated to signed 16 bits by the avq
// library's writer, counted per block and reported when they leave that
// range.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include <avq/avq.h>

#include "fatal.h"
#include "output_file.h"
#include "velkor.h"
#include "writers.h"

unsigned binary_record(const samp_* rows, unsigned char* record, ValueCounts* counts) {
    const BlockColumns columns(rows);
    return avq::binary_record(columns.view(rows[0].ch[0].time), global_scale, normaltime == 0,
                              record, counts);
}

void count_values(const samp_* rows, std::size_t n, double scale, ValueCounts* counts) {
    for (std::size_t b = 0; b < n; b += SAMPLES) {
        const std::size_t m = std::min<std::size_t>(n - b, SAMPLES);
        const BlockColumns columns(rows + b, m);
        for (int c = 0; c < CHANNELS; ++c)
            avq::count_values(columns.v[c], m, scale, counts[c]);
    }
}

void warn_clipped(unsigned count) {
    std::fprintf(stderr, "Warning: scale out of range. %u values cliped.\n", count);
}

void ClipLines::summary() const {
    if (run_options.quiet && blocks != 0) {
        std::fprintf(stderr, "Warning: scale out of range in %llu blocks; %llu values clipped\n",
                     static_cast<unsigned long long>(blocks),
                     static_cast<unsigned long long>(values));
    }
}

std::uint64_t count_clipped() {
    std::uint64_t clipped = 0;
    unsigned char record[avq::RECORD_BYTES];
    for (std::size_t b = 0; b < n1; b += SAMPLES)
        clipped += binary_record(&samples[b], record, nullptr);
    return clipped;
}

std::uint64_t write_binary(const char* oname) {
    // Every block time must be a calendar time; checked before the output is
    // opened, so that a refused group leaves no file and an existing one
    // untouched.
    for (std::size_t b = 0; b < n1; b += SAMPLES) {
        const double t = samples[b].ch[0].time;
        if (!avq::time_breaks_down(t)) {
            fatal("Error: the time of row %zu, %.17g, is not a valid UTC date\n", b + 1, t);
        }
    }

    std::unique_ptr<OutputFile> out;
    if (oname != nullptr) {
        out = std::make_unique<OutputFile>(oname);
        out->write(cline[1].data(), cline[1].size());
        out->write(&avq::BINARY_HEADER_END, 1);
    }
    ClipLines clips;
    unsigned char record[avq::RECORD_BYTES];
    for (std::size_t b = 0; b < n1; b += SAMPLES) {
        // A block's clipping line comes before its record is written (and
        // before a write error that the record's room meets).
        clips.block(binary_record(&samples[b], record, nullptr));
        if (out != nullptr) put_record(record, *out);
    }
    if (out != nullptr) out->finish();
    clips.summary();
    return clips.values;
}
