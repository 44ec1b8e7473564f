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

bool begin_completion(std::size_t n) {
    n1 = static_cast<std::uint32_t>(n);
    const std::size_t r = n % SAMPLES;
    if (r == 0) return false;
    std::fprintf(stderr, "Warning: length of file not multiple of %u\n", SAMPLES);
    if (end_mode == EM_TRUNCATE) {
        n1 = static_cast<std::uint32_t>(n - r);
        return false;
    }
    if (!run_options.quiet) {
        std::fputs(end_mode == EM_MIRROR ? "Filling with mirror\n" : "Filling with zeroes\n",
                   stderr);
    }
    return true;
}

void fill_last_block(samp_* block, std::size_t n, const samp_* previous) {
    const std::size_t r = n % SAMPLES;
    const std::size_t start = n - r; // the group's row of block[0]
    for (std::size_t i = r; i < SAMPLES; ++i) {
        samp_& to = block[i];
        if (end_mode != EM_MIRROR) {
            for (int c = 0; c < CHANNELS; ++c)
                to.ch[c].data = 0.0;
            continue;
        }
        const std::size_t m = reflected_row(start + i, n);
        // Beyond the first block the mirror reaches back 511 rows at most.
        const samp_& from = m >= start ? block[m - start] : previous[m + SAMPLES - start];
        for (int c = 0; c < CHANNELS; ++c)
            to.ch[c].data = from.ch[c].data;
    }
}

void complete_last_block() {
    const std::size_t n = n1;
    if (!begin_completion(n)) return;
    const std::size_t start = n - n % SAMPLES;
    samples.resize(start + SAMPLES);
    fill_last_block(&samples[start], n, start >= SAMPLES ? &samples[start - SAMPLES] : nullptr);
}
