// Input reading: opens a group's inputs and reads them row by row, capturing
// comment lines (see read_input.h for the shape of the reader).
//
// Lines are read whole, however long (line_reader.h). A line that begins with
// "!" is a comment, wherever it stands: the first of a run of comment lines
// is kept in the slot's comment, the rest of the run is skipped; a comment
// longer than 255 characters keeps its first 255, since readers of the
// header may hold it in a 256-byte buffer. Reading of a group ends at the
// first end of file met in a row; that partial row is dropped.
//
// Every slot counts the lines it has read, comment lines included, so that a
// line that does not parse is shown with its number. The name "-" stands for
// standard input. An input that is an AVQ file is refused before it is read.
//
// A time may be written as an ISO 8601 UTC date and time (isotime.h). When
// one input ends before the others, the others are read on to their ends to
// count the rows that are lost (for the integrity report, report.h).
#include "read_input.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <string_view>

#include <avq/avq.h>

#include "display_line.h"
#include "fatal.h"
#include "isotime.h"
#include "numscan.h"
#include "strformat.h"

namespace {

// Characters of a comment line that the header keeps.
constexpr std::size_t COMMENT_KEPT = 255;

bool is_comment(const char* line) {
    return line[0] == '!';
}

// An AVQ file where a text input belongs is refused before anything is read
// from it; the bytes looked at stay in the reader for the reading itself.
void refuse_avq_input(InputSlot& slot) {
    bool whole = false;
    const std::string_view start = slot.reader->peek(whole);
    if (avq::detect_form(start, whole) != avq::Detected::text) {
        fatal("Error: %s is an AVQ file, not a text input (are the input and output swapped?)\n",
              slot.name);
    }
}

void open_slot(InputSlot& slot, const char* name) {
    slot.name = name;
    slot.file = names_standard_stream(name) ? stdin : std::fopen(name, "r");
    if (slot.file == nullptr) fatal("Can't open file %s\n", name);
    try {
        slot.reader = std::make_unique<LineReader>(slot.file);
    } catch (const std::bad_alloc&) {
        fatal("Out of memory reading file %s\n", name);
    }
    refuse_avq_input(slot);
}

constexpr double TIME_TOLERANCE = 1e-5; // seconds

// A time as read, in seconds: --minutes converts each numeric time right
// after it is read, before any check uses it; an ISO 8601 time is an
// instant, never minutes.
double in_seconds(double t, bool iso) {
    return time_in_minutes && !iso ? t * 60.0 : t;
}

bool is_blank(const char* line) {
    for (; *line != '\0'; ++line) {
        if (!is_space(*line)) return false;
    }
    return true;
}

} // namespace

std::string InputSlot::where() const {
    return "  line " + std::to_string(line_no) + ": " +
           display_line({reader->line(), reader->length()}) + "\n";
}

void open_inputs(GroupInputs& in, int mode, const char* timename, const char* fname1,
                 const char* fname2, const char* fname3) {
    if (mode != MODE_1_COLUMN && mode != MODE_2_COLUMN && mode != MODE_4_COLUMN) {
        fatal("Unknown mode: %d\n", mode);
    }
    in.mode = mode;
    if (mode == MODE_1_COLUMN) open_slot(in.slots[0], timename);
    if (mode != MODE_4_COLUMN) {
        open_slot(in.slots[2], fname2);
        open_slot(in.slots[3], fname3);
    }
    open_slot(in.slots[1], fname1);
    in.first_slot = mode == MODE_1_COLUMN ? 0 : 1;
    in.last_slot = mode == MODE_4_COLUMN ? 1 : 3;
}

void close_inputs(GroupInputs& in) {
    // Standard input belongs to the process, not to the group.
    for (InputSlot& slot : in.slots) {
        if (slot.file != nullptr && slot.file != stdin) std::fclose(slot.file);
        slot.file = nullptr;
    }
}

RowReader::RowReader(const GroupInputs& in, InputSlot* slots, std::uint64_t first_row, bool hold)
    : rows(first_row), mode_(in.mode), first_slot_(in.first_slot), last_slot_(in.last_slot),
      slots_(slots), hold_(hold) {}

bool RowReader::fail(std::string message) {
    failed = true;
    error = std::move(message);
    return false;
}

void RowReader::warn(int subject, const char* text) {
    if (warned[subject]) return;
    warned[subject] = true;
    if (hold_) {
        held.push_back({subject, text});
    } else {
        std::fputs(text, stderr);
    }
}

// Reads the slot's next line. Returns false at the end of the file, leaving
// line() as it was, and on a failure (a read error is not an end of file).
bool RowReader::next_line(InputSlot& slot) {
    LineReader::Status status = LineReader::END_OF_FILE;
    try {
        status = slot.reader->next();
    } catch (const std::bad_alloc&) {
        return fail(strformat("Out of memory reading file %s: no room for line %llu\n", slot.name,
                              static_cast<unsigned long long>(slot.line_no + 1)));
    }
    if (status == LineReader::LINE_READ) {
        ++slot.line_no;
        slot.at_end = slot.reader->at_end();
        return true;
    }
    if (status == LineReader::READ_ERROR) {
        return fail(strformat("Error reading file %s: %s\n", slot.name,
                              std::strerror(slot.reader->error())));
    }
    slot.at_end = true;
    return false;
}

// Stores slot k's current line as its comment. A comment of a channel file
// that is cut for the header is reported, once per file; the time file's
// comment never reaches a header.
void RowReader::store_comment(int k) {
    std::string& c = comment[k];
    c = avq::strip_line_ends(slots_[k].line());
    stored[k] = true;
    if (c.size() <= COMMENT_KEPT) return;
    c.resize(COMMENT_KEPT);
    if (k != 0) {
        warn(k, strformat("Warning: comment line in %s is longer than 255 characters; the header "
                          "keeps the first 255\n",
                          slots_[k].name)
                    .c_str());
    }
}

// Reads slot k's data line for the current row, storing the first of a run
// of comment lines.
RowReader::SlotRead RowReader::read_slot(int k) {
    InputSlot& slot = slots_[k];
    if (!next_line(slot)) return failed ? SlotRead::failed : SlotRead::end_of_group;
    if (!is_comment(slot.line())) return SlotRead::data;
    store_comment(k);
    while (is_comment(slot.line())) {
        if (!next_line(slot)) {
            if (failed) return SlotRead::failed;
            // The file ended inside a run of comments. The buffer keeps the
            // last comment line, so a row that still reaches parsing fails on
            // this slot with its own error.
            return k == last_slot_ ? SlotRead::end_of_group : SlotRead::no_data;
        }
    }
    return SlotRead::data;
}

// Parses the data lines of one row into `row` according to the layout.
bool RowReader::parse_row(samp_& row) {
    double v[4];
    bool iso = false;
    InputSlot* s = slots_;
    switch (mode_) {
    case MODE_1_COLUMN: {
        if (scan_time_line(s[0].line(), v, 1, iso, iso_text_) != 1) {
            return fail("No data in timefile\n" + s[0].where());
        }
        const double t = in_seconds(v[0], iso);
        for (int c = 0; c < CHANNELS; ++c) {
            if (scan_numbers(s[c + 1].line(), v, 1) != 1) {
                return fail(strformat("No data in file for ch%d %s\n", c + 1, s[c + 1].name) +
                            s[c + 1].where());
            }
            row.ch[c].time = t;
            row.ch[c].data = v[0];
        }
        break;
    }
    case MODE_2_COLUMN:
        for (int c = 0; c < CHANNELS; ++c) {
            if (scan_time_line(s[c + 1].line(), v, 2, iso, iso_text_) != 2) {
                return fail(
                    strformat("Not 2 columns in file %s. Rerun with -t timefile\n", s[c + 1].name) +
                    s[c + 1].where());
            }
            row.ch[c].time = in_seconds(v[0], iso);
            row.ch[c].data = v[1];
            // Times of channels 2 and 3 later than channel 1's are reported
            // once per group; earlier ones are not.
            if (c > 0 && row.ch[c].time - row.ch[0].time > TIME_TOLERANCE) {
                warn(3 + c, c == 1 ? "time difference between ch2 and ch1\n"
                                   : "time difference between ch3 and ch1\n");
            }
        }
        break;
    default: // MODE_4_COLUMN
        if (scan_time_line(s[1].line(), v, 4, iso, iso_text_) != 4) {
            return fail(strformat("Not 4 columns in file %s\n", s[1].name) + s[1].where());
        }
        row.ch[0].time = in_seconds(v[0], iso);
        row.ch[0].data = v[1];
        row.ch[1] = {0.0, v[2]}; // one time serves all three channels
        row.ch[2] = {0.0, v[3]};
        break;
    }
    return true;
}

unsigned RowReader::read_block(RowBlock& block) {
    unsigned j = 0;
    while (j < SAMPLES && !ended && !failed) {
        for (int k = first_slot_; k <= last_slot_; ++k) {
            const SlotRead r = read_slot(k);
            if (r == SlotRead::failed) return j;
            if (r == SlotRead::end_of_group) {
                ended = true;
                ended_slot = k;
                return j;
            }
        }
        if (!parse_row(block.rows[j])) return j;
        if (rows == MAX_ROWS) {
            fail(strformat("Too many rows in file %s: at most %u rows can be converted\n",
                           slots_[1].name, static_cast<unsigned>(MAX_ROWS)));
            return j;
        }
        for (int k = first_slot_; k <= last_slot_; ++k)
            block.line[k][j] = slots_[k].line_no;
        ++rows;
        ++j;
        if (slots_[1].at_end) {
            ended = true; // the row is converted
            ended_slot = 1;
            dropped = false;
        }
    }
    return j;
}

// When the reading stopped within a row (`dropped`), the slots read before
// the one that ended hold the row's data line, unless they met their own end
// in a run of comments (their line is then that comment): it counts as left.
std::uint64_t RowReader::lines_left() {
    std::uint64_t most = 0;
    for (int k = first_slot_; k <= last_slot_; ++k) {
        if (k == ended_slot) continue;
        InputSlot& slot = slots_[k];
        std::uint64_t n = dropped && k < ended_slot && !is_comment(slot.line()) ? 1 : 0;
        while (next_line(slot)) {
            if (!is_comment(slot.line()) && !is_blank(slot.line())) ++n;
        }
        if (failed) return 0;
        most = std::max(most, n);
    }
    return most;
}

void RowReader::keep_comments(std::string* slots) const {
    for (int k = 0; k < 4; ++k) {
        if (stored[k]) slots[k] = comment[k];
    }
}

void begin_report(GroupReport& r, const GroupInputs& in, const double* typical_step) {
    ReportSetup setup;
    setup.mode = in.mode;
    for (int k = 0; k < 4; ++k)
        setup.names[k] = in.slots[k].name;
    setup.binary_values = binary != 0;
    setup.scale = global_scale;
    setup.minute_of_day = binary != 0 && normaltime != 0;
    if (typical_step != nullptr) {
        setup.typical_given = true;
        std::copy(typical_step, typical_step + CHANNELS, setup.typical_step);
    }
    report_begin(r, setup);
}

namespace {

// Gives the table room for `rows` rows, or ends the run with a clear message
// when the memory is not there.
void reserve_rows(std::size_t rows, const char* name) {
    try {
        samples.reserve(rows);
    } catch (const std::exception&) { // std::bad_alloc or std::length_error
        fatal("Out of memory reading file %s: no room for %zu rows\n", name, rows);
    }
}

// Sizes the table at the start of a group. Every row takes at least one
// line of the channel-1 file, so for a regular file the table is
// sized once, for all its rows and the rows block completion may add:
// growing a table of hundreds of megabytes by doubling would hold the old
// and the new copy at once, and leave up to half of the last one unused.
// The usual reservation stays the floor. When the size cannot be known (a
// pipe), or the bound cannot be had (a file of mostly comment lines may
// promise far more rows than it holds), the table starts at the usual size
// and doubles as it fills.
void size_table(InputSlot& channel1) {
    const std::size_t lines = channel1.reader->line_bound();
    const std::size_t bound = std::min<std::size_t>(lines, MAX_ROWS) + (SAMPLES - 1);
    if (lines != 0 && bound > maxsamples) {
        try {
            samples.reserve(bound);
            return;
        } catch (const std::exception&) {
            // Not enough memory for the bound; the rows may still fit.
        }
    }
    reserve_rows(maxsamples, channel1.name);
}

// Appends the rows of a block to the table, doubling its room as it fills.
void append_rows(const RowBlock& block, unsigned n, const char* name) {
    while (samples.size() + n > samples.capacity()) {
        reserve_rows(std::max<std::size_t>(2 * samples.capacity(), maxsamples), name);
    }
    samples.insert(samples.end(), block.rows, block.rows + n);
}

} // namespace

void read_into_table(GroupInputs& in) {
    InputSlot& channel1 = in.slots[1];
    size_table(channel1);
    begin_report(group_report, in);
    const auto block = std::make_unique<RowBlock>();
    RowReader reader(in, in.slots, 0, false);
    while (!reader.ended) {
        const unsigned n = reader.read_block(*block);
        // The rows before a failure come first: the table may fail to grow
        // for them.
        append_rows(*block, n, channel1.name);
        report_block(group_report, block->rows, n, block->line);
        if (reader.failed) fatal("%s", reader.error.c_str());
    }
    n1 = static_cast<std::uint32_t>(samples.size());
    const std::uint64_t left = reader.lines_left();
    if (reader.failed) fatal("%s", reader.error.c_str());
    report_input_end(group_report, reader.ended_slot, left);
    reader.keep_comments(cline);
    // Block completion appends up to SAMPLES - 1 rows; room for them is made
    // here, where running out of memory can still be reported.
    reserve_rows(samples.size() + (SAMPLES - 1), channel1.name);
}

void read_group(int mode, const char* timename, const char* fname1, const char* fname2,
                const char* fname3) {
    GroupInputs in;
    open_inputs(in, mode, timename, fname1, fname2, fname3);
    read_into_table(in);
    close_inputs(in);
}
