// Block and sample times in UTC: see sample_times.h.
#include "sample_times.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace avqdump {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

} // namespace

BinaryTimes binary_times(const std::string& header, TimeForm asked,
                         const std::optional<Misfit>& misfit) {
    const avq::HeaderMark mark = avq::header_mark(header);
    const bool says_unix = mark == avq::HeaderMark::unix_seconds;
    if (asked == TimeForm::normal) {
        if (says_unix) {
            throw avq::FormatError(
                "--normaltime: the block times are Unix times (the header begins "
                "with \"!U\"), not minute of the day and second");
        }
        if (misfit) {
            char buf[160];
            std::snprintf(buf, sizeof buf,
                          "--normaltime: the block times are Unix times, not minute of the day "
                          "and second (block %llu holds %u %u)",
                          static_cast<unsigned long long>(misfit->block), misfit->words.word0,
                          misfit->words.word1);
            throw avq::FormatError(buf);
        }
        return {false, "as asked"};
    }
    if (asked == TimeForm::unix_seconds) return {true, "as asked"};
    if (says_unix) return {true, "the header begins with \"!U\""};
    if (mark == avq::HeaderMark::minute_second) return {false, "the header begins with \"!S\""};
    if (misfit) return {true, "the values are no minute of the day and second"};
    return {false, "the values fit a minute of the day and a second"};
}

StoredTime ascii_time_meaning(double minute, double second) {
    if (!std::isfinite(minute) || !std::isfinite(second) || minute < 0 || second < 0 ||
        minute > 1e12 || second > 1e15)
        return {};
    if (minute == 0 && second >= 60) return {TimeKind::unix_seconds, second};
    if (minute >= 1440) return {TimeKind::epoch_minutes, minute * 60 + second};
    return {TimeKind::minute_of_day, minute * 60 + second};
}

double header_sampfrek(std::string_view header) {
    constexpr std::string_view key = "sampfrek:";
    const std::size_t at = header.find(key);
    if (at == std::string_view::npos) return 0;
    std::size_t i = at + key.size();
    while (i < header.size() && header[i] == ' ')
        ++i;
    double f = 0;
    const auto r = std::from_chars(header.data() + i, header.data() + header.size(), f);
    return r.ec == std::errc() && std::isfinite(f) && f > 0 ? f : 0;
}

std::optional<std::int64_t> header_date(std::string_view header) {
    constexpr std::string_view key = "date: ";
    const std::size_t at = header.find(key);
    if (at == std::string_view::npos || header.size() < at + key.size() + 10) return {};
    const std::string_view d = header.substr(at + key.size(), 10);
    int part[3] = {0, 0, 0};
    const std::size_t begin[3] = {0, 5, 8}, end[3] = {4, 7, 10};
    for (int k = 0; k < 3; ++k) {
        const auto r = std::from_chars(d.data() + begin[k], d.data() + end[k], part[k]);
        if (r.ec != std::errc() || r.ptr != d.data() + end[k]) return {};
    }
    if (d[4] != '-' || d[7] != '-') return {};
    std::tm tm{};
    tm.tm_year = part[0] - 1900;
    tm.tm_mon = part[1] - 1;
    tm.tm_mday = part[2];
    const std::time_t t = timegm(&tm);
    // timegm moves a 31st of February on to March; such a date is no date.
    if (tm.tm_mon != part[1] - 1 || tm.tm_mday != part[2]) return {};
    return static_cast<std::int64_t>(t);
}

// --- TimedReader ---------------------------------------------------------------

TimedReader::TimedReader(avq::Reader& reader, TimeForm asked)
    : reader_(reader), asked_(asked), tolerance_(step_tolerance(reader.form())), ref_step_(NaN),
      prev_interval_(NaN) {
    facts_.form = reader.form();
    facts_.sampfrek = header_sampfrek(reader.header());
    facts_.date = header_date(reader.header());
}

void TimedReader::settle_kind(const avq::Block& first) {
    if (facts_.form == avq::Form::ascii) {
        facts_.kind = ascii_time_meaning(first.ascii_minute, first.ascii_second).kind;
        return;
    }
    std::optional<Misfit> misfit;
    if (!avq::fits_minute_second(first.time)) misfit = Misfit{first.index, first.time};
    facts_.kind = binary_times(reader_.header(), asked_, misfit).unix_seconds
                      ? TimeKind::unix_seconds
                      : TimeKind::minute_of_day;
}

double TimedReader::dated(double time_of_day) {
    if (prev_time_of_day_ >= 0 && time_of_day < prev_time_of_day_) ++days_;
    prev_time_of_day_ = time_of_day;
    return static_cast<double>(facts_.date.value_or(0) + days_ * 86400) + time_of_day;
}

double TimedReader::block_start(const avq::Block& b) {
    if (facts_.form == avq::Form::binary) {
        if (facts_.kind == TimeKind::unix_seconds) return avq::header_value(b.time);
        if (asked_ == TimeForm::normal && !avq::fits_minute_second(b.time))
            binary_times(reader_.header(), asked_, Misfit{b.index, b.time}); // throws
        return dated(b.time.word0 * 60.0 + b.time.word1);
    }
    const StoredTime t = ascii_time_meaning(b.ascii_minute, b.ascii_second);
    switch (t.kind) {
    case TimeKind::minute_of_day:
        return dated(t.seconds);
    case TimeKind::unknown:
        return NaN;
    default:
        return t.seconds;
    }
}

bool TimedReader::breaks_run(double step) {
    if (!std::isfinite(step) || step <= 0) return true;
    if (std::isnan(ref_step_)) {
        ref_step_ = step;
        return false;
    }
    if (std::fabs(step - ref_step_) > tolerance_) return true;
    ref_step_ = step;
    return false;
}

void TimedReader::read_ahead() {
    const int n = cur_ ^ 1;
    have_next_ = reader_.next(blocks_[n]);
    if (!have_next_) return;
    times_[n] = block_start(blocks_[n]);
    irregular_[n] = breaks_run(times_[n] - times_[cur_]);
}

bool TimedReader::next(TimedBlock& out) {
    if (!started_) {
        started_ = true;
        if (!reader_.next(blocks_[0])) return false;
        settle_kind(blocks_[0]);
        times_[0] = block_start(blocks_[0]);
        cur_ = 0;
    } else {
        if (!have_next_) return false;
        cur_ ^= 1;
    }
    read_ahead();
    const int n = cur_ ^ 1;
    double interval = prev_interval_;
    if (facts_.sampfrek > 0) {
        interval = 1 / facts_.sampfrek;
    } else if (have_next_ && !irregular_[n]) {
        interval = (times_[n] - times_[cur_]) / avq::SAMPLES;
    }
    prev_interval_ = interval;
    out = {&blocks_[cur_], times_[cur_], interval, irregular_[cur_]};
    return true;
}

} // namespace avqdump
