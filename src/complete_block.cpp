// Block completion: both AVQ forms hold whole blocks of SAMPLES rows, so a
// final partial block is filled up with zeroes, filled up with a mirror image
// of the last rows, or dropped, as end_mode says. Afterwards every block
// start below n1 has SAMPLES rows with defined data after it; the writers
// rely on that. Added rows carry data only: their time is never read.
#include <cstddef>
#include <cstdio>

#include "velkor.h"

namespace {

// Whole-sample symmetric extension about the last row, which is not repeated:
// row n + i copies row n - 2 - i. Where that would reach before row 0 (groups
// of at most 256 rows) the reflection bounces off row 0 as well, so the
// pattern has period 2 (n - 1); a single row is repeated.
std::size_t reflected_row(std::size_t j, std::size_t n) {
    if (n == 1) return 0;
    const std::size_t period = 2 * (n - 1);
    const std::size_t m = j % period;
    return m <= n - 1 ? m : period - m;
}

} // namespace

void complete_last_block() {
    const std::size_t n = n1;
    const std::size_t r = n % SAMPLES;
    if (r == 0) return;
    std::fprintf(stderr, "Warning: length of file not multiple of %u\n", SAMPLES);
    const std::size_t nn = n + (SAMPLES - r);

    switch (end_mode) {
    case EM_MIRROR:
        std::fputs("Filling with mirror\n", stderr);
        samples.resize(nn);
        for (std::size_t j = n; j < nn; ++j) {
            const samp_& from = samples[reflected_row(j, n)];
            for (int c = 0; c < CHANNELS; ++c)
                samples[j].ch[c].data = from.ch[c].data;
        }
        break;
    case EM_TRUNCATE:
        n1 = static_cast<std::uint32_t>(n - r);
        break;
    default: // EM_ZERO
        std::fputs("Filling with zeroes\n", stderr);
        samples.resize(nn);
        for (std::size_t j = n; j < nn; ++j) {
            for (int c = 0; c < CHANNELS; ++c)
                samples[j].ch[c].data = 0.0;
        }
        break;
    }
}
