// The integrity report of a group and the --summary line: see report.h.
#include "report.h"

#include <algorithm>

#include <avq/avq.h>

#include "strformat.h"

namespace {

// Classifies the step from `prev` to `p` in series k.
inline void report_step(GroupReport& r, int k, const Place& prev, const Place& p) {
    const double step = p.time - prev.time;
    if (step > r.s[k].gap_limit) {
        r.s[k].gaps.note(step, p);
    } else if (step <= 0) {
        r.s[k].backs.note(step, p);
    }
}

// Classifies the step from `prev` to `t` in every series.
void report_steps(GroupReport& r, const RowTimes& prev, const RowTimes& t) {
    for (int k = 0; k < r.series; ++k)
        report_step(r, k, prev.series[k], t.series[k]);
}

// Checks the channels of row `t` against each other.
void report_alignment(GroupReport& r, const RowTimes& t) {
    for (int k = 1; k < r.series; ++k) {
        const double d = t.series[k].time - t.series[0].time;
        if (std::fabs(d) > r.align_limit) r.out_of_line[k - 1].note(d, t.series[k]);
    }
}

void set_typical(GroupReport& r, const double* typical) {
    for (int k = 0; k < CHANNELS; ++k) {
        r.s[k].typical = typical[k];
        r.s[k].gap_limit = typical[k] > 0 ? 1.5 * typical[k] : INFINITY;
    }
    r.align_limit = typical[0] > 0 ? typical[0] / 2 : INFINITY;
    r.classifying = true;
}

// Classifies the buffered rows with the typical steps `typical`.
void replay_pending(GroupReport& r, const double* typical) {
    set_typical(r, typical);
    for (std::size_t i = 0; i < r.pending.size(); ++i) {
        if (i > 0) report_steps(r, r.pending[i - 1], r.pending[i]);
        report_alignment(r, r.pending[i]);
    }
    std::vector<RowTimes>().swap(r.pending);
}

// Finds the typical steps from the buffered rows and classifies them.
void resolve_pending(GroupReport& r) {
    double typical[CHANNELS] = {};
    std::vector<double> times(r.pending.size());
    for (int k = 0; k < r.series; ++k) {
        for (std::size_t i = 0; i < r.pending.size(); ++i)
            times[i] = r.pending[i].series[k].time;
        typical[k] = typical_step(times.data(), times.size());
    }
    replay_pending(r, typical);
}

// Feeds the times of one row: buffered until the typical steps are known,
// classified from then on.
void report_times(GroupReport& r, const RowTimes& t) {
    if (r.rows < ESTIMATE_ROWS) r.head[r.rows] = t.series[0];
    if (r.rows == 0) r.first = t;
    if (r.classifying) {
        if (r.rows > 0) report_steps(r, r.last, t);
        report_alignment(r, t);
    } else {
        r.pending.push_back(t);
        if (r.pending.size() == TYPICAL_ROWS) resolve_pending(r);
    }
    r.last = t;
    ++r.rows;
}

// `a` followed by `b`: counts add, the first place is a's when it has one.
void merge_finding(Finding& a, const Finding& b) {
    if (a.count == 0) {
        a.amount = b.amount;
        a.at = b.at;
    }
    a.count += b.count;
}

// Merges the times of `b`, whose typical steps are known, after those of
// `a`, which holds rows.
void merge_classified(GroupReport& a, const GroupReport& b) {
    if (!a.classifying) {
        double typical[CHANNELS];
        for (int k = 0; k < CHANNELS; ++k)
            typical[k] = b.s[k].typical;
        replay_pending(a, typical);
    }
    report_steps(a, a.last, b.first); // the step between the halves
    for (int k = 0; k < a.series; ++k) {
        merge_finding(a.s[k].gaps, b.s[k].gaps);
        merge_finding(a.s[k].backs, b.s[k].backs);
    }
    for (int k = 0; k < 2; ++k)
        merge_finding(a.out_of_line[k], b.out_of_line[k]);
    for (std::uint64_t i = 0; i < b.rows && a.rows + i < ESTIMATE_ROWS; ++i)
        a.head[a.rows + i] = b.head[i];
    a.last = b.last;
    a.rows += b.rows;
}

std::string when(const Place& p) {
    std::string s = "(";
    s += avq::utc_text_hundredths(p.time);
    s += " UTC)";
    return s;
}

unsigned long long ull(std::uint64_t v) {
    return static_cast<unsigned long long>(v);
}

const char* series_name(const GroupReport& r, int k) {
    return r.setup.names[r.series_slot[k]];
}

// The built header's estimate: ten steps of channel 1 over the time they
// span, between the first and the eleventh row (all rows when fewer), as
// the header computes it.
void check_estimate(const GroupReport& r, std::vector<std::string>& out) {
    if (r.rows == 0) return;
    const std::size_t b =
        static_cast<std::size_t>(std::min<std::uint64_t>(r.rows, ESTIMATE_ROWS)) - 1;
    const Place& p0 = r.head[0];
    const Place& p1 = r.head[b];
    const char* name = series_name(r, 0);
    if (b == 0) {
        out.push_back(strformat("Warning: sampling frequency estimate 0 is not a positive finite "
                                "number: %s has one data row only (line %llu)\n",
                                name, ull(p0.line)));
        return;
    }
    const double d = p1.time - p0.time;
    const double f = static_cast<double>(b) / d;
    if (f > 0 && std::isfinite(f)) return;
    const std::string head =
        strformat("Warning: sampling frequency estimate %g is not a positive finite number: ", f);
    if (d == 0) {
        out.push_back(head +
                      strformat("the times at lines %llu and %llu of %s are equal ", ull(p0.line),
                                ull(p1.line), name) +
                      when(p0) + "\n");
    } else if (d < 0) {
        out.push_back(head + strformat("the time at line %llu of %s ", ull(p1.line), name) +
                      when(p1) + strformat(" is before the one at line %llu ", ull(p0.line)) +
                      when(p0) + "\n");
    } else {
        out.push_back(head + strformat("the times at lines %llu and %llu of %s do not differ by a "
                                       "finite amount\n",
                                       ull(p0.line), ull(p1.line), name));
    }
}

void report_series(const GroupReport& r, int k, std::vector<std::string>& out) {
    const char* name = series_name(r, k);
    const Finding& g = r.s[k].gaps;
    if (g.count == 1) {
        out.push_back(strformat("Warning: 1 gap in %s, %g s long before line %llu ", name, g.amount,
                                ull(g.at.line)) +
                      when(g.at) + "\n");
    } else if (g.count > 1) {
        out.push_back(strformat("Warning: %llu gaps in %s, the first %g s long before line %llu ",
                                ull(g.count), name, g.amount, ull(g.at.line)) +
                      when(g.at) + "\n");
    }
    const Finding& b = r.s[k].backs;
    if (b.count == 1) {
        out.push_back(strformat("Warning: time does not increase at 1 line of %s: line %llu ", name,
                                ull(b.at.line)) +
                      when(b.at) + "\n");
    } else if (b.count > 1) {
        out.push_back(strformat("Warning: time does not increase at %llu lines of %s, the first at "
                                "line %llu ",
                                ull(b.count), name, ull(b.at.line)) +
                      when(b.at) + "\n");
    }
}

void report_alignment_lines(const GroupReport& r, std::vector<std::string>& out) {
    for (int k = 1; k < r.series; ++k) {
        const Finding& f = r.out_of_line[k - 1];
        if (f.count == 0) continue;
        const std::string place = f.count == 1 ? strformat("at 1 row: line %llu", ull(f.at.line))
                                               : strformat("at %llu rows, the first at line %llu",
                                                           ull(f.count), ull(f.at.line));
        out.push_back(strformat("Warning: channel %d (%s) is %g s %s channel 1 ", k + 1,
                                series_name(r, k), std::fabs(f.amount),
                                f.amount < 0 ? "behind" : "ahead of") +
                      place + "\n");
    }
}

void report_values(const GroupReport& r, std::vector<std::string>& out) {
    if (!r.setup.binary_values) return;
    for (int c = 0; c < CHANNELS; ++c) {
        // Of the values that are not 0 (nor nan), more than half.
        const ValueCounts& v = r.values[c];
        const std::uint64_t small = v.below_one - v.zero;
        const std::uint64_t nans = v.nan;
        if (small * 2 > r.rows - v.zero - v.nan) {
            out.push_back(strformat("Warning: %llu of %llu values of channel %d are stored as 0 "
                                    "because |value x scale| < 1; use -s to scale them up or "
                                    "--ascii to keep them\n",
                                    ull(small), ull(r.rows), c + 1));
        }
        if (nans == 1) {
            out.push_back(strformat("Warning: 1 value of channel %d is not a number (nan) and is "
                                    "stored as 0\n",
                                    c + 1));
        } else if (nans > 1) {
            out.push_back(strformat("Warning: %llu values of channel %d are not numbers (nan) and "
                                    "are stored as 0\n",
                                    ull(nans), c + 1));
        }
    }
}

constexpr double DAY = 86400.0; // seconds

} // namespace

double typical_step(const double* times, std::size_t n) {
    std::vector<double> steps;
    steps.reserve(n);
    for (std::size_t i = 1; i < n; ++i) {
        const double step = times[i] - times[i - 1];
        if (std::isfinite(step)) steps.push_back(step);
    }
    if (steps.empty()) return 0.0;
    const std::size_t mid = steps.size() / 2;
    std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(mid), steps.end());
    const double upper = steps[mid];
    if (steps.size() % 2 == 1) return upper;
    const double lower =
        *std::max_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(mid));
    return (lower + upper) / 2;
}

void report_begin(GroupReport& r, const ReportSetup& setup) {
    r = GroupReport{};
    r.setup = setup;
    const Layout& l = *setup.layout;
    r.series = l.series;
    for (int k = 0; k < CHANNELS; ++k) {
        r.series_channel[k] = l.series_channel(k);
        r.series_slot[k] = l.series_slot(k);
    }
    if (setup.typical_given) {
        set_typical(r, setup.typical_step);
    } else {
        r.pending.reserve(TYPICAL_ROWS);
    }
}

void report_add_values(GroupReport& r, const ValueCounts* counts) {
    for (int c = 0; c < CHANNELS; ++c) {
        r.values[c].below_one += counts[c].below_one;
        r.values[c].zero += counts[c].zero;
        r.values[c].nan += counts[c].nan;
    }
}

namespace {

// Whether row r.rows takes the steady loops below: the typical steps are
// known and the first rows (the head) are kept.
bool steady(const GroupReport& r) {
    return r.classifying && r.rows >= ESTIMATE_ROWS;
}

// Feeds the times of row j of `b` as read, before the rows are steady.
// Series that the layout does not have repeat the first one.
void report_row(GroupReport& r, const RowBlock& b, unsigned j) {
    RowTimes t;
    for (int k = 0; k < CHANNELS; ++k)
        t.series[k] = {b.time[r.series_channel[k]][j], b.line[r.series_slot[k]][j]};
    report_times(r, t);
}

// The steady rows `from` to n - 1 of one time series held in channel 1's
// time (the time file, the four-column file): its steps only, in a tight
// loop.
void steady_one_series(GroupReport& r, const RowBlock& b, unsigned from, unsigned n) {
    const double limit = r.s[0].gap_limit;
    const double* time = b.time[0];
    const std::uint64_t* line = b.line[r.series_slot[0]];
    double prev = r.last.series[0].time;
    for (unsigned j = from; j < n; ++j) {
        const double t = time[j];
        const double step = t - prev;
        // Not a number is neither a gap nor a step back.
        if (step > limit || step <= 0) [[unlikely]]
            report_step(r, 0, {prev, 0}, {t, line[j]});
        prev = t;
    }
    r.last.series[0] = {prev, line[n - 1]};
}

// The same for three two-column files: each channel's steps and its
// alignment with channel 1.
void steady_three_series(GroupReport& r, const RowBlock& b, unsigned from, unsigned n) {
    const double align = r.align_limit;
    double prev[CHANNELS];
    double limit[CHANNELS];
    for (int k = 0; k < CHANNELS; ++k) {
        prev[k] = r.last.series[k].time;
        limit[k] = r.s[k].gap_limit;
    }
    for (unsigned j = from; j < n; ++j) {
        for (int k = 0; k < CHANNELS; ++k) {
            const double t = b.time[k][j];
            const double step = t - prev[k];
            if (step > limit[k] || step <= 0) [[unlikely]]
                report_step(r, k, {prev[k], 0}, {t, b.line[k + 1][j]});
            prev[k] = t;
        }
        for (int k = 1; k < CHANNELS; ++k) {
            const double d = b.time[k][j] - b.time[0][j];
            if (std::fabs(d) > align) [[unlikely]]
                r.out_of_line[k - 1].note(d, {b.time[k][j], b.line[k + 1][j]});
        }
    }
    for (int k = 0; k < CHANNELS; ++k)
        r.last.series[k] = {prev[k], b.line[k + 1][n - 1]};
}

} // namespace

void report_block(GroupReport& r, const RowBlock& b, unsigned n) {
    unsigned j = 0;
    for (; j < n && !steady(r); ++j)
        report_row(r, b, j);
    if (j == n) return;
    if (r.series == 1) {
        steady_one_series(r, b, j, n);
    } else {
        steady_three_series(r, b, j, n);
    }
    r.rows += n - j;
}

void report_input_end(GroupReport& r, int slot, std::uint64_t left) {
    r.ended_slot = slot;
    r.left = left;
}

void report_merge(GroupReport& first, const GroupReport& second) {
    report_add_values(first, second.values);
    if (second.ended_slot >= 0) report_input_end(first, second.ended_slot, second.left);
    if (second.rows == 0) return;
    if (!second.classifying) {
        // All of its rows are still buffered: read them on.
        for (const RowTimes& t : second.pending)
            report_times(first, t);
        return;
    }
    if (first.rows == 0) {
        // The times are the second's; the values counted stay.
        const GroupReport kept = first;
        first = second;
        for (int c = 0; c < CHANNELS; ++c)
            first.values[c] = kept.values[c];
        return;
    }
    merge_classified(first, second);
}

std::vector<std::string> report_end(GroupReport& r, bool header_built) {
    if (!r.classifying) resolve_pending(r);
    std::vector<std::string> out;
    if (header_built) check_estimate(r, out);
    const char* ended = r.ended_slot >= 0 ? r.setup.names[r.ended_slot] : series_name(r, 0);
    if (r.rows == 0) out.push_back(strformat("Warning: no data rows in %s\n", ended));
    if (r.ended_slot >= 0 && r.left > 0) {
        out.push_back(strformat("Warning: %s ends after %llu rows; the last %llu rows of the other "
                                "channels are not converted\n",
                                ended, ull(r.rows), ull(r.left)));
    }
    for (int k = 0; k < r.series; ++k)
        report_series(r, k, out);
    report_alignment_lines(r, out);
    if (r.setup.minute_of_day && r.rows > 0 &&
        r.last.series[0].time - r.first.series[0].time > DAY) {
        std::string line = "Warning: the data span more than one day (from ";
        line += avq::utc_text_hundredths(r.first.series[0].time);
        line += " to ";
        line += avq::utc_text_hundredths(r.last.series[0].time);
        line += " UTC); binary block times hold the minute of the day only: use --unixtime to "
                "keep the date\n";
        out.push_back(line);
    }
    report_values(r, out);
    return out;
}

GroupSummary make_summary(const GroupReport& r, std::uint64_t rows_written, EndMode mode_of_end,
                          std::uint64_t clipped) {
    GroupSummary s;
    s.rows_read = r.rows;
    s.blocks = (rows_written + SAMPLES - 1) / SAMPLES;
    s.end_mode = mode_of_end;
    s.completed =
        mode_of_end == EndMode::truncate ? r.rows - rows_written : s.blocks * SAMPLES - r.rows;
    s.clipped = clipped;
    s.has_times = r.rows > 0;
    s.first_time = r.first.series[0].time;
    s.last_time = r.last.series[0].time;
    s.typical_known = r.rows > 1;
    s.typical = r.s[0].typical;
    return s;
}

std::string summary_line(const char* oname, const GroupSummary& s) {
    const char* completion = s.end_mode == EndMode::truncate ? "dropped by truncation"
                             : s.end_mode == EndMode::mirror ? "added by mirror fill"
                                                             : "added by zero fill";
    std::string line = strformat("summary: %s: %llu rows read, %llu blocks written, %llu rows %s, "
                                 "%llu values clipped, ",
                                 oname, ull(s.rows_read), ull(s.blocks), ull(s.completed),
                                 completion, ull(s.clipped));
    line += s.has_times ? avq::utc_text_hundredths(s.first_time) + " to " +
                              avq::utc_text_hundredths(s.last_time) + " UTC"
                        : std::string("no times");
    line += s.typical_known ? strformat(", typical interval %g s\n", s.typical)
                            : std::string(", typical interval unknown\n");
    return line;
}
