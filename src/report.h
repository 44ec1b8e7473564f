// The integrity report of a group: what is wrong with the data, in a few
// warning lines after the group has been read, without changing what is
// written.
//
// It is an accumulator fed a block of rows at a time during the reading
// (report_block), keeping counts and the first place of each finding, never
// the rows themselves: apart from the first TYPICAL_ROWS rows' times, which
// it holds until the typical step is known, its memory does not grow with
// the group. Every row of every group passes through it, so past the first
// rows a block takes a tight loop over its times.
//
// Each file that holds times (the time file, each two-column file, the
// four-column file) is one time series. Its typical step is the median of
// the steps between its first TYPICAL_ROWS rows (of all its rows when there
// are fewer; steps that are not finite numbers left out). Then:
// - a gap is a step longer than 1.5 times the typical step (when that is
//   above 0);
// - a time that does not increase is a step of 0 or less;
// - in three two-column files, channel 2 or 3 is out of line at a row when
//   its time differs from channel 1's by more than half of channel 1's
//   typical step.
// Over the rows read it counts, per channel, the values that the binary
// form stores as 0 because |value x scale| < 1, and those that are not
// numbers. Those counts are made where the values are converted anyway (the
// library's binary writer, <avq/writer.h>) and added with report_add_values.
//
// The typical steps may also be given from outside (ReportSetup), when the
// reading has found them up front; otherwise the first rows' times are
// buffered until there are TYPICAL_ROWS of them (or the group ends), and
// then classified in their order before the rows that follow.
//
// Halves of a group can be read by two accumulators and merged
// (report_merge): counts add, first places are the earlier ones, and the
// step between the halves is classified at the merge. The result is the one
// of a single accumulator fed every row, provided the halves use the same
// typical steps: both begun with the group's typical steps given
// (ReportSetup::typical_given), or the second half still holding all its
// rows in its buffer.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <avq/writer.h>

#include "row_reader.h"
#include "settings.h"

// Rows whose steps give the typical step.
inline constexpr std::size_t TYPICAL_ROWS = 1000;
// Rows whose channel-1 times the built header's estimate uses (rows 0 to
// 10).
inline constexpr std::size_t ESTIMATE_ROWS = 11;

// What the report knows of a group before its first row.
struct ReportSetup {
    const Layout* layout = &TWO_COLUMN;
    const char* names[4] = {};  // slot 0 the time file, 1-3 the channel files; null if unused
    bool binary_values = false; // count values stored as 0 or not numbers (binary form)
    double scale = 1.0;
    bool minute_of_day = false; // binary block times hold the minute of the day only
    bool typical_given = false; // typical_step holds the typical steps of the series
    double typical_step[CHANNELS] = {};
};

// One row of one time series: its time and its line in the series' file.
struct Place {
    double time = 0.0;
    std::uint64_t line = 0;
};

// The times of one row, per time series.
struct RowTimes {
    Place series[CHANNELS];
};

// A kind of finding: how often, and the first time (its size and place).
struct Finding {
    std::uint64_t count = 0;
    double amount = 0.0; // the step, or the time difference
    Place at;

    void note(double a, const Place& p) {
        if (count++ == 0) {
            amount = a;
            at = p;
        }
    }
};

struct SeriesReport {
    double typical = 0.0;
    double gap_limit = INFINITY; // steps above it are gaps
    Finding gaps;
    Finding backs; // steps of 0 or less
};

// What the binary form makes of a channel's values (<avq/writer.h>).
using ValueCounts = avq::ValueCounts;

struct GroupReport {
    ReportSetup setup;
    int series = 1;                    // time series: 3 for two-column files, else 1
    int series_slot[CHANNELS] = {};    // the input slot of each series
    int series_channel[CHANNELS] = {}; // the channel whose time the series holds (series k
                                       // repeats series 0 beyond the layout's series)
    std::uint64_t rows = 0;
    RowTimes first, last;
    Place head[ESTIMATE_ROWS];     // series 0 of the first rows
    bool classifying = false;      // the typical steps are known
    std::vector<RowTimes> pending; // the first rows, until then
    SeriesReport s[CHANNELS];
    double align_limit = INFINITY; // half of channel 1's typical step
    Finding out_of_line[2];        // channels 2 and 3 against channel 1
    ValueCounts values[CHANNELS];
    int ended_slot = -1;    // the input whose end stopped the reading
    std::uint64_t left = 0; // the most data lines left in another input
};

// Starts the report of a group.
void report_begin(GroupReport& r, const ReportSetup& setup);
// Feeds the first `n` rows of `b` as read.
void report_block(GroupReport& r, const RowBlock& b, unsigned n);
// Adds the counts of values of rows read, per channel.
void report_add_values(GroupReport& r, const ValueCounts* counts);
// The reading has ended at the end of input slot `slot`; `left` is the
// largest number of data lines that another input still held.
void report_input_end(GroupReport& r, int slot, std::uint64_t left);
// Makes `first` the report of its rows followed by those of `second`.
void report_merge(GroupReport& first, const GroupReport& second);
// The warning lines of the group, each ending in "\n". `header_built`: the
// header was built from the rows, so its frequency estimate is checked.
std::vector<std::string> report_end(GroupReport& r, bool header_built);
// The median of the finite steps between `n` times; 0 when there is none.
double typical_step(const double* times, std::size_t n);

// What --summary says of a group once its output is written.
struct GroupSummary {
    std::uint64_t rows_read = 0;
    std::uint64_t blocks = 0;
    std::uint64_t completed = 0; // rows added by the fill, or dropped by truncation
    EndMode end_mode = EndMode::zero;
    std::uint64_t clipped = 0;
    bool has_times = false;
    double first_time = 0.0, last_time = 0.0;
    bool typical_known = false;
    double typical = 0.0;
};

GroupSummary make_summary(const GroupReport& r, std::uint64_t rows_written, EndMode mode_of_end,
                          std::uint64_t clipped);
// "summary: OUT: ..." and a line end.
std::string summary_line(const char* oname, const GroupSummary& s);
