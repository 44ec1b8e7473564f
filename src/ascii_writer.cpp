// ASCII AVQ writer (layout in <avq/avq.h>, described in velkor(1)): values
// times global_scale at full resolution, without saturation, written by the
// avq library's writer.
#include <avq/avq.h>

#include "output_file.h"
#include "velkor.h"
#include "writers.h"

avq::WriteOptions write_options() {
    avq::WriteOptions o;
    o.form = binary ? avq::Form::binary : avq::Form::ascii;
    o.scale = global_scale;
    o.unix_seconds = normaltime == 0;
    o.minute_of_day = min_in_day != 0;
    return o;
}

void write_ascii(const char* oname) {
    OutputFile out(oname);
    out.write(cline[1].data(), cline[1].size());
    out.write(&avq::ASCII_HEADER_END, 1);
    for (std::size_t b = 0; b < n1; b += SAMPLES)
        write_ascii_block(&samples[b], out);
    out.finish();
}
