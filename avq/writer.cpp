// Writing AVQ blocks and headers: see <avq/writer.h>.
//
// The conversion of the values is the hot loop of a binary conversion. It
// runs channel by channel over the channel's contiguous values, two at a
// time with SSE2 where the machine has it (every x86-64 does), and counts on
// the way what a report wants to know of the values, which have just been
// multiplied by the scale in a register anyway. Both ways give exactly what
// clamp_to_short gives. ASCII text is formatted straight into the output
// buffer; that is the hot loop of an ASCII conversion.
#include <avq/writer.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__) && !defined(VELKOR_NO_SIMD)
#include <emmintrin.h>
#define AVQ_SSE2 1
#else
#define AVQ_SSE2 0
#endif

namespace avq {

namespace {

// One value of `convert`, with the counts when COUNT is set.
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

// Converts `n` values, each times `scale`, into out[0] to out[n - 1] as
// clamp_to_short does. Returns the number of values clipped; with COUNT,
// adds the counts of the values to `counts`.
template <bool COUNT>
unsigned convert(const double* v, std::size_t n, double scale, std::int16_t* out,
                 ValueCounts& counts) {
    unsigned clipped = 0;
    std::size_t j = 0;
#if AVQ_SSE2
    // A comparison gives all ones (-1) in each lane where it holds, which is
    // subtracted from that lane's count.
    const __m128d s = _mm_set1_pd(scale);
    const __m128d hi = _mm_set1_pd(SAMPLE_MAX);
    const __m128d lo = _mm_set1_pd(SAMPLE_MIN);
    const __m128d one = _mm_set1_pd(1.0);
    const __m128d zero = _mm_setzero_pd();
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    __m128i clips = _mm_setzero_si128(), below = clips, zeros = clips, nans = clips;
    for (; j + 2 <= n; j += 2) {
        const __m128d a = _mm_loadu_pd(v + j);
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
    const auto sum = [](__m128i lanes) {
        std::uint64_t lane[2];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lane), lanes);
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
        out[j] = convert_one<COUNT>(v[j], scale, clipped, counts);
    return clipped;
}

// The whole seconds that a block time is stored as; a time that does not
// fit (only ever that of a group that is refused) keeps the epoch.
std::int64_t stored_whole_seconds(double seconds) {
    const double t = stored_block_time(seconds);
    return fits_time_t(t) ? static_cast<std::int64_t>(t) : 0;
}

// printf "%g", as the built header writes the frequency; with `exact`, the
// shortest text that reads back as `v` where "%g" would read back as another
// number.
std::string frequency_text(double v, bool exact) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", v);
    double back = 0;
    const char* end = buf + std::strlen(buf);
    if (!exact || !std::isfinite(v) || (std::from_chars(buf, end, back).ptr == end && back == v)) {
        return buf;
    }
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

} // namespace

std::int16_t clamp_to_short(double x, unsigned& clipped) {
    if (x > SAMPLE_MAX) {
        ++clipped;
        return SAMPLE_MAX;
    }
    if (x < SAMPLE_MIN) {
        ++clipped;
        return SAMPLE_MIN;
    }
    if (std::isnan(x)) return 0;
    return static_cast<std::int16_t>(x); // truncation toward zero
}

TimeHeader block_time_header(double seconds, bool unix_seconds) {
    const std::int64_t whole = stored_whole_seconds(seconds);
    if (unix_seconds) return unix_header(whole);
    // UTC knows no leap seconds: the second of the day is the remainder of
    // a division by 86400 that rounds toward minus infinity.
    const std::int64_t of_day = (whole % 86400 + 86400) % 86400;
    return {static_cast<std::uint16_t>(of_day / 60), static_cast<std::uint16_t>(of_day % 60)};
}

unsigned binary_record(const BlockValues& b, double scale, bool unix_seconds, unsigned char* record,
                       ValueCounts* counts) {
    const TimeHeader th = block_time_header(b.time, unix_seconds);
    unsigned clipped = 0;
    for (unsigned c = 0; c < CHANNELS; ++c) {
        unsigned char* channel = record + channel_record_offset(c);
        put_le16(channel, th.word0);
        put_le16(channel + 2, th.word1);
        std::int16_t words[SAMPLES];
        ValueCounts unused;
        clipped += counts != nullptr ? convert<true>(b.values[c], SAMPLES, scale, words, counts[c])
                                     : convert<false>(b.values[c], SAMPLES, scale, words, unused);
        if constexpr (std::endian::native == std::endian::big) {
            for (std::int16_t& w : words)
                w = static_cast<std::int16_t>(__builtin_bswap16(static_cast<std::uint16_t>(w)));
        }
        std::memcpy(channel + TIME_HEADER_BYTES, words, sizeof words);
    }
    return clipped;
}

void count_values(const double* values, std::size_t n, double scale, ValueCounts& counts) {
    std::int16_t scratch[SAMPLES];
    for (std::size_t b = 0; b < n; b += SAMPLES)
        convert<true>(values + b, std::min<std::size_t>(n - b, SAMPLES), scale, scratch, counts);
}

char* ascii_block(const BlockValues& b, const WriteOptions& o, char* out) {
    // The minute and second fields, the same on all three lines.
    const AsciiBlockTime t =
        ascii_block_time(stored_block_time(b.time), o.unix_seconds, o.minute_of_day);
    char prefix[2 * FORMAT_MAX + 2];
    char* end = format_f0(prefix, t.minute);
    *end++ = ' ';
    end = format_g14(end, t.second);
    const auto length = static_cast<std::size_t>(end - prefix);
    for (unsigned c = 0; c < CHANNELS; ++c) {
        std::memcpy(out, prefix, length);
        out += length;
        const double* v = b.values[c];
        for (unsigned j = 0; j < SAMPLES; ++j) {
            *out++ = ' ';
            out = format_g14(out, v[j] * o.scale);
        }
        *out++ = '\n';
    }
    return out;
}

std::string built_header(const BuiltHeader& h) {
    if (!time_breaks_down(h.start)) return "";
    const std::string start = utc_text(stored_whole_seconds(h.start), BUILT_HEADER_TIME_FORMAT);
    std::string line(h.unix_seconds ? HEADER_PREFIX_UNIX : HEADER_PREFIX_MINUTE_SECOND);
    return line + frequency_text(h.sampfrek, h.exact_sampfrek) + " gain: " + h.gain +
           " station: " + h.station + " " + start;
}

void Writer::header(std::string_view comment) {
    const std::string line = strip_line_ends(comment);
    out_.write(line.data(), line.size());
    out_.write(options_.form == Form::binary ? &BINARY_HEADER_END : &ASCII_HEADER_END, 1);
}

unsigned Writer::block(const BlockValues& b, ValueCounts* counts) {
    if (options_.form == Form::ascii) {
        out_.commit(ascii_block(b, options_, out_.reserve(ASCII_BLOCK_ROOM)));
        return 0;
    }
    auto* record = reinterpret_cast<unsigned char*>(out_.reserve(RECORD_BYTES));
    const unsigned clipped =
        binary_record(b, options_.scale, options_.unix_seconds, record, counts);
    out_.commit(reinterpret_cast<char*>(record) + RECORD_BYTES);
    return clipped;
}

} // namespace avq
