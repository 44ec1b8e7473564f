// --plot: a quick-look picture of one AVQ file, written as SVG by hand.
//
// The three channels are stacked, each in a panel with its own vertical
// scale (its smallest to its largest value) and a label with the channel and
// its min and max as stored; the vertical axis says what the values are
// (stored 16-bit numbers in the binary form, values as written in the ASCII
// form), and the margin widens so that no value label is cut off. Below the
// panels runs a UTC time axis with ticks at round intervals; the title is
// the header line, and a second line says what the times are (minute-of-day
// times hold no date) and where the sampling frequency comes from.
//
// Long files are drawn the way seismic viewers draw millions of samples: per
// pixel column the smallest and largest value of the samples that fall in
// it, joined into one path per channel, so the picture keeps its size (some
// 100 kB) however long the file is. On the way the samples are gathered in
// bins whose width doubles whenever the range they cover would need too many
// (Envelope), so memory stays bounded too.
//
// The sample times are the file's timeline (<avq/timeline.h>). Where a new
// run begins (a break in the timeline) the curves break, a red triangle on
// the time axis and a faint red line across the panels mark it, and the time
// between the runs, when there is any, is shaded red. When the samples have
// no usable times (none known, or all at one instant) the horizontal axis
// counts samples instead, and the picture says so.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <avq/reader.h>
#include <avq/timeline.h>

namespace avqdump {

// The smallest and largest value of the three channels over bins of a
// horizontal coordinate (seconds or sample numbers). Bins start `width` wide;
// when the values added would need more than `max_bins` bins, the width
// doubles and neighbouring bins merge.
class Envelope {
  public:
    struct Bin {
        double lo[avq::CHANNELS], hi[avq::CHANNELS]; // lo > hi: no value in the bin
    };

    Envelope(double width, std::size_t max_bins);
    // `x` finite; NaN values are left out.
    void add(double x, const double (&v)[avq::CHANNELS]);
    bool empty() const { return bins_.empty(); }
    double min_x() const { return min_x_; }
    double max_x() const { return max_x_; }
    double width() const { return width_; }
    // Calls fn(centre, bin) for every bin, in order.
    template <class Fn> void for_each(Fn fn) const {
        for (std::size_t k = 0; k < bins_.size(); ++k)
            fn(origin_ + (static_cast<double>(lo_ + static_cast<std::int64_t>(k)) + 0.5) * width_,
               bins_[k]);
    }

  private:
    void make_room(double x);
    void halve();

    double width_;
    std::size_t max_bins_;
    double origin_ = 0;
    std::int64_t lo_ = 0; // index of bins_[0]
    std::deque<Bin> bins_;
    double min_x_ = 0, max_x_ = 0;
};

class Plot {
  public:
    // `timeline` is the file's, and must outlive the plot.
    explicit Plot(const avq::Timeline& timeline);
    // The blocks of the file, in order. A block beyond the timeline (the file
    // grew since) is a FormatError.
    void add(const avq::Block& b);
    // The picture of what was added; `file` names the file in the second
    // title line.
    std::string svg(const std::string& header, const std::string& file) const;

  private:
    std::vector<std::string> notes(const std::string& file, bool by_time) const;

    const avq::Timeline& timeline_;
    std::optional<Envelope> by_time_;
    Envelope by_sample_;
    // Where runs after the first begin, in seconds and in samples, and the
    // time between runs (from the sample after a run's last to the next
    // run's first), where there is any.
    std::vector<double> mark_times_, mark_samples_;
    std::vector<std::pair<double, double>> gaps_;
    double min_[avq::CHANNELS], max_[avq::CHANNELS];
    std::uint64_t not_finite_[avq::CHANNELS] = {};
    std::uint64_t blocks_ = 0;
};

// Text for XML character data and attribute values: escapes & < > " ' and
// replaces bytes that are not UTF-8, and the characters XML 1.0 forbids (C0
// controls other than tab, line feed and carriage return; U+FFFE, U+FFFF), by
// U+FFFD.
std::string xml_text(std::string_view s);

// A round step for ticks on an axis of `span` seconds (1, 2, 5, 10, 15, 30 s,
// minutes and hours alike, days, and decimal fractions of a second) or of
// `span` samples (1, 2, 5 times a power of ten), giving at most `max_ticks`.
double tick_step(double span, int max_ticks, bool seconds);
// The label of a tick at `t` seconds since the epoch with ticks `step` apart:
// the date for steps of days ("day N" counted from 1970-01-01 as day 1 when
// the date is not known), else the time of the day as precise as the step.
std::string time_label(double t, double step, bool date_known);

} // namespace avqdump
