// ASCII AVQ writer (layout in <avq/avq.h>, described in velkor(1)): values
// times global_scale at full resolution, without saturation.
//
// Text is formatted straight into the output buffer and written in large
// chunks; this is the hot loop of an ASCII conversion.
#include <cstring>

#include <avq/avq.h>

#include "output_file.h"
#include "velkor.h"
#include "writers.h"

AsciiPrefix ascii_prefix(double block_time) {
    const avq::AsciiBlockTime t =
        avq::ascii_block_time(avq::stored_block_time(block_time), normaltime == 0, min_in_day != 0);
    AsciiPrefix prefix;
    char* p = format_f0(prefix.text, t.minute);
    *p++ = ' ';
    p = format_g14(p, t.second);
    prefix.length = static_cast<std::size_t>(p - prefix.text);
    return prefix;
}

char* ascii_line(const samp_* rows, int c, const AsciiPrefix& prefix, char* p) {
    std::memcpy(p, prefix.text, prefix.length);
    p += prefix.length;
    const double scale = global_scale;
    for (unsigned j = 0; j < SAMPLES; ++j) {
        *p++ = ' ';
        p = format_g14(p, rows[j].ch[c].data * scale);
    }
    *p++ = '\n';
    return p;
}

void write_ascii(const char* oname) {
    OutputFile out(oname);
    out.write(cline[1].data(), cline[1].size());
    out.write(&avq::ASCII_HEADER_END, 1);
    for (std::size_t b = 0; b < n1; b += SAMPLES)
        write_ascii_block(&samples[b], out);
    out.finish();
}
