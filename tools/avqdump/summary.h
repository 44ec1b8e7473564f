// The summary of one AVQ file behind --info, in text or JSON: block count,
// first and last block time as stored, the steps between block times, and
// per channel the samples at the 16-bit limits (binary form). The sample
// times and runs come from the file's timeline (<avq/timeline.h>).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <avq/reader.h>
#include <avq/timeline.h>

namespace avqdump {

// How far two steps between block times may differ and still be regular, in
// seconds: binary times are whole seconds (truncated), so steps of one file
// may differ by one; ASCII times keep the fraction of the second.
constexpr double step_tolerance(avq::Form form) {
    return form == avq::Form::binary ? 1 : 1e-3;
}

// Steps between consecutive block times, in seconds.
struct Steps {
    explicit Steps(double tol) : tolerance(tol) {}
    double tolerance;
    std::optional<double> prev_time;
    std::optional<double> first_step;
    double min_step = 0, max_step = 0;
    std::uint64_t blocks = 0;
    std::uint64_t first_odd_block = 0; // block whose step first differs from the first step
    // ... by more than half the tolerance: the block to name when no step
    // leaves the tolerance but the steps spread wider than it.
    std::uint64_t first_half_odd_block = 0;

    void add(double t, bool wraps_at_midnight);
    bool regular() const;
    // The first block whose step breaks the regularity (0 when none does).
    std::uint64_t first_irregular_block() const;
    std::string describe() const;
};

// An ASCII block time: the two fields as stored and their values.
struct AsciiTime {
    std::string minute_field, second_field;
    double minute = 0, second = 0;
};

struct Summary {
    std::uint64_t blocks = 0;
    avq::TimeHeader first_words{}, last_words{};
    AsciiTime first_ascii, last_ascii;
    std::uint64_t at_max[avq::CHANNELS] = {}, at_min[avq::CHANNELS] = {};
    Steps normal{step_tolerance(avq::Form::binary)},
        unix_seconds{step_tolerance(avq::Form::binary)}, ascii{step_tolerance(avq::Form::ascii)};
    double prev_ascii_minute = -1;

    void add(const avq::Block& b, avq::Form form);
    // The steps of the block times as the file's form and `timeline` read
    // them.
    const Steps& steps(const avq::Timeline& timeline) const;
};

} // namespace avqdump
