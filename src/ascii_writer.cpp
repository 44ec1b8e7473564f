// ASCII AVQ writer (layout in <avq/avq.h>, described in velkor(1)): values
// times global_scale at full resolution, without saturation.
//
// Text is formatted straight into the output buffer and written in large
// chunks; this is the hot loop of an ASCII conversion.
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
        const avq::AsciiBlockTime t =
            avq::ascii_block_time(samples[b].ch[0].time, normaltime == 0, min_in_day != 0);
        // The minute and second fields are the same on all three lines.
        char prefix[2 * FORMAT_MAX + 2];
        char* pe = format_f0(prefix, t.minute);
        *pe++ = ' ';
        pe = format_g14(pe, t.second);
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
