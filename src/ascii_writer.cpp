// ASCII AVQ writer: the header comment and a line feed, then per block of
// SAMPLES rows three lines (channels 1, 2, 3) of 514 fields separated by
// single spaces: the block's minute (printf "%.0f"), its second ("%.14g")
// and the channel's SAMPLES values times global_scale ("%.14g"), at full
// resolution and without saturation.
//
// The block time is channel 1's time of the block's first row, t:
// - minute/second form: m = floor(t / 60), or the minute of the day,
//   fmod(m, 1440), when min_in_day is set; s = fmod(t, 60) with its fraction;
// - Unix form: m = 0 and s = t.
//
// Text is formatted straight into the output buffer and written in large
// chunks; this is the hot loop of an ASCII conversion.
#include <cmath>
#include <cstring>

#include <avq/avq.h>
#include "numfmt.h"
#include "output_file.h"
#include "velkor.h"

namespace {

// Room one block line may need: every field formatter wants FORMAT_MAX bytes
// free, and each field is followed by a blank or the line feed.
constexpr std::size_t LINE_ROOM = static_cast<std::size_t>(avq::ASCII_FIELDS) * (FORMAT_MAX + 1);

} // namespace

void write_ascii(const char* oname) {
    OutputFile out(oname);
    out.write(cline[1].data(), cline[1].size());
    out.write(&avq::ASCII_HEADER_END, 1);

    for (std::size_t b = 0; b < n1; b += SAMPLES) {
        const double t = samples[b].ch[0].time;
        double m = 0.0;
        double s = t;
        if (normaltime) {
            m = std::floor(t / 60.0);
            if (min_in_day) m = std::fmod(m, 1440.0);
            s = std::fmod(t, 60.0);
        }
        // The minute and second fields are the same on all three lines.
        char prefix[2 * FORMAT_MAX + 2];
        char* pe = format_f0(prefix, m);
        *pe++ = ' ';
        pe = format_g14(pe, s);
        const std::size_t prefix_len = static_cast<std::size_t>(pe - prefix);

        const samp_* rows = &samples[b];
        for (int c = 0; c < CHANNELS; ++c) {
            char* p = out.reserve(LINE_ROOM);
            std::memcpy(p, prefix, prefix_len);
            p += prefix_len;
            for (unsigned j = 0; j < SAMPLES; ++j) {
                *p++ = ' ';
                p = format_g14(p, rows[j].ch[c].data * global_scale);
            }
            *p++ = '\n';
            out.commit(p);
        }
    }
    out.finish();
}
