// Reading a group's inputs row by row into blocks of SAMPLES rows
// (row_reader.cpp).
//
// A reader hands its failures back as values (the message as it is
// printed), so that it can run on a thread of its own; the caller decides
// when a failure is reported. Its warnings (a comment cut for the header, the
// channel time checks, more columns, a heading) are written at once, or held
// for a reader of a later part of the group, whose warnings are written only
// once the part before it has been read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <avq/writer.h>

#include "data_line.h"
#include "inputs.h"
#include "settings.h"

// Rows beyond this cannot be counted together with the rows that block
// completion may add.
inline constexpr std::uint32_t MAX_ROWS = UINT32_MAX - (SAMPLES - 1);

// Rows as read, a block at a time, column by column: each row's time (of
// every channel for three two-column files, else of channel 1 only), each
// channel's value, and the line of each row in each input slot in use.
struct RowBlock {
    double time[CHANNELS][SAMPLES];
    double value[CHANNELS][SAMPLES];
    std::uint64_t line[4][SAMPLES];

    // The block for the writers: its time is its first row's.
    avq::BlockValues values() const { return {time[0][0], {value[0], value[1], value[2]}}; }
};

// The comment lines the reading keeps, by input slot: the first of the last
// run of comment lines of each file ("" for a file without one).
struct Comments {
    std::string line[4];
};

// A warning that the reading writes at most once per group: a comment of
// slot k cut for the header (subject k), the time check of channel 2 or 3
// (subjects 4 and 5), more columns in slot k than the layout reads (6 + k),
// the heading line of slot k (10 + k). All but the first are warnings about
// the data, which --strict counts.
inline constexpr int WARNING_SUBJECTS = 14;
inline constexpr int FIRST_DATA_SUBJECT = 4;
struct HeldWarning {
    int subject;
    std::string text;
};

// Whether the first line of the regular file open as `fd` that is neither a
// comment nor blank is a heading (read with pread; the file's position is
// not moved). False on a read error or when there is no such line.
bool starts_with_heading(int fd, const ReadOptions& o);

class RowReader {
  public:
    // Reads the group's rows from `slots` (as opened, or placed at the row
    // `first_row` of the group). With `hold`, warnings are kept in `held`
    // instead of being written.
    RowReader(const Settings& settings, InputSlot* slots, std::uint64_t first_row, bool hold);

    // Reads rows into `block` from its first row on, until it holds SAMPLES
    // rows, the reading of the group ends, or it fails. Returns the number
    // of rows read into it.
    unsigned read_block(RowBlock& block);

    // After the reading has ended: the most data lines (not comments, not
    // blank, not a heading) that another input still holds, read on to its
    // end.
    std::uint64_t lines_left();

    // Sets the comment of each slot that had one.
    void keep_comments(Comments& c) const;

    bool ended = false;  // the reading of the group has ended
    int ended_slot = -1; // at the end of this slot's file
    bool dropped = true; // within a row, which is dropped
    bool failed = false; // `error` holds the message
    std::string error;
    std::uint64_t rows; // the group's index of the next row

    Comments comment; // as far as read; stored[k] when slot k had one
    bool stored[4] = {};
    bool warned[WARNING_SUBJECTS] = {};
    std::vector<HeldWarning> held;
    // Warnings about the data written (not held) so far.
    std::uint64_t data_warnings = 0;

  private:
    enum class SlotRead { data, no_data, end_of_group, failed };
    bool next_line(InputSlot& slot);
    template <int Count> bool take_line(int k, bool time);
    template <int Count, bool Time> SlotRead read_slot(int k);
    template <Layout::Kind Kind> bool take_row(RowBlock& b, unsigned j);
    void time_checks(const RowBlock& b, unsigned j);
    [[gnu::noinline]] unsigned too_many_rows(unsigned j);
    template <Layout::Kind Kind> unsigned read_block_as(RowBlock& block);
    template <Layout::Kind Kind> void store_row(RowBlock& b, unsigned j, const bool* iso);
    template <Layout::Kind Kind> bool parse_row(RowBlock& b, unsigned j);
    [[gnu::noinline]] SlotRead read_slot_on(int k);
    bool rows_line(InputSlot& slot, int k);
    void store_comment(int k);
    void warn(int subject, const std::string& text);
    bool numbers(int k, int count, bool time, bool& iso);
    // Out of line, so that the usual line's way stays short.
    [[gnu::noinline]] bool numbers_otherwise(int k, int count, bool time, bool& iso);
    [[gnu::noinline]] void warn_more_columns(int k);
    std::string parse_error(int k, int count, const DataLine& d) const;
    bool fail(std::string message);
    double in_seconds(double t, bool iso) const;

    const Layout& layout_;
    InputSlot* slots_;
    bool hold_;
    bool minutes_;
    ReadOptions options_;
    bool plain_; // no reading options: the usual lines take the short way
    LineWork work_;
    // Whether the current line of each slot was read by the fused row scan;
    // the numbers of each slot's line as read, by the scan or otherwise.
    bool took_[4] = {};
    double taken_[4][4] = {};
};
