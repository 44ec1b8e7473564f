// The settings of a run and the input layouts. The option parser (main.cpp)
// makes one Settings value; from then on it is read only, and the
// conversion of every group gets it by const reference. The three input
// layouts are described once, here, for the reading, the report, the header
// and the command line alike.
#pragma once

#include <cstdint>
#include <string>

#include <avq/avq.h>

#include "data_line.h"

// The format's own numbers, from the avq library: rows per block (512),
// channels (3).
inline constexpr unsigned SAMPLES = avq::SAMPLES;
inline constexpr int CHANNELS = static_cast<int>(avq::CHANNELS);

// How a final partial block of fewer than SAMPLES rows is completed.
enum class EndMode {
    zero,     // filled with zeroes (--zero, the default)
    mirror,   // filled with a mirror image of the last rows (--mirror)
    truncate, // dropped (--truncate)
};

// An input layout. The inputs of a group sit in slots: 0 the time file, 1 to
// 3 the files of channels 1 to 3 (the four-column file is slot 1).
struct Layout {
    enum class Kind { one_column, two_column, four_column };
    Kind kind;
    const char* option; // "-1", "-2", "-4"
    int first_slot;     // the slots in use are first_slot to last_slot
    int last_slot;      //
    int columns;        // the numbers a data line of a channel file holds
    int series;         // time series the report checks: one per file that holds times
    const char* takes;  // what a group of the layout takes on the command line

    // One four-column file stands for all three channels.
    bool one_file() const { return first_slot == last_slot; }
    // The input names of a group on the command line (the time file aside).
    int inputs() const { return one_file() ? 1 : 3; }
    // The slot whose times series k of the report holds, and the channel
    // whose time in a row it is.
    int series_slot(int k) const { return series > 1 ? k + 1 : first_slot; }
    int series_channel(int k) const { return series > 1 ? k : 0; }
};

inline constexpr Layout ONE_COLUMN{Layout::Kind::one_column,
                                   "-1",
                                   0,
                                   3,
                                   1,
                                   1,
                                   "the -1 layout takes three value files and an output"};
inline constexpr Layout TWO_COLUMN{Layout::Kind::two_column,
                                   "-2",
                                   1,
                                   3,
                                   2,
                                   3,
                                   "the -2 layout takes three input files and an output"};
inline constexpr Layout FOUR_COLUMN{Layout::Kind::four_column,
                                    "-4",
                                    1,
                                    1,
                                    4,
                                    1,
                                    "the -4 layout takes one input file and an output"};

struct Settings {
    const Layout* layout = &TWO_COLUMN; // -1 (or -t), -2, -4
    double global_scale = 1.0;          // -s: every value is multiplied by it
    bool binary = true;                 // --binary, --ascii
    bool normaltime = true;             // --normaltime (minute and second), --unixtime
    bool time_in_minutes = false;       // --minutes: input times are minutes
    EndMode end_mode = EndMode::zero;   // --zero, --mirror, --truncate
    bool min_in_day = false;            // --minutes-in-day: ASCII minutes within the day
    bool summary = false;               // --summary: one line per group
    bool force_output = false;          // -f: an output that is no AVQ file is replaced
    ReadOptions read;                   // --delimiter, --decimal-comma
    std::string station = "x";          // --station: the built header's station
    std::string gain = "1";             // --gain: the built header's gain, as written
    bool quiet = false;                 // -q: errors and warnings only
    bool strict = false;                // --strict: a group with data warnings leaves no output

    // Not options. Groups that look shorter than split_min_rows rows are read
    // on one thread; with threads = 1 no group is given a second thread (the
    // tests and the fuzz target lower or set them to compare both ways).
    std::uint64_t split_min_rows = 65536;
    unsigned threads = 2;
};
