// The summary of one AVQ file: see summary.h.
#include "summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace avqdump {

void Steps::add(double t, bool wraps_at_midnight) {
    if (prev_time) {
        double d = t - *prev_time;
        if (d < 0 && wraps_at_midnight) d += 86400;
        if (!first_step) {
            first_step = d;
            min_step = max_step = d;
        }
        min_step = std::min(min_step, d);
        max_step = std::max(max_step, d);
        if (first_odd_block == 0 && (std::fabs(d - *first_step) > tolerance || d <= 0))
            first_odd_block = blocks;
        if (first_half_odd_block == 0 && std::fabs(d - *first_step) > tolerance / 2)
            first_half_odd_block = blocks;
    }
    prev_time = t;
    ++blocks;
}

bool Steps::regular() const {
    return min_step > 0 && max_step - min_step <= tolerance;
}

std::uint64_t Steps::first_irregular_block() const {
    if (blocks < 2 || regular()) return 0;
    return first_odd_block > 0 ? first_odd_block : first_half_odd_block;
}

std::string Steps::describe() const {
    char buf[256];
    if (blocks == 0) return "none (no blocks)";
    if (blocks == 1) return "one block only";
    if (regular()) {
        if (max_step - min_step > 1e-6) {
            std::snprintf(buf, sizeof buf, "regular, one block every %g to %g s", min_step,
                          max_step);
        } else {
            std::snprintf(buf, sizeof buf, "regular, one block every %g s", min_step);
        }
        return buf;
    }
    std::snprintf(buf, sizeof buf,
                  "irregular, steps from %g to %g s; block %llu is the first whose step "
                  "differs from the first step (%g s)",
                  min_step, max_step, static_cast<unsigned long long>(first_irregular_block()),
                  *first_step);
    return buf;
}

void Summary::add(const avq::Block& b, avq::Form form) {
    if (form == avq::Form::binary) {
        for (unsigned c = 0; c < avq::CHANNELS; ++c) {
            for (std::int16_t v : b.samples[c]) {
                at_max[c] += v == avq::SAMPLE_MAX;
                at_min[c] += v == avq::SAMPLE_MIN;
            }
        }
        normal.add(b.time.word0 * 60.0 + b.time.word1, true);
        unix_seconds.add(avq::header_value(b.time), false);
        if (blocks == 0) first_words = b.time;
        last_words = b.time;
    } else {
        // The minute of the day wraps at midnight; minutes since the
        // epoch and the Unix-time form (minute 0) do not.
        const double m = b.ascii_minute;
        const bool wraps =
            prev_ascii_minute >= 0 && prev_ascii_minute < 1440 && m < 1440 && m < prev_ascii_minute;
        ascii.add(m * 60 + b.ascii_second, wraps);
        prev_ascii_minute = m;
        last_ascii = {std::string(b.fields[0][0]), std::string(b.fields[0][1]), b.ascii_minute,
                      b.ascii_second};
        if (blocks == 0) first_ascii = last_ascii;
    }
    ++blocks;
}

const Steps& Summary::steps(const avq::Timeline& timeline) const {
    if (timeline.form() == avq::Form::ascii) return ascii;
    return timeline.kind() == avq::TimeKind::unix_seconds ? unix_seconds : normal;
}

} // namespace avqdump
