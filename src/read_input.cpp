// Input reading: opens a group's inputs and reads them row by row, capturing
// comment lines (see read_input.h for the shape of the reader).
//
// Lines are read whole, however long (line_reader.h); a UTF-8 byte order
// mark that begins a file is not part of its first line. A line that begins
// with "!" is a comment, wherever it stands: the first of a run of comment
// lines is kept in the slot's comment, the rest of the run is skipped; a
// comment longer than 255 characters keeps its first 255, since readers of
// the header may hold it in a 256-byte buffer. Lines that are blank (white
// space only) and lines whose first character that is not white space is
// "#" are skipped wherever they stand, as if they were not there; so is the
// first line of a file that is neither of these nor a comment when it is a
// heading (data_line.h: column names, a title), with a warning. Every other
// line is a data line: one row. Reading of a group ends at the first end of
// file met in a row; that partial row is dropped.
//
// Every slot counts the lines it has read, every line included, so that a
// line that does not parse is shown with its number. The name "-" stands for
// standard input. An input that is an AVQ file is refused before it is read.
//
// The numbers of a line are read as the reading options say (data_line.h);
// a line with text glued to a number, or a time that begins like a date but
// is none, is refused with its own message, and a hint when the line looks
// written with a decimal comma or another delimiter. More columns than the
// layout reads are read as before and reported once per file. A time may be
// written as an ISO 8601 date and time (isotime.h). When one input ends
// before the others, the others are read on to their ends to count the rows
// that are lost (for the integrity report, report.h).
#include "read_input.h"

#include <algorithm>
#include <cerrno>
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

// What a line is to the reading. The line's bytes are looked at up to its
// length, zero bytes included, as find_line_end looks at them.
enum class LineKind { comment, skipped, data };

LineKind kind_of(const char* text, std::size_t length) {
    if (is_comment(text)) return LineKind::comment;
    for (std::size_t i = 0; i < length; ++i) {
        if (!is_space(text[i])) return text[i] == '#' ? LineKind::skipped : LineKind::data;
    }
    return LineKind::skipped; // blank
}

bool begins_with_bom(const char* line) {
    return line[0] == '\xEF' && line[1] == '\xBB' && line[2] == '\xBF';
}

// A line whose first byte is none of white space, "!", '"' and "#" (nor a
// control byte) is a data line, known at a glance: digits, signs, points,
// letters.
inline bool data_at_a_glance(const char* text) {
    return static_cast<unsigned char>(text[0]) >= '$';
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
    if (slot.file == nullptr) fatal("Can't open file %s: %s\n", name, std::strerror(errno));
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

// The layout as its option names it, and the numbers of a line it reads.
const char* layout_name(int mode) {
    return mode == MODE_4_COLUMN ? "-4" : mode == MODE_2_COLUMN ? "-2" : "-1";
}

int layout_columns(int mode) {
    return mode == MODE_4_COLUMN ? 4 : mode == MODE_2_COLUMN ? 2 : 1;
}

// Whether the line, its blanks at either end left out, holds white space:
// fields separated by blanks.
bool blank_inside(const char* line) {
    while (is_space(*line))
        ++line;
    const char* end = line + std::strlen(line);
    while (end > line && is_space(end[-1]))
        --end;
    return std::find_if(line, end, is_space) != end;
}

bool comma_digit_in(std::string_view field) {
    for (std::size_t i = 0; i + 1 < field.size(); ++i) {
        if (field[i] == ',' && field[i + 1] >= '0' && field[i + 1] <= '9') return true;
    }
    return false;
}

} // namespace

std::string InputSlot::where() const {
    return "  line " + std::to_string(line_no) + ": " + display_line({text, length()}) + "\n";
}

bool starts_with_heading(int fd, const ReadOptions& o) {
    try {
        LineReader reader(fd, 0, 1u << 16);
        for (bool first = true; reader.next() == LineReader::LINE_READ; first = false) {
            const char* text = reader.line();
            if (first && begins_with_bom(text)) text += 3;
            const std::size_t length =
                reader.length() - static_cast<std::size_t>(text - reader.line());
            if (kind_of(text, length) == LineKind::data) return is_heading(text, o);
        }
    } catch (const std::bad_alloc&) {
        // No room for a line: the placement fails as a read would.
    }
    return false;
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
      slots_(slots), hold_(hold), options_(run_options.read),
      plain_(options_.delimiter == 0 && !options_.decimal_comma) {}

bool RowReader::fail(std::string message) {
    failed = true;
    error = std::move(message);
    return false;
}

void RowReader::warn(int subject, const std::string& text) {
    if (warned[subject]) return;
    warned[subject] = true;
    if (hold_) {
        held.push_back({subject, text});
    } else {
        std::fputs(text.c_str(), stderr);
        if (subject >= FIRST_DATA_SUBJECT) ++data_warnings;
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
        slot.text = slot.reader->line();
        if (slot.line_no == 1 && begins_with_bom(slot.text)) slot.text += 3;
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
    c = avq::strip_line_ends(slots_[k].text);
    stored[k] = true;
    if (c.size() <= COMMENT_KEPT) return;
    c.resize(COMMENT_KEPT);
    if (k != 0) {
        warn(k, strformat("Warning: comment line in %s is longer than 255 characters; the header "
                          "keeps the first 255\n",
                          slots_[k].name));
    }
}

// Whether slot k's current line, neither a comment nor skipped, is a row's
// data line: the first such line of a file may be a heading, which is
// skipped with a warning.
bool RowReader::rows_line(InputSlot& slot, int k) {
    if (slot.rows_begun) return true;
    slot.rows_begun = true;
    if (!is_heading(slot.text, options_)) return true;
    warn(10 + k, strformat("Warning: %s: line %llu taken for a heading and skipped\n", slot.name,
                           static_cast<unsigned long long>(slot.line_no)) +
                     slot.where());
    return false;
}

// Reads slot k's data line for the current row, storing the first of a run
// of comment lines and skipping blank lines, "#" lines and a heading.
RowReader::SlotRead RowReader::read_slot(int k) {
    InputSlot& slot = slots_[k];
    slot.has_data = false;
    // A file that ends before its next line has ended.
    if (!next_line(slot)) return failed ? SlotRead::failed : SlotRead::end_of_group;
    if (data_at_a_glance(slot.text) && slot.rows_begun) [[likely]] {
        slot.has_data = true;
        return SlotRead::data;
    }
    return read_slot_on(k);
}

// The rest of read_slot, from a line that is not known at a glance.
RowReader::SlotRead RowReader::read_slot_on(int k) {
    InputSlot& slot = slots_[k];
    bool in_comments = false; // a comment line came since the last data line
    for (;;) {
        const LineKind kind = kind_of(slot.text, slot.length());
        if (kind == LineKind::comment) {
            if (!in_comments) store_comment(k);
            in_comments = true;
        } else if (kind == LineKind::data && rows_line(slot, k)) {
            break;
        }
        if (!next_line(slot)) {
            if (failed) return SlotRead::failed;
            // The file ended inside a run of comments. The buffer keeps the
            // last line, so a row that still reaches parsing fails on this
            // slot with its own error. A file that ends after blank or "#"
            // lines has simply ended.
            return in_comments && k != last_slot_ ? SlotRead::no_data : SlotRead::end_of_group;
        }
    }
    slot.has_data = true;
    return SlotRead::data;
}

// Reads the `count` numbers of slot k's line into `v`, the first a time
// with `time`; fails with the line's error when it does not hold them.
[[gnu::always_inline]] inline bool RowReader::numbers(int k, double* v, int count, bool time,
                                                      bool& iso) {
    if (plain_ && read_plain_line(slots_[k].text, v, count, time)) [[likely]] {
        iso = false;
        return true;
    }
    return numbers_otherwise(k, v, count, time, iso);
}

// The rest of numbers(): reading options, possible dates, lines at fault.
bool RowReader::numbers_otherwise(int k, double* v, int count, bool time, bool& iso) {
    DataLine d;
    const int n = read_data_line_slow(slots_[k].text, v, count, time, options_, d, work_);
    if (n == count && d.fault == DataLine::Fault::none) {
        iso = d.iso;
        if (d.more) warn_more_columns(k);
        return true;
    }
    return fail(parse_error(k, count, d));
}

void RowReader::warn_more_columns(int k) {
    const InputSlot& slot = slots_[k];
    warn(6 + k,
         strformat("Warning: %s has more columns than the %s layout reads; only the first "
                   "%d of each line are read\n",
                   slot.name, layout_name(mode_), layout_columns(mode_)) +
             slot.where() +
             (mode_ == MODE_1_COLUMN ? "  (files of time and value are read without -t)\n" : ""));
}

// The message of a line that does not hold its numbers: what is wrong, the
// line, and hints at the options that may read it.
std::string RowReader::parse_error(int k, int count, const DataLine& d) const {
    const InputSlot& slot = slots_[k];
    std::string m;
    switch (d.fault) {
    case DataLine::Fault::glued:
        m = strformat("Error: %s: the number in \"%s\" is followed by other text\n", slot.name,
                      display_line(d.field).c_str());
        break;
    case DataLine::Fault::not_a_time:
        m = strformat("Error: %s: \"%s\" is not a time velkor reads (seconds since 1970, or ISO "
                      "8601 such as 2026-01-02T00:00:00.05Z)\n",
                      slot.name, display_line(d.field).c_str());
        break;
    case DataLine::Fault::none:
        if (mode_ == MODE_1_COLUMN) {
            m = k == 0 ? "No data in timefile\n"
                       : strformat("No data in file for ch%d %s\n", k, slot.name);
        } else if (mode_ == MODE_2_COLUMN) {
            m = strformat("Not 2 columns in file %s. Rerun with -t timefile\n", slot.name);
        } else {
            m = strformat("Not 4 columns in file %s\n", slot.name);
        }
        break;
    }
    m += slot.where();
    const bool comma = !options_.decimal_comma &&
                       ((d.fault == DataLine::Fault::glued && d.comma_digits) ||
                        (d.fault == DataLine::Fault::not_a_time && comma_digit_in(d.field)));
    if (comma) m += "  (a decimal comma? use --decimal-comma)\n";
    if (options_.delimiter == 0 && count > 1) {
        // A line of fields separated by blanks holds decimal commas rather
        // than delimiters.
        if (std::strchr(slot.text, ';') != nullptr) {
            m += "  (fields separated by \";\"? use --delimiter=;)\n";
        } else if (std::strchr(slot.text, ',') != nullptr && (!comma || !blank_inside(slot.text))) {
            m += "  (fields separated by \",\"? use --delimiter=,)\n";
        }
    }
    return m;
}

// Parses the data lines of one row into `row` according to the layout.
bool RowReader::parse_row(samp_& row) {
    double v[4];
    bool iso = false;
    switch (mode_) {
    case MODE_1_COLUMN: {
        if (!numbers(0, v, 1, true, iso)) return false;
        const double t = in_seconds(v[0], iso);
        for (int c = 0; c < CHANNELS; ++c) {
            bool unused = false;
            if (!numbers(c + 1, v, 1, false, unused)) return false;
            row.ch[c].time = t;
            row.ch[c].data = v[0];
        }
        break;
    }
    case MODE_2_COLUMN:
        for (int c = 0; c < CHANNELS; ++c) {
            if (!numbers(c + 1, v, 2, true, iso)) return false;
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
        if (!numbers(1, v, 4, true, iso)) return false;
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
// in a run of comments: it counts as left.
std::uint64_t RowReader::lines_left() {
    std::uint64_t most = 0;
    for (int k = first_slot_; k <= last_slot_; ++k) {
        if (k == ended_slot) continue;
        InputSlot& slot = slots_[k];
        std::uint64_t n = dropped && k < ended_slot && slot.has_data ? 1 : 0;
        while (next_line(slot)) {
            if (kind_of(slot.text, slot.length()) != LineKind::data) continue;
            // A heading of a file not read so far is no row (and not
            // warned about: its rows are not converted).
            if (!slot.rows_begun) {
                slot.rows_begun = true;
                if (is_heading(slot.text, options_)) continue;
            }
            ++n;
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
    group_report.reading_warnings = reader.data_warnings;
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
