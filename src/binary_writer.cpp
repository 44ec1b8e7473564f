// Binary AVQ writer (layout in <avq/avq.h>, described in velkor(1)): values
// scaled by global_scale and saturated to signed 16 bits, counted per block
// and reported when they leave that range.
//
// The conversion of the values is the hot loop of a binary conversion. It
// runs channel by channel, two rows at a time with SSE2 where the machine
// has it (every x86-64 does), and counts on the way what the integrity
// report wants to know of the values (report.h), which have just been
// multiplied by the scale in a register anyway. Both ways give exactly what
// clamp_to_short gives.
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

#if defined(__SSE2__) && !defined(VELKOR_NO_SIMD)
#include <emmintrin.h>
#define VELKOR_SSE2 1
#else
#define VELKOR_SSE2 0
#endif

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
    const my_time_t whole(avq::stored_block_time(t));
    if (normaltime) return avq::minute_second_header(static_cast<std::tm>(whole));
    return avq::unix_header(static_cast<std::int64_t>(whole.m_t));
}

// One value of `convert`, with the report's counts when COUNT is set.
template <bool COUNT>
std::int16_t convert_one(double a, double scale, unsigned& clipped, ValueCounts& counts) {
    const double x = a * scale;
    if constexpr (COUNT) {
        counts.below_one += std::fabs(x) < 1.0 ? 1u : 0u; // false for nan
        counts.zero += a == 0.0 ? 1u : 0u;
        counts.nan += std::isnan(x) ? 1u : 0u;
    }
    return clamp_to_short(x, clipped);
}

// Converts channel c of `n` rows, each value times `scale`, into out[0] to
// out[n - 1] as clamp_to_short does. Returns the number of values clipped;
// with COUNT, adds the report's counts of the values to `counts`.
template <bool COUNT>
unsigned convert(const samp_* rows, std::size_t n, unsigned c, double scale, std::int16_t* out,
                 ValueCounts& counts) {
    unsigned clipped = 0;
    std::size_t j = 0;
#if VELKOR_SSE2
    // A comparison gives all ones (-1) in each lane where it holds, which is
    // subtracted from that lane's count.
    const __m128d s = _mm_set1_pd(scale);
    const __m128d hi = _mm_set1_pd(avq::SAMPLE_MAX);
    const __m128d lo = _mm_set1_pd(avq::SAMPLE_MIN);
    const __m128d one = _mm_set1_pd(1.0);
    const __m128d zero = _mm_setzero_pd();
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    __m128i clips = _mm_setzero_si128(), below = clips, zeros = clips, nans = clips;
    for (; j + 2 <= n; j += 2) {
        const __m128d a = _mm_loadh_pd(_mm_load_sd(&rows[j].ch[c].data), &rows[j + 1].ch[c].data);
        const __m128d x = _mm_mul_pd(a, s);
        const __m128d out_of_range = _mm_or_pd(_mm_cmpgt_pd(x, hi), _mm_cmplt_pd(x, lo));
        clips = _mm_sub_epi64(clips, _mm_castpd_si128(out_of_range));
        // Not a number becomes 0; the rest is saturated, then truncated.
        const __m128d number = _mm_cmpord_pd(x, x);
        const __m128d y = _mm_min_pd(_mm_max_pd(_mm_and_pd(x, number), lo), hi);
        const __m128i w = _mm_cvttpd_epi32(y);
        const int pair = _mm_cvtsi128_si32(_mm_packs_epi32(w, w));
        std::memcpy(out + j, &pair, sizeof pair);
        if constexpr (COUNT) {
            const __m128d small = _mm_cmplt_pd(_mm_and_pd(x, magnitude), one);
            below = _mm_sub_epi64(below, _mm_castpd_si128(small));
            zeros = _mm_sub_epi64(zeros, _mm_castpd_si128(_mm_cmpeq_pd(a, zero)));
            nans = _mm_sub_epi64(nans, _mm_castpd_si128(_mm_cmpunord_pd(x, x)));
        }
    }
    const auto sum = [](__m128i v) {
        std::uint64_t lane[2];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lane), v);
        return lane[0] + lane[1];
    };
    clipped += static_cast<unsigned>(sum(clips));
    if constexpr (COUNT) {
        counts.below_one += sum(below);
        counts.zero += sum(zeros);
        counts.nan += sum(nans);
    }
#endif
    for (; j < n; ++j)
        out[j] = convert_one<COUNT>(rows[j].ch[c].data, scale, clipped, counts);
    return clipped;
}

} // namespace

unsigned binary_record(const samp_* rows, std::uint16_t* record, ValueCounts* counts) {
    const avq::TimeHeader th = block_time_header(rows[0].ch[0].time);
    unsigned clipped = 0;
    for (unsigned c = 0; c < avq::CHANNELS; ++c) {
        std::uint16_t* channel = record + c * ILSIZE;
        channel[0] = th.word0;
        channel[1] = th.word1;
        auto* out = reinterpret_cast<std::int16_t*>(channel + 2);
        ValueCounts unused;
        clipped += counts != nullptr ? convert<true>(rows, SAMPLES, c, global_scale, out, counts[c])
                                     : convert<false>(rows, SAMPLES, c, global_scale, out, unused);
    }
    return clipped;
}

void count_values(const samp_* rows, std::size_t n, double scale, ValueCounts* counts) {
    std::int16_t scratch[SAMPLES];
    for (std::size_t b = 0; b < n; b += SAMPLES) {
        const std::size_t m = std::min<std::size_t>(n - b, SAMPLES);
        for (unsigned c = 0; c < avq::CHANNELS; ++c)
            convert<true>(rows + b, m, c, scale, scratch, counts[c]);
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
    std::uint16_t record[CHANNELS * ILSIZE];
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
    std::uint16_t record[CHANNELS * ILSIZE];
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
