// Binary AVQ writer (layout in <avq/avq.h>, described in velkor(1)): values
// scaled by global_scale and saturated to signed 16 bits, counted per block
// and reported when they leave that range.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <avq/avq.h>

#include "fatal.h"
#include "output_file.h"
#include "velkor.h"

void nop(const void* src, void* dest, std::size_t n) {
    if (src != dest) std::memmove(dest, src, n);
}

void myswab(const void* src, void* dest, std::size_t n) {
    const auto* s = static_cast<const unsigned char*>(src);
    auto* d = static_cast<unsigned char*>(dest);
    for (std::size_t i = 0; i + 1 < n; i += 2) {
        const unsigned char lo = s[i];
        const unsigned char hi = s[i + 1];
        d[i] = hi;
        d[i + 1] = lo;
    }
}

// Records are built in host order as 16-bit words (the time header too, as
// its two words) and passed through this step: on little-endian hosts a
// copy, on big-endian hosts a byte swap of every word, so the file is
// little-endian either way.
swabptr ilfilswab = std::endian::native == std::endian::big ? myswab : nop;

std::int16_t clamp_to_short(double value, unsigned& scale_error) {
    if (value > avq::SAMPLE_MAX) {
        ++scale_error;
        return avq::SAMPLE_MAX;
    }
    if (value < avq::SAMPLE_MIN) {
        ++scale_error;
        return avq::SAMPLE_MIN;
    }
    if (std::isnan(value)) return 0;
    return static_cast<std::int16_t>(value); // truncation toward zero
}

namespace {

avq::TimeHeader block_time_header(double t) {
    const my_time_t whole(t);
    if (normaltime) return avq::minute_second_header(static_cast<std::tm>(whole));
    return avq::unix_header(static_cast<std::int64_t>(whole.m_t));
}

} // namespace

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

    OutputFile out(oname);
    out.write(cline[1].data(), cline[1].size());
    out.write(&avq::BINARY_HEADER_END, 1);

    std::uint16_t record[CHANNELS * ILSIZE];
    std::uint64_t clipped = 0;
    for (std::size_t b = 0; b < n1; b += SAMPLES) {
        const avq::TimeHeader th = block_time_header(samples[b].ch[0].time);
        for (unsigned c = 0; c < avq::CHANNELS; ++c) {
            record[c * ILSIZE] = th.word0;
            record[c * ILSIZE + 1] = th.word1;
        }
        unsigned scale_error = 0;
        const samp_* rows = &samples[b];
        for (unsigned j = 0; j < SAMPLES; ++j) {
            for (unsigned c = 0; c < avq::CHANNELS; ++c) {
                const std::int16_t v =
                    clamp_to_short(rows[j].ch[c].data * global_scale, scale_error);
                record[c * ILSIZE + 2 + j] = static_cast<std::uint16_t>(v);
            }
        }
        clipped += scale_error;
        if (scale_error != 0) {
            std::fprintf(stderr, "Warning: scale out of range. %u values cliped.\n", scale_error);
        }
        char* dest = out.reserve(avq::RECORD_BYTES);
        ilfilswab(record, dest, avq::RECORD_BYTES);
        out.commit(dest + avq::RECORD_BYTES);
    }
    out.finish();
    return clipped;
}
