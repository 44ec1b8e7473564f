// The samples as CSV: see csv_dump.h.
#include "csv_dump.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace avqdump {

namespace {

// ISO 8601 text of sample times, reusing the date and time of the last whole
// second: consecutive samples mostly share it, and gmtime is the slow part.
class IsoClock {
  public:
    // Appends the text of start + offset seconds (offset from a sample's
    // position), or nothing when that is no time.
    void append(std::string& out, double start, double offset) {
        if (!std::isfinite(start) || !std::isfinite(offset)) return;
        const double whole_start = std::floor(start);
        const double rest = (start - whole_start) + offset; // small: keeps the digits
        const double whole_rest = std::floor(rest);
        const double seconds = whole_start + whole_rest;
        if (!(std::fabs(seconds) < 1e13)) return;
        const avq::WholeMicro t =
            avq::split_micro(static_cast<std::int64_t>(seconds), rest - whole_rest);
        if (!have_ || t.seconds != second_) {
            prefix_ = avq::iso_seconds(t.seconds);
            second_ = t.seconds;
            have_ = true;
        }
        if (prefix_.empty()) return;
        char buf[32];
        std::snprintf(buf, sizeof buf, ".%06lldZ", t.micro);
        out += prefix_;
        out += buf;
    }

  private:
    bool have_ = false;
    std::int64_t second_ = 0;
    std::string prefix_;
};

// Seconds to the microsecond; nothing when they are no time.
void append_seconds(std::string& out, double seconds) {
    if (!std::isfinite(seconds)) return;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.6f", seconds);
    out += buf;
}

} // namespace

void append_number(std::string& out, long long v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void append_value(std::string& out, const avq::Block& b, avq::Form form, unsigned c, unsigned j) {
    if (form == avq::Form::binary) {
        append_number(out, b.samples[c][j]);
    } else {
        out.append(b.fields[c][j + 2]);
    }
}

void write_csv(avq::Reader& reader, const avq::Timeline& timeline) {
    const bool dated = timeline.dated();
    std::string out = dated ? "time_utc" : "seconds";
    out += ",block,sample,ch1,ch2,ch3\n";
    IsoClock clock;
    avq::Block b;
    while (reader.next(b)) {
        if (b.index >= timeline.blocks()) throw avq::FormatError("the file grew while it was read");
        const double start = timeline.run_of(b.index).start;
        for (unsigned j = 0; j < avq::SAMPLES; ++j) {
            const double offset = timeline.offset(b.index * avq::SAMPLES + j);
            if (dated) {
                clock.append(out, start, offset);
            } else {
                append_seconds(out, start + offset);
            }
            out.push_back(',');
            append_number(out, static_cast<long long>(b.index));
            out.push_back(',');
            append_number(out, j);
            for (unsigned c = 0; c < avq::CHANNELS; ++c) {
                out.push_back(',');
                append_value(out, b, reader.form(), c, j);
            }
            out.push_back('\n');
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
        out.clear();
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
}

} // namespace avqdump
