// Reading a group's inputs row by row (read_input.cpp), shared by the
// conversion that keeps the rows in the sample table and by the one that
// streams them into the output (stream.cpp).
//
// A reader fills blocks of SAMPLES rows and hands its failures back as
// values (the message as fatal() would write it), so that it can run on a
// thread of its own; the caller decides when a failure is reported. Its
// warnings (a comment cut for the header, the channel time checks) are
// written at once, or held for a reader of a later part of the group, whose
// warnings are written only once the part before it has been read.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "line_reader.h"
#include "report.h"
#include "velkor.h"

// Rows beyond this cannot be counted in n1 together with the rows that
// block completion may add.
inline constexpr std::uint32_t MAX_ROWS = UINT32_MAX - (SAMPLES - 1);

// One input file of a group. Slot 0 is the time file, slots 1 to 3 the
// channel files.
struct InputSlot {
    // Both null when the layout does not use the slot.
    std::FILE* file = nullptr;
    const char* name = nullptr;
    std::unique_ptr<LineReader> reader;
    bool at_end = false;       // the last read met the end of the file
    std::uint64_t line_no = 0; // lines read so far, comment lines included
    // The current line, without a byte order mark that begins the file.
    const char* text = "";
    bool rows_begun = false; // a data line (or the heading) has been read
    bool has_data = false;   // the current line is the data line of the row being read

    // The length of the current line in bytes, zero bytes included.
    std::size_t length() const {
        return reader->length() - static_cast<std::size_t>(text - reader->line());
    }
    // The second line of a parse error: where it happened and what the
    // line holds.
    std::string where() const;
};

// The inputs of a group, opened in the order time file, channel 2,
// channel 3, channel 1, as the layout uses them.
struct GroupInputs {
    int mode = MODE_2_COLUMN;
    InputSlot slots[4];
    int first_slot = 1; // the slots in use are first_slot to last_slot
    int last_slot = 3;
};

// Opens the inputs (ends the process when one cannot be opened, is an AVQ
// file, or the mode is unknown).
void open_inputs(GroupInputs& in, int mode, const char* timename, const char* fname1,
                 const char* fname2, const char* fname3);
void close_inputs(GroupInputs& in);

// Rows as read, and the line of each row in each input slot in use.
struct RowBlock {
    samp_ rows[SAMPLES];
    std::uint64_t line[4][SAMPLES];
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
    RowReader(const GroupInputs& in, InputSlot* slots, std::uint64_t first_row, bool hold);

    // Reads rows into `block` from its first row on, until it holds SAMPLES
    // rows, the reading of the group ends, or it fails. Returns the number
    // of rows read into it.
    unsigned read_block(RowBlock& block);

    // After the reading has ended: the most data lines (not comments, not
    // blank, not a heading) that another input still holds, read on to its
    // end.
    std::uint64_t lines_left();

    // Sets slots[k] (laid out as cline) to the comment kept of each input
    // slot k that had one.
    void keep_comments(std::string* slots) const;

    bool ended = false;  // the reading of the group has ended
    int ended_slot = -1; // at the end of this slot's file
    bool dropped = true; // within a row, which is dropped
    bool failed = false; // `error` holds the message
    std::string error;
    std::uint64_t rows; // the group's index of the next row

    // Comment lines, as the header keeps them: the first of the last run of
    // comment lines read in each slot (stored[k] when there was one).
    std::string comment[4];
    bool stored[4] = {};
    bool warned[WARNING_SUBJECTS] = {};
    std::vector<HeldWarning> held;
    // Warnings about the data written (not held) so far.
    std::uint64_t data_warnings = 0;

  private:
    enum class SlotRead { data, no_data, end_of_group, failed };
    bool next_line(InputSlot& slot);
    SlotRead read_slot(int k);
    [[gnu::noinline]] SlotRead read_slot_on(int k);
    bool rows_line(InputSlot& slot, int k);
    void store_comment(int k);
    void warn(int subject, const std::string& text);
    bool parse_row(samp_& row);
    bool numbers(int k, double* v, int count, bool time, bool& iso);
    // Out of line, so that the usual line's way stays short.
    [[gnu::noinline]] bool numbers_otherwise(int k, double* v, int count, bool time, bool& iso);
    [[gnu::noinline]] void warn_more_columns(int k);
    std::string parse_error(int k, int count, const DataLine& d) const;
    bool fail(std::string message);

    int mode_;
    int first_slot_, last_slot_;
    InputSlot* slots_;
    bool hold_;
    ReadOptions options_;
    bool plain_; // no reading options: the usual lines take the short way
    LineWork work_;
};

// Reads every row of the opened inputs into `samples`, counts them in `n1`,
// feeds the group's report (warnings about the data written while reading
// included) and captures the comment lines into `cline`. Ends the process
// on the first failure.
void read_into_table(GroupInputs& in);

// Starts the group's report with the names and settings of `in`;
// `typical_step`, when given, holds the typical steps of the group's time
// series.
void begin_report(GroupReport& r, const GroupInputs& in, const double* typical_step = nullptr);
