// Header comment: see blocks.h.
#include <cstdio>
#include <utility>

#include <avq/avq.h>
#include <avq/writer.h>

#include "blocks.h"
#include "strformat.h"

bool check_comment(const char* name, std::string& comment) {
    if (comment.empty()) {
        std::fprintf(stderr, "Warning: no comments in file %s\n", name);
        return false;
    }
    comment = avq::strip_line_ends(comment);
    return true;
}

namespace {

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
std::string built_line(const Settings& s, const double* head, std::size_t n) {
    return avq::built_header(
        {estimate_frequency(head, n), s.gain, s.station, start_time(head, n), !s.normaltime});
}

// The first non-empty channel comment, as the settlement takes it; "" for
// none. One four-column file stands for all three channels.
std::string channel_comment(const Settings& s, const Comments& c) {
    for (int k = 1; k <= 3; ++k) {
        std::string line = avq::strip_line_ends(c.line[s.layout->one_file() ? 1 : k]);
        if (!line.empty()) return line;
    }
    return {};
}

} // namespace

std::string expected_header(const Settings& s, const Comments& c, const double* head,
                            std::size_t n) {
    std::string line = channel_comment(s, c);
    return line.empty() ? built_line(s, head, n) : line;
}

Status settle_header(const Settings& s, const GroupNames& names, Comments c, const double* head,
                     std::size_t n, SettledHeader& out) {
    // One four-column file has one comment, which nothing can disagree with.
    std::string* line = c.line;
    const int files = s.layout->inputs();
    for (int k = 1; k <= files; ++k)
        check_comment(names.input[k], line[k]);
    if (files == 3 && !line[1].empty() && !line[2].empty() && !line[3].empty() &&
        (line[2] != line[1] || line[3] != line[1])) {
        std::fprintf(stderr, "Warning: comments disagree:\n%s\n%s\n%s\n", line[1].c_str(),
                     line[2].c_str(), line[3].c_str());
    }
    if (std::string comment = channel_comment(s, c); !comment.empty()) {
        out = {std::move(comment), false};
        return {};
    }
    if (!s.quiet) {
        char estimate[64];
        std::snprintf(estimate, sizeof estimate, "%g", estimate_frequency(head, n));
        std::fprintf(stderr, "Best guess at samplingfrequency is %s\n", estimate);
    }
    // A time with no calendar date (not a number, or absurdly far from the
    // epoch) cannot go into the header.
    out = {built_line(s, head, n), true};
    if (!out.line.empty()) return {};
    return Error{strformat("Error: the time of the first row, %.17g, is not a valid UTC date\n",
                           start_time(head, n))};
}
