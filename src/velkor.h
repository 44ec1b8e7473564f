// velkor: conversion of three channels of infrasound time series into one
// AVQ infrasound file.
//
// This header is the converter's public face: the record types of the sample
// table, the process-wide settings the command line sets, and one entry point
// per stage of a conversion (reading, header comment, block completion,
// binary and ASCII writers). The stages share the process-wide table
// `samples` and the comment slots `cline`; `process_file` runs them in order
// for one group of inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <string>
#include <vector>

#include <avq/avq.h>

#include "data_line.h"

// ---------------------------------------------------------------------------
// Layouts, end modes, format constants
// ---------------------------------------------------------------------------

// Input layout of a group.
enum MODES {
    MODE_1_COLUMN = 0, // time file plus three one-column value files
    MODE_2_COLUMN = 1, // three files of time and value
    MODE_4_COLUMN = 2, // one file of time and three values
};

// How a final partial block of fewer than SAMPLES rows is completed.
enum END_MODES {
    EM_ZERO = 0,     // fill with zeroes
    EM_MIRROR = 1,   // fill with a mirror image of the last rows
    EM_TRUNCATE = 2, // drop the partial block
};

// The format's own numbers, from the avq library: rows per block (512),
// channels (3).
inline constexpr unsigned SAMPLES = avq::SAMPLES;
inline constexpr int CHANNELS = static_cast<int>(avq::CHANNELS);

// ---------------------------------------------------------------------------
// The sample table
// ---------------------------------------------------------------------------

struct ch_ {
    double time; // seconds since 1970-01-01 00:00:00 UTC
    double data; // the value as read, unscaled
};

struct samp_ {
    ch_ ch[CHANNELS]; // channels 1, 2, 3
};

// Rows of the current group, index 0 first. Emptied at the start of a group.
extern std::vector<samp_> samples;
// Number of rows of the current group; lowered only by truncation.
extern std::uint32_t n1;
// Comment lines: slot 0 from the time file, slots 1..3 from the channel
// files. After the header is settled, slot 1 is the file's header line.
extern std::string cline[4];

// ---------------------------------------------------------------------------
// Process-wide settings (written by the option loop only)
// ---------------------------------------------------------------------------

extern double global_scale;          // every value is multiplied by it; default 1.0
extern int binary;                   // 1: binary AVQ (default), 0: ASCII AVQ
extern int normaltime;               // 1: minute/second block times (default), 0: Unix time
extern int time_in_minutes;          // 1: input times are minutes, 0: seconds (default)
extern int end_mode;                 // an END_MODES value; default EM_ZERO
extern int min_in_day;               // 1: ASCII minutes counted within the day
extern int debug;                    // accepted, consulted by nothing
extern int summary;                  // 1: one summary line per group (--summary)
extern int force_output;             // 1: an output that is no AVQ file is replaced (--force)
extern const std::size_t maxsamples; // initial room of the sample table in rows

// The settings of reading exports, of the built header and of messages, in
// one place (written by the option loop only).
struct RunOptions {
    ReadOptions read;          // --delimiter, --decimal-comma
    std::string station = "x"; // --station: the built header's station
    std::string gain = "1";    // --gain: the built header's gain, as written
    bool quiet = false;        // -q: errors and warnings only
    bool strict = false;       // --strict: a group with data warnings leaves no output
};
extern RunOptions run_options;

// Ends the run: a group that drew warnings of its data under --strict
// leaves no output `oname`.
[[noreturn]] void refuse_strict(const char* oname);

// ---------------------------------------------------------------------------
// Conversion stages
// ---------------------------------------------------------------------------

// Converts one group of inputs into the AVQ file `oname`. `timename` is used
// in MODE_1_COLUMN only; `fname2` and `fname3` are null in MODE_4_COLUMN.
// Returns 0; every failure ends the process with status 1.
int process_file(int mode, const char* timename, const char* fname1, const char* fname2,
                 const char* fname3, const char* oname);

// The file name "-": standard input as an input, standard output as the
// output.
inline bool names_standard_stream(const char* name) {
    return name != nullptr && name[0] == '-' && name[1] == '\0';
}

// Checks of the group's names (group_checks.cpp), before anything is read:
// "-" (standard input) at most once, a non-empty output name, an output that
// is not one of the inputs. Ends the process on a failed check. `timename`
// and `fname2`, `fname3` may be null when the layout does not use them.
void check_group_names(const char* timename, const char* fname1, const char* fname2,
                       const char* fname3, const char* oname);
// The check of the group's output (group_checks.cpp), once its inputs are
// open and before they are read: binary data are not written to a terminal,
// and an existing regular file that is not empty and holds no AVQ file is
// not replaced without --force. Ends the process on a failed check.
void check_group_output(const char* oname);

// Reading (read_input.cpp): opens the group's inputs, reads every row into
// `samples`, counts them in `n1` and captures comment lines into `cline`.
// The input name "-" reads standard input; an input that is an AVQ file is
// refused.
void read_group(int mode, const char* timename, const char* fname1, const char* fname2,
                const char* fname3);

// Header comment (header.cpp).
bool check_comment(const char* fnamea, std::string& clinea);
std::string construct_comment(const std::vector<samp_>& s);
// Leaves the group's header comment in cline[1]. Returns true when the
// header was built from the rows (no channel file had a comment).
bool settle_comment(int mode, const char* fname1, const char* fname2, const char* fname3);

// The same from the channel-1 times of the group's first rows alone:
// `head` holds those of the first min(n, HEAD_ROWS) of the `n` rows read.
inline constexpr std::size_t HEAD_ROWS = 11; // rows 0 to 10
std::string construct_comment(const double* head, std::size_t n);
bool settle_comment(int mode, const char* fname1, const char* fname2, const char* fname3,
                    const double* head, std::size_t n);
// The header that settle_comment will settle on for the comment slots
// `slots` (as cline), without writing anything; "" when it would refuse the
// group (a built header whose start time has no calendar date).
std::string expected_header(int mode, const std::string* slots, const double* head, std::size_t n);

// Block completion (complete_block.cpp): completes or drops a final partial
// block so that every block start below n1 has SAMPLES rows after it.
void complete_last_block();
// The parts of it that work without the table. begin_completion writes the
// messages of completing a group of `n` rows read and sets n1: to n, or to
// fewer when truncation drops the partial block; true when the last block is
// to be filled.
// fill_last_block fills the
// rows after the n % SAMPLES rows read of the last block `block` (with zeroes
// or their mirror image, as end_mode says); `previous` is the full block
// before it, null when there is none.
bool begin_completion(std::size_t n);
void fill_last_block(samp_* block, std::size_t n, const samp_* previous);

// Binary writer (binary_writer.cpp).
// Writes the table as a binary AVQ file `oname`, with the clipping lines;
// with `oname` null it writes no file, only the lines (or the error of a
// block time that is no calendar time). Returns the number of values clipped
// to the 16-bit range.
std::uint64_t write_binary(const char* oname);
// The number of values that write_binary would clip, without a word.
std::uint64_t count_clipped();

// ASCII writer (ascii_writer.cpp).
void write_ascii(const char* oname);
