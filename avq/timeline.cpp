// The sample times of an AVQ file: the meaning of its block times, its
// sampling frequency and its runs. The rules are in <avq/timeline.h>.
#include <avq/timeline.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace avq {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Rounding allowed where the bounds of a binary run's start meet.
constexpr double ROUNDING = 1e-6;
// The most significant digits a fitted frequency is given.
constexpr int FIT_DIGITS = 12;

bool binary_form(Form form) {
    return form == Form::binary;
}

// Whether block time `t`, `i` blocks after the first of run `r`, continues
// the run; when it does, the run's start is settled again. `lo` and `hi`
// are the bounds of a binary run's start so far.
bool joins(Run& r, double t, std::uint64_t i, Form form, double period, double& lo, double& hi) {
    if (!std::isfinite(t) || !std::isfinite(r.start) || !std::isfinite(period)) return false;
    const double shift = static_cast<double>(i) * period;
    if (!binary_form(form)) return std::fabs(t - (r.start + shift)) < 0.5 * period / SAMPLES;
    const double new_lo = std::max(lo, t - shift);
    const double new_hi = std::min(hi, t + 1 - shift);
    if (!(new_lo < new_hi + ROUNDING)) return false;
    lo = new_lo;
    hi = new_hi;
    r.start = lo;
    return true;
}

std::vector<Run> form_runs(const std::vector<double>& times, Form form, double fs) {
    const double period = SAMPLES / fs;
    std::vector<Run> runs;
    double lo = 0, hi = 0;
    for (std::uint64_t k = 0; k < times.size(); ++k) {
        const double t = times[k];
        if (!runs.empty()) {
            Run& r = runs.back();
            if (joins(r, t, k - r.first_block, form, period, lo, hi)) {
                ++r.blocks;
                continue;
            }
        }
        runs.push_back({k, 1, t});
        lo = t;
        hi = t + 1;
    }
    return runs;
}

// Blocks whose steps between block times keep to the segment's first step.
struct Segment {
    std::size_t first = 0;
    std::size_t blocks = 0;
};

std::vector<Segment> segments(const std::vector<double>& times, Form form) {
    std::vector<Segment> segs;
    double first_step = NaN;
    for (std::size_t k = 0; k < times.size(); ++k) {
        bool breaks = k == 0;
        if (!breaks) {
            const double step = times[k] - times[k - 1];
            breaks = !std::isfinite(step) || step < 0 || (!binary_form(form) && step == 0);
            if (!breaks && !std::isnan(first_step)) {
                const double tolerance = binary_form(form) ? 1 + ROUNDING : first_step / 1024;
                breaks = std::fabs(step - first_step) > tolerance;
            }
            if (!breaks && std::isnan(first_step)) first_step = step;
        }
        if (breaks) {
            segs.push_back({k, 1});
            first_step = NaN;
        } else {
            ++segs.back().blocks;
        }
    }
    return segs;
}

// Calls `accept` with the numbers in [lo, hi] that have 1, 2, ... FIT_DIGITS
// significant digits, those nearest the middle first (a few of each count),
// until it returns true. Returns whether it did.
template <class Accept> bool simplest_numbers(double lo, double hi, Accept accept) {
    const int top = static_cast<int>(std::floor(std::log10(hi)));
    for (int digits = 1; digits <= FIT_DIGITS; ++digits) {
        // Candidates are k × 10^e: k counts in units of the last digit.
        const int e = top - digits + 1;
        const double unit = std::pow(10.0, std::abs(e));
        const auto value = [&](double k) { return e >= 0 ? k * unit : k / unit; };
        const double a = std::ceil(e >= 0 ? lo / unit : lo * unit);
        const double b = std::floor(e >= 0 ? hi / unit : hi * unit);
        if (a > b) continue;
        const double middle = (a + b) / 2;
        std::vector<double> ks;
        for (double d : {0.0, -1.0, 1.0, -2.0, 2.0}) {
            const double k = std::round(middle) + d;
            if (k >= a && k <= b) ks.push_back(k);
        }
        std::stable_sort(ks.begin(), ks.end(), [&](double x, double y) {
            return std::fabs(x - middle) < std::fabs(y - middle);
        });
        for (std::size_t i = 0; i < ks.size() && i < 4; ++i) {
            const double f = value(ks[i]);
            if (f >= lo && f <= hi && accept(f)) return true;
        }
    }
    return false;
}

double fit_frequency(const std::vector<double>& times, Form form) {
    const std::vector<Segment> segs = segments(times, form);
    double lo = -INFINITY, hi = INFINITY;
    double longest_lo = 0, longest_hi = 0;
    std::size_t longest = 0;
    for (const Segment& s : segs) {
        if (s.blocks < 2) continue;
        const auto m = static_cast<double>(s.blocks - 1);
        const double span = times[s.first + s.blocks - 1] - times[s.first];
        const double w = binary_form(form) ? 1 : span / m / SAMPLES;
        const double p_lo = (span - w) / m, p_hi = (span + w) / m;
        lo = std::max(lo, p_lo);
        hi = std::min(hi, p_hi);
        if (s.blocks > longest) longest = s.blocks, longest_lo = p_lo, longest_hi = p_hi;
    }
    if (longest == 0) return NaN;
    if (!(lo < hi)) lo = longest_lo, hi = longest_hi;
    if (!(lo > 0) || !std::isfinite(hi)) return NaN; // the block times allow any frequency
    double fs = SAMPLES / ((lo + hi) / 2);
    simplest_numbers(SAMPLES / hi, SAMPLES / lo, [&](double f) {
        if (form_runs(times, form, f).size() > segs.size()) return false;
        fs = f;
        return true;
    });
    return fs;
}

} // namespace

BinaryTimes binary_times(std::string_view header, BlockTimeForm asked,
                         const std::optional<Misfit>& misfit) {
    const HeaderMark mark = header_mark(header);
    const bool says_unix = mark == HeaderMark::unix_seconds;
    if (asked == BlockTimeForm::minute_second) {
        if (says_unix) {
            throw FormatError("the block times are Unix times (the header begins with \"!U\"), "
                              "not minute of the day and second");
        }
        if (misfit) {
            char buf[160];
            std::snprintf(buf, sizeof buf,
                          "the block times are Unix times, not minute of the day and second "
                          "(block %llu holds %u %u)",
                          static_cast<unsigned long long>(misfit->block), misfit->words.word0,
                          misfit->words.word1);
            throw FormatError(buf);
        }
        return {false, "as asked"};
    }
    if (asked == BlockTimeForm::unix_seconds) return {true, "as asked"};
    if (says_unix) return {true, "the header begins with \"!U\""};
    if (mark == HeaderMark::minute_second) return {false, "the header begins with \"!S\""};
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
    // A 31st of February is no date.
    if (part[1] < 1 || part[1] > 12 || part[2] < 1 ||
        static_cast<unsigned>(part[2]) > days_in_month(part[0], static_cast<unsigned>(part[1])))
        return {};
    return days_from_civil(part[0], static_cast<unsigned>(part[1]),
                           static_cast<unsigned>(part[2])) *
           86400;
}

// --- Timeline ------------------------------------------------------------------

const Run& Timeline::run_of(std::uint64_t block) const {
    const auto after =
        std::upper_bound(runs_.begin(), runs_.end(), block,
                         [](std::uint64_t b, const Run& r) { return b < r.first_block; });
    return *(after - 1);
}

double Timeline::offset(std::uint64_t n) const {
    const std::uint64_t i = n - run_of(n / SAMPLES).first_block * SAMPLES;
    if (std::isfinite(fs_)) return static_cast<double>(i) / fs_;
    return i == 0 ? 0 : NaN;
}

// --- TimelineBuilder --------------------------------------------------------------

TimelineBuilder::TimelineBuilder(std::string_view header, Form form, BlockTimeForm asked)
    : header_(header), form_(form), asked_(asked) {}

void TimelineBuilder::add(const Block& b) {
    if (binary_form(form_)) {
        add(b.time);
    } else {
        minute_s_.push_back({b.ascii_minute, b.ascii_second});
    }
}

void TimelineBuilder::add(TimeHeader binary_time) {
    if (!misfit_ && !fits_minute_second(binary_time)) misfit_ = Misfit{words_.size(), binary_time};
    words_.push_back(binary_time);
}

std::vector<double> TimelineBuilder::seconds(Timeline& t) const {
    const std::optional<std::int64_t> date = header_date(header_);
    // Minutes of the day, dated from the header and counting the midnights
    // passed.
    double prev_of_day = -1;
    std::int64_t days = 0;
    const auto dated = [&](double of_day) {
        if (prev_of_day >= 0 && of_day < prev_of_day) ++days;
        prev_of_day = of_day;
        return static_cast<double>(date.value_or(0) + days * 86400) + of_day;
    };
    std::vector<double> s;
    if (binary_form(form_)) {
        const BinaryTimes bt = binary_times(header_, asked_, misfit_);
        t.kind_ = bt.unix_seconds ? TimeKind::unix_seconds : TimeKind::minute_of_day;
        t.reason_ = bt.why;
        s.reserve(words_.size());
        for (const TimeHeader& w : words_)
            s.push_back(bt.unix_seconds ? header_value(w) : dated(w.word0 * 60.0 + w.word1));
    } else {
        s.reserve(minute_s_.size());
        for (const auto& [minute, second] : minute_s_) {
            const StoredTime st = ascii_time_meaning(minute, second);
            if (s.empty()) t.kind_ = st.kind;
            s.push_back(st.kind == TimeKind::minute_of_day ? dated(st.seconds)
                        : st.kind == TimeKind::unknown     ? NaN
                                                           : st.seconds);
        }
    }
    t.dated_ = t.kind_ != TimeKind::minute_of_day || date.has_value();
    return s;
}

Timeline TimelineBuilder::finish() const {
    Timeline t;
    t.form_ = form_;
    t.block_times_ = seconds(t);
    const double sampfrek = header_sampfrek(header_);
    if (sampfrek > 0) {
        t.fs_ = sampfrek;
        t.fs_source_ = FrequencySource::header;
    } else {
        t.fs_ = fit_frequency(t.block_times_, form_);
        t.fs_source_ = std::isnan(t.fs_) ? FrequencySource::unknown : FrequencySource::fitted;
    }
    t.runs_ = form_runs(t.block_times_, form_, t.fs_);
    return t;
}

Timeline read_timeline(Reader& reader, BlockTimeForm asked) {
    TimelineBuilder builder(reader.header(), reader.form(), asked);
    Block b;
    while (reader.next(b))
        builder.add(b);
    return builder.finish();
}

} // namespace avq
