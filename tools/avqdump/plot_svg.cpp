// The quick-look picture: see plot_svg.h.
#include "plot_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace avqdump {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// Layout, in pixels.
constexpr int WIDTH = 1000;
constexpr int LEFT = 92;  // room for the axis title and the value labels
constexpr int RIGHT = 40; // room for half the last tick label
constexpr int TOP = 84;   // the title, two lines of notes, the first label
constexpr int PANEL = 170;
constexpr int GAP = 24;                // room for the next panel's label
constexpr std::size_t NOTE_LINE = 150; // characters
constexpr int COLUMNS = WIDTH - LEFT - RIGHT;
constexpr int AXIS_Y = TOP + avq::CHANNELS * PANEL + (avq::CHANNELS - 1) * GAP;
constexpr int HEIGHT = AXIS_Y + 56;
constexpr int MAX_TICKS = 8;
// Several bins per pixel column, so that a column's min and max come from
// the samples that fall in it rather than from a neighbour's.
constexpr std::size_t MAX_BINS = 4 * COLUMNS;
constexpr std::size_t SHOWN_TITLE_BYTES = 150;
// The value labels end 6 pixels left of the panels and keep clear of the
// vertical axis title at the left edge; each character is given the width of
// a digit of a wide sans-serif face at 12 px (DejaVu Sans: 7.63 px), so that
// the longest label of %.14g fits once the picture is widened for it.
constexpr double LABEL_ROOM = LEFT - 6 - 22;
constexpr double CHAR_WIDTH = 7.7;

const char* const CHANNEL_COLOUR[avq::CHANNELS] = {"#1f5fa8", "#2a8a3c", "#7b3fa0"};
const char* const MARK_COLOUR = "#d40000";
const char* const REPLACEMENT = "\xEF\xBF\xBD"; // U+FFFD

Envelope::Bin empty_bin() {
    Envelope::Bin b;
    for (unsigned c = 0; c < avq::CHANNELS; ++c) {
        b.lo[c] = INF;
        b.hi[c] = -INF;
    }
    return b;
}

void merge(Envelope::Bin& into, const Envelope::Bin& from) {
    for (unsigned c = 0; c < avq::CHANNELS; ++c) {
        into.lo[c] = std::min(into.lo[c], from.lo[c]);
        into.hi[c] = std::max(into.hi[c], from.hi[c]);
    }
}

std::int64_t floor_half(std::int64_t i) {
    return i >= 0 ? i / 2 : -((-i + 1) / 2);
}

// The length of the UTF-8 sequence at s[i] and its code point; 0 when the
// bytes there are not one (a stray byte, an overlong form, a surrogate).
std::size_t utf8_sequence(std::string_view s, std::size_t i, char32_t& cp) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n;
    char32_t least;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2, cp = c & 0x1Fu, least = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3, cp = c & 0x0Fu, least = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4, cp = c & 0x07u, least = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        const auto d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (d & 0x3Fu);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

std::string format(const char* fmt, auto... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

std::string value_text(double v) {
    return format("%.14g", v);
}

// One horizontal axis: its range, and the pixel column of a coordinate.
struct Range {
    double a = 0, b = 1;
    int column(double x) const {
        const double k = std::round((x - a) / (b - a) * (COLUMNS - 1));
        return static_cast<int>(std::clamp(k, 0.0, static_cast<double>(COLUMNS - 1)));
    }
    double x(int column) const { return LEFT + column + 0.5; }
};

void text(std::string& out, double x, double y, const char* anchor, const std::string& s,
          const char* extra = "") {
    out += format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"%s\"%s>", x, y, anchor, extra);
    out += xml_text(s);
    out += "</text>\n";
}

} // namespace

// --- Envelope --------------------------------------------------------------------

Envelope::Envelope(double width, std::size_t max_bins) : width_(width), max_bins_(max_bins) {}

void Envelope::add(double x, const double (&v)[avq::CHANNELS]) {
    if (bins_.empty()) {
        origin_ = min_x_ = max_x_ = x;
        lo_ = 0;
        bins_.push_back(empty_bin());
    }
    min_x_ = std::min(min_x_, x);
    max_x_ = std::max(max_x_, x);
    double q = std::floor((x - origin_) / width_);
    if (q < static_cast<double>(lo_) ||
        q >= static_cast<double>(lo_ + static_cast<std::int64_t>(bins_.size()))) {
        make_room(x);
        q = std::floor((x - origin_) / width_);
    }
    Bin& b = bins_[static_cast<std::size_t>(static_cast<std::int64_t>(q) - lo_)];
    for (unsigned c = 0; c < avq::CHANNELS; ++c) {
        // NaN compares false both ways and so is left out.
        if (v[c] < b.lo[c]) b.lo[c] = v[c];
        if (v[c] > b.hi[c]) b.hi[c] = v[c];
    }
}

void Envelope::make_room(double x) {
    for (;;) {
        const double q = std::floor((x - origin_) / width_);
        const double hi = static_cast<double>(lo_) + static_cast<double>(bins_.size()) - 1;
        const double need = std::max(hi, q) - std::min(static_cast<double>(lo_), q) + 1;
        if (need <= static_cast<double>(max_bins_)) {
            const auto i = static_cast<std::int64_t>(q);
            for (; i < lo_; --lo_)
                bins_.push_front(empty_bin());
            while (i >= lo_ + static_cast<std::int64_t>(bins_.size()))
                bins_.push_back(empty_bin());
            return;
        }
        halve();
    }
}

void Envelope::halve() {
    const std::int64_t lo = floor_half(lo_);
    const std::int64_t hi = floor_half(lo_ + static_cast<std::int64_t>(bins_.size()) - 1);
    std::deque<Bin> merged(static_cast<std::size_t>(hi - lo + 1), empty_bin());
    for (std::size_t k = 0; k < bins_.size(); ++k)
        merge(merged[static_cast<std::size_t>(floor_half(lo_ + static_cast<std::int64_t>(k)) - lo)],
              bins_[k]);
    bins_.swap(merged);
    lo_ = lo;
    width_ *= 2;
}

// --- text --------------------------------------------------------------------------

std::string xml_text(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const char c = s[i];
        if (static_cast<unsigned char>(c) < 0x80) {
            switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                    out += REPLACEMENT;
                } else {
                    out += c;
                }
            }
            ++i;
            continue;
        }
        char32_t cp = 0;
        const std::size_t n = utf8_sequence(s, i, cp);
        if (n == 0 || cp == 0xFFFE || cp == 0xFFFF) {
            out += REPLACEMENT;
            i += n == 0 ? 1 : n;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

double tick_step(double span, int max_ticks, bool seconds) {
    const auto decimal = [max_ticks](double range) {
        const double raw = range / max_ticks;
        const double p = std::pow(10.0, std::floor(std::log10(raw)));
        for (double m : {1.0, 2.0, 5.0})
            if (m * p >= raw * (1 - 1e-12)) return m * p;
        return 10 * p;
    };
    if (!(span > 0) || !std::isfinite(span)) return 1;
    if (!seconds) return std::max(1.0, decimal(span));
    const double raw = span / max_ticks;
    if (raw <= 1) return std::max(1e-6, decimal(span));
    for (double s :
         {2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400})
        if (s >= raw) return s;
    return 86400 * decimal(span / 86400);
}

std::string time_label(double t, double step, bool date_known) {
    if (!(std::fabs(t) < 1e13)) return "";
    const int decimals =
        step >= 1 ? 0 : std::min(6, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
    const auto scale = static_cast<long long>(std::llround(std::pow(10.0, decimals)));
    const long long total = std::llround(t * static_cast<double>(scale));
    long long whole = total / scale, frac = total % scale;
    if (frac < 0) frac += scale, --whole;
    if (step >= 86400 && !date_known)
        return format("day %lld", (whole >= 0 ? whole : whole - 86399) / 86400 + 1);
    std::string s = avq::utc_text(whole, step >= 86400 ? "%Y-%m-%d"
                                         : step >= 60  ? "%H:%M"
                                                       : "%H:%M:%S");
    if (s.empty()) return "";
    if (decimals > 0) s += format(".%0*lld", decimals, frac);
    return s;
}

// --- Plot ----------------------------------------------------------------------------

Plot::Plot(const avq::Timeline& timeline) : timeline_(timeline), by_sample_(1, MAX_BINS) {
    std::fill(min_, min_ + avq::CHANNELS, INF);
    std::fill(max_, max_ + avq::CHANNELS, -INF);
}

void Plot::add(const avq::Block& b) {
    if (b.index >= timeline_.blocks()) throw avq::FormatError("the file grew while it was read");
    const avq::Run& run = timeline_.run_of(b.index);
    const double interval = 1 / timeline_.fs(); // NaN when unknown
    const bool timed = std::isfinite(run.start);
    if (timed && !by_time_)
        by_time_.emplace(std::isfinite(interval) && interval > 0 ? interval / 2 : 1e-3, MAX_BINS);
    const std::uint64_t first = b.index * avq::SAMPLES;
    if (b.index == run.first_block && b.index > 0) {
        if (timed) mark_times_.push_back(run.start);
        mark_samples_.push_back(static_cast<double>(first));
        // Where the run before would have gone on.
        const double next = timeline_.time(first - 1) + interval;
        if (timed && next < run.start) gaps_.emplace_back(next, run.start);
    }
    for (unsigned j = 0; j < avq::SAMPLES; ++j) {
        double v[avq::CHANNELS];
        for (unsigned c = 0; c < avq::CHANNELS; ++c) {
            v[c] = timeline_.form() == avq::Form::binary ? b.samples[c][j] : b.values[c][j];
            if (!std::isfinite(v[c])) {
                ++not_finite_[c];
                v[c] = NaN;
                continue;
            }
            min_[c] = std::min(min_[c], v[c]);
            max_[c] = std::max(max_[c], v[c]);
        }
        by_sample_.add(static_cast<double>(first + j), v);
        const double t = run.start + timeline_.offset(first + j);
        if (timed && std::isfinite(t)) by_time_->add(t, v);
    }
    ++blocks_;
}

std::vector<std::string> Plot::notes(const std::string& file, bool by_time) const {
    const bool binary = timeline_.form() == avq::Form::binary;
    std::vector<std::string> parts = {(file == "-" ? std::string("standard input") : file) + ": " +
                                      (binary ? "binary" : "ASCII") + " form, " +
                                      std::to_string(blocks_) +
                                      (blocks_ == 1 ? " block" : " blocks") + " of 512 samples"};
    if (timeline_.kind() == avq::TimeKind::minute_of_day) {
        parts.push_back(std::string("the block times hold the minute of the day only") +
                        (timeline_.dated() ? " (date from the header)" : ", no date"));
    }
    if (by_time) {
        switch (timeline_.fs_source()) {
        case avq::FrequencySource::header:
            parts.push_back("a sample every " + format("%g", 1 / timeline_.fs()) +
                            " s (sampfrek in the header)");
            break;
        case avq::FrequencySource::fitted:
            parts.push_back("a sample every " + format("%g", 1 / timeline_.fs()) +
                            " s (fitted to the block times)");
            break;
        case avq::FrequencySource::unknown:
            parts.push_back("no sampling frequency: each block drawn at its time");
            break;
        }
    }
    if (!mark_samples_.empty()) {
        const std::size_t runs = mark_samples_.size() + 1;
        parts.push_back(std::to_string(runs) + " runs, the " +
                        (runs == 2 ? std::string("break") : std::to_string(runs - 1) + " breaks") +
                        " between them marked in red");
    }
    std::vector<std::string> lines(1);
    for (const std::string& p : parts) {
        if (!lines.back().empty() && lines.back().size() + p.size() > NOTE_LINE) {
            lines.back() += ";";
            lines.emplace_back();
        }
        lines.back() += (lines.back().empty() ? "" : "; ") + p;
    }
    return lines;
}

namespace {

struct Axis {
    const Envelope* env = nullptr; // nullptr: no samples
    bool by_time = false;
    Range range;
    double max_join = 2;                   // columns: wider empty stretches break the curves
    std::vector<bool> marked;              // columns where a run begins
    std::vector<std::pair<int, int>> gaps; // columns between runs
    std::vector<int> marks_upto;           // marked columns up to and including each column
};

// A pixel column holds the smallest and largest values of the bins that fall
// in it, as one bin of its own.
using Column = Envelope::Bin;

std::vector<Column> columns_of(const Envelope& env, const Range& r) {
    std::vector<Column> cols(COLUMNS, empty_bin());
    env.for_each([&](double centre, const Envelope::Bin& bin) {
        merge(cols[static_cast<std::size_t>(r.column(centre))], bin);
    });
    return cols;
}

// The path of channel c: per column a line to its largest value and down to
// its smallest, broken where a block step is irregular and where no sample
// falls in a stretch of columns much wider than the sampling interval.
std::string channel_path(const std::vector<Column>& cols, unsigned c, double top, double lo,
                         double hi, const Axis& ax) {
    const auto y = [&](double v) {
        return hi > lo ? top + 4 + (hi - v) / (hi - lo) * (PANEL - 8) : top + PANEL / 2.0;
    };
    std::string d;
    d.reserve(COLUMNS * 24);
    int prev = -1;
    for (int k = 0; k < COLUMNS; ++k) {
        const Column& col = cols[static_cast<std::size_t>(k)];
        if (col.lo[c] > col.hi[c]) continue;
        const bool start = prev < 0 || k - prev > ax.max_join ||
                           ax.marks_upto[static_cast<std::size_t>(k)] !=
                               ax.marks_upto[static_cast<std::size_t>(prev)];
        const double y_hi = y(col.hi[c]), y_lo = y(col.lo[c]);
        d += format("%c%.1f,%.1f", start ? 'M' : 'L', ax.range.x(k), y_hi);
        if (y_lo - y_hi >= 0.05) d += format("V%.1f", y_lo);
        prev = k;
    }
    return d;
}

void draw_marks(std::string& out, const Axis& ax) {
    std::string bands;
    for (const auto& [a, b] : ax.gaps)
        bands += format("M%.1f,%dH%.1fV%dH%.1fz", ax.range.x(a), TOP, ax.range.x(b), AXIS_Y,
                        ax.range.x(a));
    if (!bands.empty())
        out += format("<path fill=\"%s\" fill-opacity=\"0.08\" d=\"%s\"/>\n", MARK_COLOUR,
                      bands.c_str());
    std::string lines, triangles;
    for (int k = 0; k < COLUMNS; ++k) {
        if (!ax.marked[static_cast<std::size_t>(k)]) continue;
        const double x = ax.range.x(k);
        lines += format("M%.1f,%dV%d", x, TOP, AXIS_Y);
        triangles += format("M%.1f,%dl-4,8h8z", x, AXIS_Y + 1);
    }
    if (lines.empty()) return;
    out += format("<path fill=\"none\" stroke=\"%s\" stroke-opacity=\"0.35\" d=\"%s\"/>\n",
                  MARK_COLOUR, lines.c_str());
    out += format("<path fill=\"%s\" d=\"%s\"/>\n", MARK_COLOUR, triangles.c_str());
}

void draw_axis(std::string& out, const Axis& ax, bool date_known) {
    draw_marks(out, ax);
    out += format("<path stroke=\"#333\" d=\"M%d,%dH%d\"/>\n", LEFT, AXIS_Y, LEFT + COLUMNS);
    const double middle = LEFT + COLUMNS / 2.0;
    if (!ax.env) {
        text(out, middle, AXIS_Y + 40, "middle", "no blocks");
        return;
    }
    const double step = tick_step(ax.range.b - ax.range.a, MAX_TICKS, ax.by_time);
    std::string ticks;
    for (double k = std::ceil(ax.range.a / step - 1e-9); k * step <= ax.range.b + step * 1e-9;
         ++k) {
        const double t = k * step;
        const double x = ax.range.x(ax.range.column(t));
        ticks += format("M%.1f,%dv5", x, AXIS_Y);
        text(out, x, AXIS_Y + 18, "middle",
             ax.by_time ? time_label(t, step, date_known) : format("%.0f", t + 0.0));
    }
    out += "<path stroke=\"#333\" d=\"" + ticks + "\"/>\n";
    std::string caption = "sample number (the samples have no usable times)";
    if (ax.by_time) {
        caption = date_known
                      ? "UTC, " + avq::iso_utc(ax.range.a) + " to " + avq::iso_utc(ax.range.b)
                      : "UTC time of the day (the file holds no date)";
    }
    text(out, middle, AXIS_Y + 40, "middle", caption);
}

} // namespace

std::string Plot::svg(const std::string& header, const std::string& file) const {
    Axis ax;
    ax.by_time = by_time_ && by_time_->max_x() > by_time_->min_x();
    if (ax.by_time) {
        ax.env = &*by_time_;
        ax.range = {by_time_->min_x(), by_time_->max_x()};
    } else if (!by_sample_.empty()) {
        ax.env = &by_sample_;
        ax.range = {0, std::max(1.0, by_sample_.max_x())};
    }
    // Samples one interval apart lie this many columns apart.
    const double per_column = (ax.range.b - ax.range.a) / (COLUMNS - 1);
    const double interval = std::isfinite(timeline_.fs()) ? 1 / timeline_.fs() : 0;
    const double spacing = ax.by_time ? interval / per_column : 1 / per_column;
    ax.max_join = std::max(2.0, 3 * spacing);
    ax.marked.assign(COLUMNS, false);
    for (double m : ax.by_time ? mark_times_ : mark_samples_)
        if (m >= ax.range.a && m <= ax.range.b)
            ax.marked[static_cast<std::size_t>(ax.range.column(m))] = true;
    ax.marks_upto.assign(COLUMNS, 0);
    for (int k = 0, n = 0; k < COLUMNS; ++k)
        ax.marks_upto[static_cast<std::size_t>(k)] = n += ax.marked[static_cast<std::size_t>(k)];
    if (ax.by_time) {
        for (const auto& [a, b] : gaps_)
            if (b >= ax.range.a && a <= ax.range.b)
                ax.gaps.emplace_back(ax.range.column(a), ax.range.column(b));
    }

    // The value labels as printed, and how much wider than the margin the
    // longest of them is.
    std::size_t longest = 1;
    for (unsigned c = 0; c < avq::CHANNELS; ++c) {
        if (min_[c] <= max_[c])
            longest = std::max({longest, value_text(min_[c]).size(), value_text(max_[c]).size()});
    }
    const int widen = std::max(
        0, static_cast<int>(std::ceil(static_cast<double>(longest) * CHAR_WIDTH - LABEL_ROOM)));

    std::string out = format("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
                             "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"12\">\n",
                             WIDTH + widen, HEIGHT, WIDTH + widen, HEIGHT);
    out += "<title>" + xml_text(header) + "</title>\n";
    out += format("<rect width=\"%d\" height=\"%d\" fill=\"white\"/>\n", WIDTH + widen, HEIGHT);
    if (widen > 0) out += format("<g transform=\"translate(%d,0)\">\n", widen);
    std::string shown = header.substr(0, SHOWN_TITLE_BYTES);
    if (shown.size() < header.size()) {
        while (!shown.empty() && (static_cast<unsigned char>(header[shown.size()]) & 0xC0) == 0x80)
            shown.pop_back();    // do not cut a character in two
        shown += "\xE2\x80\xA6"; // …
    }
    text(out, WIDTH / 2.0, 22, "middle", shown, " font-size=\"15\" font-weight=\"bold\"");
    double y = 40;
    for (const std::string& line : notes(file, ax.by_time)) {
        text(out, WIDTH / 2.0, y, "middle", line, " fill=\"#444\" font-size=\"11\"");
        y += 14;
    }

    const std::vector<Column> cols = ax.env ? columns_of(*ax.env, ax.range) : std::vector<Column>{};
    for (unsigned c = 0; c < avq::CHANNELS; ++c) {
        const double top = TOP + c * (PANEL + GAP);
        out += format("<rect x=\"%d\" y=\"%.1f\" width=\"%d\" height=\"%d\" fill=\"#f7f7f7\" "
                      "stroke=\"#999\"/>\n",
                      LEFT, top, COLUMNS, PANEL);
        std::string label = "ch" + std::to_string(c + 1);
        if (min_[c] <= max_[c]) {
            label += ": min " + value_text(min_[c]) + ", max " + value_text(max_[c]);
            text(out, LEFT - 6, top + 8, "end", value_text(max_[c]));
            text(out, LEFT - 6, top + PANEL - 2, "end", value_text(min_[c]));
            if (min_[c] < 0 && max_[c] > 0) {
                const double y0 = top + 4 + max_[c] / (max_[c] - min_[c]) * (PANEL - 8);
                text(out, LEFT - 6, y0 + 4, "end", "0");
                out +=
                    format("<path stroke=\"#bbb\" stroke-dasharray=\"4 3\" d=\"M%d,%.1fh%d\"/>\n",
                           LEFT, y0, COLUMNS);
            }
            if (ax.env) {
                out += "<path fill=\"none\" stroke=\"" + std::string(CHANNEL_COLOUR[c]) +
                       "\" stroke-width=\"1\" stroke-linejoin=\"round\" d=\"" +
                       channel_path(cols, c, top, min_[c], max_[c], ax) + "\"/>\n";
            }
        } else {
            label += blocks_ == 0 ? ": no blocks" : ": no finite values";
        }
        if (not_finite_[c] > 0)
            label += " (" + std::to_string(not_finite_[c]) + " values not finite, not drawn)";
        text(out, LEFT, top - 6, "start", label,
             (" fill=\"" + std::string(CHANNEL_COLOUR[c]) + "\"").c_str());
    }
    const bool binary = timeline_.form() == avq::Form::binary;
    out += format("<text transform=\"translate(16,%.1f) rotate(-90)\" text-anchor=\"middle\" "
                  "fill=\"#444\">%s</text>\n",
                  (TOP + AXIS_Y) / 2.0, binary ? "stored 16-bit numbers" : "values as written");
    draw_axis(out, ax, timeline_.dated());
    if (widen > 0) out += "</g>\n";
    out += "</svg>\n";
    return out;
}

} // namespace avqdump
