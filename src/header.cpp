// Header comment: every AVQ file begins with one comment line, cline[1].
// This unit settles it after a group has been read: it cleans the channel
// files' comments, warns about files without one and about comments that
// disagree, takes the first channel's comment that exists, and otherwise
// builds a line from the data (estimated sampling frequency and the UTC time
// of the first row).
#include <cstdio>

#include <avq/avq.h>
#include <avq/writer.h>

#include "fatal.h"
#include "velkor.h"

bool check_comment(const char* fnamea, std::string& clinea) {
    if (clinea.empty()) {
        std::fprintf(stderr, "Warning: no comments in file %s\n", fnamea);
        return false;
    }
    clinea = avq::strip_line_ends(clinea);
    return true;
}

namespace {

// printf "%g", as the header and the estimate line write the frequency.
std::string general6(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

// Ten sample intervals over the time they span on channel 1, between the
// first and the eleventh row. A shorter group uses all of its intervals;
// with fewer than two rows there is nothing to measure and the estimate is 0.
double estimate_frequency(const double* head, std::size_t n) {
    if (n >= 11) return 10.0 / (head[10] - head[0]);
    if (n >= 2) return static_cast<double>(n - 1) / (head[n - 1] - head[0]);
    return 0.0;
}

// The start time is the first row's, or the epoch for a group without rows.
double start_time(const double* head, std::size_t n) {
    return n > 0 ? head[0] : 0.0;
}

// The built line of the group whose first rows' channel-1 times are `head`,
// when its start time has a calendar date; "" otherwise.
std::string built_line(const double* head, std::size_t n) {
    avq::BuiltHeader h;
    h.sampfrek = estimate_frequency(head, n);
    h.gain = run_options.gain;
    h.station = run_options.station;
    h.start = start_time(head, n);
    h.unix_seconds = normaltime == 0;
    return avq::built_header(h);
}

// The channel-1 times of the first HEAD_ROWS rows of the table `s`.
void table_head(const std::vector<samp_>& s, double* head) {
    for (std::size_t i = 0; i < s.size() && i < HEAD_ROWS; ++i)
        head[i] = s[i].ch[0].time;
}

// The first non-empty channel comment, as the settlement takes it; "" for
// none.
std::string channel_comment(int mode, const std::string* slots) {
    for (int k = 1; k <= 3; ++k) {
        // One four-column file stands for all three channels.
        const std::string c = avq::strip_line_ends(slots[mode == MODE_4_COLUMN ? 1 : k]);
        if (!c.empty()) return c;
    }
    return {};
}

} // namespace

std::string construct_comment(const double* head, std::size_t n) {
    const double sampfreq = estimate_frequency(head, n);
    if (!run_options.quiet) {
        std::fprintf(stderr, "Best guess at samplingfrequency is %s\n", general6(sampfreq).c_str());
    }

    // A time with no calendar date (not a number, or absurdly far from the
    // epoch) cannot go into the header.
    const double start = start_time(head, n);
    if (!avq::time_breaks_down(start)) {
        fatal("Error: the time of the first row, %.17g, is not a valid UTC date\n", start);
    }
    return built_line(head, n);
}

std::string construct_comment(const std::vector<samp_>& s) {
    double head[HEAD_ROWS];
    table_head(s, head);
    return construct_comment(head, s.size());
}

std::string expected_header(int mode, const std::string* slots, const double* head, std::size_t n) {
    std::string c = channel_comment(mode, slots);
    if (!c.empty()) return c;
    return built_line(head, n);
}

bool settle_comment(int mode, const char* fname1, const char* fname2, const char* fname3,
                    const double* head, std::size_t n) {
    // One four-column file stands for all three channels.
    if (mode == MODE_4_COLUMN) {
        cline[2] = cline[1];
        cline[3] = cline[1];
    }
    const char* names[4] = {nullptr, fname1, fname2, fname3};
    for (int k = 1; k <= 3; ++k) {
        if (names[k] != nullptr) check_comment(names[k], cline[k]);
    }
    if (!cline[1].empty() && !cline[2].empty() && !cline[3].empty() &&
        (cline[2] != cline[1] || cline[3] != cline[1])) {
        std::fprintf(stderr, "Warning: comments disagree:\n%s\n%s\n%s\n", cline[1].c_str(),
                     cline[2].c_str(), cline[3].c_str());
    }
    if (cline[1].empty() && !cline[2].empty()) cline[1] = cline[2];
    if (cline[1].empty() && !cline[3].empty()) cline[1] = cline[3];
    if (!cline[1].empty()) return false;
    cline[1] = construct_comment(head, n);
    return true;
}

bool settle_comment(int mode, const char* fname1, const char* fname2, const char* fname3) {
    double head[HEAD_ROWS];
    table_head(samples, head);
    return settle_comment(mode, fname1, fname2, fname3, head, samples.size());
}
