// Block completion: see blocks.h.
#include <cstddef>
#include <cstdio>

#include "blocks.h"

namespace {

// Whole-sample symmetric extension about the last row, which is not repeated:
// row n + i copies row n - 2 - i. Where that would reach before row 0 (groups
// of at most 256 rows) the reflection bounces off row 0 as well, so the
// pattern has period 2 (n - 1); a single row is repeated.
std::uint64_t reflected_row(std::uint64_t j, std::uint64_t n) {
    if (n == 1) return 0;
    const std::uint64_t period = 2 * (n - 1);
    const std::uint64_t m = j % period;
    return m <= n - 1 ? m : period - m;
}

} // namespace

std::uint64_t begin_completion(const Settings& s, std::uint64_t n, bool& fill) {
    const std::uint64_t r = n % SAMPLES;
    fill = false;
    if (r == 0) return n;
    std::fprintf(stderr, "Warning: length of file not multiple of %u\n", SAMPLES);
    if (s.end_mode == EndMode::truncate) return n - r;
    if (!s.quiet) {
        std::fputs(s.end_mode == EndMode::mirror ? "Filling with mirror\n"
                                                 : "Filling with zeroes\n",
                   stderr);
    }
    fill = true;
    return n;
}

void fill_last_block(EndMode mode, RowBlock& block, std::uint64_t n, const RowBlock* previous) {
    const auto r = static_cast<unsigned>(n % SAMPLES);
    const std::uint64_t start = n - r; // the group's row of the block's row 0
    for (unsigned i = r; i < SAMPLES; ++i) {
        for (int c = 0; c < CHANNELS; ++c) {
            if (mode != EndMode::mirror) {
                block.value[c][i] = 0.0;
                continue;
            }
            // Beyond the first block the mirror reaches back 511 rows at most.
            const std::uint64_t m = reflected_row(start + i, n);
            block.value[c][i] =
                m >= start ? block.value[c][m - start] : previous->value[c][m + SAMPLES - start];
        }
    }
}
