// The integrity report's accumulator: the typical step, the thresholds at
// their edges, and that halves of a group read by separate accumulators and
// merged give exactly what one accumulator fed every row gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <avq/writer.h>

#include "report.h"

namespace {

const char* const NAMES[4] = {"t.txt", "a.txt", "b.txt", "c.txt"};

ReportSetup setup_for(const Layout& layout, bool binary_values = true, double scale = 1.0) {
    ReportSetup s;
    s.layout = &layout;
    for (int k = 0; k < 4; ++k)
        s.names[k] = NAMES[k];
    s.binary_values = binary_values;
    s.scale = scale;
    s.minute_of_day = binary_values;
    return s;
}

// One row as the reading hands it over: each channel's time and value, and
// per-slot lines.
struct FedRow {
    struct {
        double time;
        double data;
    } ch[CHANNELS];
    std::uint64_t lines[4];
};

// The counts of `n` values of each channel of `rows`, as the binary writer
// makes them.
void count_rows(const FedRow* rows, std::size_t n, double scale, ValueCounts* counts) {
    for (int c = 0; c < CHANNELS; ++c) {
        std::vector<double> v;
        for (std::size_t i = 0; i < n; ++i)
            v.push_back(rows[i].ch[c].data);
        avq::count_values(v.data(), n, scale, counts[c]);
    }
}

// Feeds rows [from, to) as the reading does: a block at a time, and the
// counts of the values as the binary writer makes them.
void feed(GroupReport& r, const std::vector<FedRow>& rows, std::size_t from, std::size_t to) {
    const auto block = std::make_unique<RowBlock>();
    while (from < to) {
        const auto n = static_cast<unsigned>(std::min<std::size_t>(to - from, SAMPLES));
        for (unsigned j = 0; j < n; ++j) {
            for (int c = 0; c < CHANNELS; ++c) {
                block->time[c][j] = rows[from + j].ch[c].time;
                block->value[c][j] = rows[from + j].ch[c].data;
            }
            for (int k = 0; k < 4; ++k)
                block->line[k][j] = rows[from + j].lines[k];
        }
        report_block(r, *block, n);
        if (r.setup.binary_values) {
            ValueCounts counts[CHANNELS];
            count_rows(&rows[from], n, r.setup.scale, counts);
            report_add_values(r, counts);
        }
        from += n;
    }
}

// Rows of four-column data: `times`, values 1, 2, 3, one line each.
std::vector<FedRow> rows_at(const std::vector<double>& times) {
    std::vector<FedRow> rows;
    for (std::size_t i = 0; i < times.size(); ++i) {
        FedRow f{};
        for (int c = 0; c < CHANNELS; ++c)
            f.ch[c] = {times[i], static_cast<double>(c + 1)};
        for (auto& line : f.lines)
            line = i + 1;
        rows.push_back(f);
    }
    return rows;
}

std::vector<std::string> lines_of(const Layout& layout, const std::vector<FedRow>& rows) {
    GroupReport r;
    report_begin(r, setup_for(layout));
    feed(r, rows, 0, rows.size());
    return report_end(r, false);
}

std::vector<std::uint64_t> fields(const ValueCounts& n) {
    return {n.below_one, n.zero, n.nan};
}

TEST(ReportAccumulator, TypicalStepIsTheMedianOfTheFiniteSteps) {
    const std::vector<std::pair<std::vector<double>, double>> cases = {
        {{0, 1, 3, 4, 10}, 1.5},            // steps 1 2 1 6
        {{0, 1, 3, 6}, 2.0},                // steps 1 2 3
        {{0, NAN, 1, 2, INFINITY, 3}, 1.0}, // finite steps 1 1
        {{0}, 0.0},
    };
    for (const auto& [times, step] : cases)
        EXPECT_EQ(typical_step(times.data(), times.size()), step) << times.size();
}

TEST(ReportAccumulator, ValueCountsOfEveryKindAndLength) {
    // Two rows at a time where the machine allows, the rest one by one:
    // every number of rows from 0 to 7 over values of every kind gives the
    // counts of each channel.
    const double v[] = {0.5, -0.0, 1.0, -1.0, 0.999,  NAN, INFINITY, 0.0, 1e-300, -0.5, -INFINITY,
                        2.0, 0.25, NAN, 3.0,  -0.999, 0.0, 7.0,      NAN, 0.1,    -0.1};
    FedRow table[7];
    for (unsigned i = 0; i < 7 * CHANNELS; ++i)
        table[i / CHANNELS].ch[i % CHANNELS] = {0.0, v[i]};
    for (double scale : {1.0, 2.0, 0.0}) {
        for (unsigned rows = 0; rows <= 7; ++rows) {
            ValueCounts want[CHANNELS], got[CHANNELS];
            for (unsigned i = 0; i < rows * CHANNELS; ++i) {
                const double x = v[i] * scale;
                want[i % CHANNELS].below_one += std::fabs(x) < 1.0 ? 1u : 0u;
                want[i % CHANNELS].zero += v[i] == 0.0 ? 1u : 0u;
                want[i % CHANNELS].nan += std::isnan(x) ? 1u : 0u;
            }
            count_rows(table, rows, scale, got);
            for (int c = 0; c < CHANNELS; ++c)
                EXPECT_EQ(fields(got[c]), fields(want[c]))
                    << "scale " << scale << ", " << rows << " rows, channel " << c + 1;
        }
    }
    // Spot checks of the rule itself: at scale 0, infinity is not a number.
    ValueCounts at_zero[CHANNELS];
    count_rows(table, 7, 0.0, at_zero);
    EXPECT_EQ(at_zero[0].nan + at_zero[1].nan + at_zero[2].nan, 5u);
    EXPECT_EQ(at_zero[0].below_one + at_zero[1].below_one + at_zero[2].below_one, 16u);
}

TEST(ReportAccumulator, WarningsStartJustAboveTheirLimits) {
    // Typical step 2 (a power of two keeps the limits exact): a step of 3
    // is 1.5 times it and no gap; 3.5 is one.
    const auto gaps = rows_at({0, 2, 4, 6, 9, 11, 13, 16.5, 18.5});
    // Channel 2 one half step (1 s) off is in line; 1.25 s off is not.
    auto aligned = rows_at({0, 2, 4, 6, 8});
    aligned[1].ch[1].time = 3;
    aligned[3].ch[1].time = 4.75;
    aligned[4].ch[2].time = 9.25;
    // Channel 1: two of four non-zero values are below 1 (two zeroes do
    // not count): no line. Channel 2: three of five, and a nan.
    auto values = rows_at({0, 1, 2, 3, 4, 5});
    const double ch1[] = {0.5, 0, 0.9, 0, 7, -3};
    const double ch2[] = {0.5, -0.5, 0.99, 4, NAN, 5};
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i].ch[0].data = ch1[i];
        values[i].ch[1].data = ch2[i];
    }
    EXPECT_EQ(lines_of(FOUR_COLUMN, gaps),
              std::vector<std::string>{
                  "Warning: 1 gap in a.txt, 3.5 s long before line 8 (1970-01-01 00:00:16.50 "
                  "UTC)\n"});
    EXPECT_EQ(lines_of(TWO_COLUMN, aligned),
              (std::vector<std::string>{
                  "Warning: 1 gap in b.txt, 3.25 s long before line 5 (1970-01-01 00:00:08.00 "
                  "UTC)\n",
                  "Warning: 1 gap in c.txt, 3.25 s long before line 5 (1970-01-01 00:00:09.25 "
                  "UTC)\n",
                  "Warning: channel 2 (b.txt) is 1.25 s behind channel 1 at 1 row: line 4\n",
                  "Warning: channel 3 (c.txt) is 1.25 s ahead of channel 1 at 1 row: line 5\n"}));
    EXPECT_EQ(lines_of(FOUR_COLUMN, values),
              (std::vector<std::string>{
                  "Warning: 3 of 6 values of channel 2 are stored as 0 because |value x scale| < "
                  "1; use -s to scale them up or --ascii to keep them\n",
                  "Warning: 1 value of channel 2 is not a number (nan) and is stored as 0\n"}));
}

// Every field that the messages and the summary are made of.
void expect_same(const GroupReport& a, const GroupReport& b, const std::string& where) {
    SCOPED_TRACE(where);
    ASSERT_EQ(a.rows, b.rows);
    ASSERT_EQ(a.classifying, b.classifying);
    auto same_place = [](const Place& x, const Place& y) {
        return std::memcmp(&x.time, &y.time, sizeof x.time) == 0 && x.line == y.line;
    };
    auto same_finding = [&](const Finding& x, const Finding& y) {
        return x.count == y.count &&
               (x.count == 0 || (x.amount == y.amount && same_place(x.at, y.at)));
    };
    for (int k = 0; k < a.series; ++k) {
        EXPECT_TRUE(same_place(a.first.series[k], b.first.series[k])) << k;
        EXPECT_TRUE(same_place(a.last.series[k], b.last.series[k])) << k;
        EXPECT_EQ(a.s[k].typical, b.s[k].typical) << k;
        EXPECT_TRUE(same_finding(a.s[k].gaps, b.s[k].gaps)) << "gaps " << k;
        EXPECT_TRUE(same_finding(a.s[k].backs, b.s[k].backs)) << "backs " << k;
    }
    for (int k = 0; k < 2; ++k)
        EXPECT_TRUE(same_finding(a.out_of_line[k], b.out_of_line[k])) << "channel " << k + 2;
    for (std::uint64_t i = 0; i < a.rows && i < ESTIMATE_ROWS; ++i)
        EXPECT_TRUE(same_place(a.head[i], b.head[i])) << "head " << i;
    for (int c = 0; c < CHANNELS; ++c)
        EXPECT_EQ(fields(a.values[c]), fields(b.values[c])) << "channel " << c + 1;
    EXPECT_EQ(a.ended_slot, b.ended_slot);
    EXPECT_EQ(a.left, b.left);
}

// Rows of a station with the faults the report looks for: gaps, repeated
// and falling times, channels drifting apart for a while, comment lines
// between rows, values below 1, zeroes and nan.
std::vector<FedRow> random_rows(std::mt19937_64& gen, std::size_t n) {
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<FedRow> rows(n);
    double t = 1767312000.0;
    double offset[2] = {0, 0};
    std::uint64_t line[4] = {0, 0, 0, 0};
    for (FedRow& f : rows) {
        const double p = u(gen);
        t += p < 0.01 ? 0.05 * (2 + 50 * u(gen)) : p < 0.02 ? 0 : p < 0.025 ? -0.3 : 0.05;
        for (double& o : offset) {
            if (u(gen) < 0.01) o = u(gen) < 0.5 ? 0 : (u(gen) - 0.5) * 0.4;
        }
        f.ch[0] = {t, u(gen) - 0.5};
        f.ch[1] = {t + offset[0], u(gen) < 0.01 ? NAN : 1000 * (u(gen) - 0.5)};
        f.ch[2] = {t + offset[1], u(gen) < 0.1 ? 0.0 : 2 * u(gen)};
        for (std::size_t k = 0; k < 4; ++k) {
            line[k] += u(gen) < 0.02 ? 2u : 1u;
            f.lines[k] = line[k];
        }
    }
    return rows;
}

TEST(ReportAccumulator, HalvesMergedGiveWhatOneAccumulatorGives) {
    std::mt19937_64 gen(2026);
    for (int trial = 0; trial < 120; ++trial) {
        const Layout& layout = trial % 3 == 0   ? TWO_COLUMN
                               : trial % 3 == 1 ? FOUR_COLUMN
                                                : ONE_COLUMN;
        // Small groups, where the halves still buffer their rows, and
        // large ones, where the typical steps are given to the halves.
        const std::size_t n = trial % 2 == 0 ? gen() % 900 : 1000 + gen() % 4000;
        const std::vector<FedRow> rows = random_rows(gen, n);
        const ReportSetup plain = setup_for(layout, trial % 4 != 3, trial % 5 == 0 ? 1000 : 1);

        GroupReport whole;
        report_begin(whole, plain);
        feed(whole, rows, 0, n);
        report_input_end(whole, 2, 17);

        ReportSetup given = plain;
        if (n >= TYPICAL_ROWS) {
            // The typical steps as the streaming reader would find them
            // up front: from the first rows' times of each series.
            given.typical_given = true;
            for (int k = 0; k < CHANNELS; ++k) {
                std::vector<double> times;
                for (std::size_t i = 0; i < TYPICAL_ROWS; ++i)
                    times.push_back(rows[i].ch[layout.series_channel(k)].time);
                given.typical_step[k] = typical_step(times.data(), times.size());
            }
        }
        // Up to four pieces, split at random rows (empty pieces included).
        std::vector<std::size_t> cuts = {0, n};
        for (std::size_t c = gen() % 4; c > 0; --c)
            cuts.push_back(n == 0 ? 0 : gen() % (n + 1));
        std::sort(cuts.begin(), cuts.end());
        GroupReport merged;
        report_begin(merged, given);
        feed(merged, rows, 0, cuts[1]);
        for (std::size_t p = 1; p + 1 < cuts.size(); ++p) {
            GroupReport piece;
            report_begin(piece, given);
            feed(piece, rows, cuts[p], cuts[p + 1]);
            if (p + 2 == cuts.size()) report_input_end(piece, 2, 17);
            report_merge(merged, piece);
        }
        if (cuts.size() == 2) report_input_end(merged, 2, 17);

        const bool built = trial % 2 == 1;
        const auto want = report_end(whole, built);
        const auto got = report_end(merged, built);
        const std::string where = "trial " + std::to_string(trial) + ", " + std::to_string(n) +
                                  " rows, " + std::to_string(cuts.size() - 1) + " pieces";
        expect_same(whole, merged, where);
        EXPECT_EQ(want, got) << where;
        EXPECT_EQ(summary_line("o", make_summary(whole, n, EndMode::zero, 0)),
                  summary_line("o", make_summary(merged, n, EndMode::zero, 0)))
            << where;
    }
}

} // namespace
