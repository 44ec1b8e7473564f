// Reading a group's inputs row by row, capturing comment lines (see
// row_reader.h for the shape of the reader).
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
// line that does not parse is shown with its number.
//
// The numbers of a line are read as the reading options say (data_line.h);
// a line with text glued to a number, or a time that begins like a date but
// is none, is refused with its own message, and a hint when the line looks
// written with a decimal comma or another delimiter. More columns than the
// layout reads are read as before and reported once per file. A time may be
// written as an ISO 8601 date and time (isotime.h). When one input ends
// before the others, the others are read on to their ends to count the rows
// that are lost (for the integrity report, report.h).
#include "row_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>

#include <avq/avq.h>

#include "display_line.h"
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

constexpr double TIME_TOLERANCE = 1e-5; // seconds

// The layout of a kind, for the reading compiled for it.
constexpr const Layout& layout_of(Layout::Kind kind) {
    return kind == Layout::Kind::one_column   ? ONE_COLUMN
           : kind == Layout::Kind::two_column ? TWO_COLUMN
                                              : FOUR_COLUMN;
}

// Whether the line of slot k begins with a time: every line but those of
// the value files of the one-column layout.
constexpr bool has_time(Layout::Kind kind, int k) {
    return kind != Layout::Kind::one_column || k == 0;
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

RowReader::RowReader(const Settings& settings, InputSlot* slots, std::uint64_t first_row, bool hold)
    : rows(first_row), layout_(*settings.layout), slots_(slots), hold_(hold),
      minutes_(settings.time_in_minutes), options_(settings.read),
      plain_(options_.delimiter == 0 && !options_.decimal_comma) {}

// A time as read, in seconds: --minutes converts each numeric time right
// after it is read, before any check uses it; an ISO 8601 time is an
// instant, never minutes.
double RowReader::in_seconds(double t, bool iso) const {
    return minutes_ && !iso ? t * 60.0 : t;
}

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
    std::string& c = comment.line[k];
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

// Reads slot k's next line with the fused row scan, straight from the
// reader's block, its end and its numbers (Count of them, the first a time
// with `time`) in one pass, into taken_[k]. False, with nothing read, for
// any line the usual way must read: a comment, a heading, another number
// form, a fault, a line not yet all in the block. A line that ends in a
// line feed never ends the file, so at_end stays as it is.
template <int Count> [[gnu::always_inline]] inline bool RowReader::take_line(int k, bool time) {
    InputSlot& slot = slots_[k];
    if (!slot.rows_begun) return false; // the first data line may be a heading
    LineReader& reader = *slot.reader;
    const char* p = reader.block_rest();
    if (p == nullptr || !plain_row_may_start(p)) return false;
    const char* next = scan_plain_row_of<Count>(p, taken_[k], time);
    if (next == nullptr) return false;
    reader.took(next);
    ++slot.line_no;
    slot.text = p;
    slot.has_data = true;
    return true;
}

// Reads slot k's data line for the current row, storing the first of a run
// of comment lines and skipping blank lines, "#" lines and a heading.
// The layout gives each slot's count of numbers and whether the first is a
// time (Count, Time).
template <int Count, bool Time> RowReader::SlotRead RowReader::read_slot(int k) {
    InputSlot& slot = slots_[k];
    slot.has_data = false;
    if (plain_ && take_line<Count>(k, Time)) [[likely]] {
        took_[k] = true;
        return SlotRead::data;
    }
    // A file that ends before its next line has ended.
    if (!next_line(slot)) return failed ? SlotRead::failed : SlotRead::end_of_group;
    if (sure_row_byte(slot.text[0]) && slot.rows_begun) [[likely]] {
        slot.has_data = true;
        return SlotRead::data;
    }
    return read_slot_on(k);
}

// The usual row, every line of it taken by the fused row scan: stored as
// row j of `b` with its line numbers. False when a line is not: the lines
// taken so far are marked in took_, for parse_row, and the row is read on
// the usual way from the next slot.
template <Layout::Kind Kind>
[[gnu::always_inline]] inline bool RowReader::take_row(RowBlock& b, unsigned j) {
    constexpr const Layout& l = layout_of(Kind);
    for (int k = l.first_slot; k <= l.last_slot; ++k) {
        if (!take_line<l.columns>(k, has_time(Kind, k))) [[unlikely]] {
            for (int i = l.first_slot; i < k; ++i)
                took_[i] = true;
            return false;
        }
        b.line[k][j] = slots_[k].line_no;
    }
    constexpr bool iso[4] = {};
    store_row<Kind>(b, j, iso);
    return true;
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
            return in_comments && k != layout_.last_slot ? SlotRead::no_data
                                                         : SlotRead::end_of_group;
        }
    }
    slot.has_data = true;
    return SlotRead::data;
}

// Reads the `count` numbers of slot k's line into taken_[k], the first a
// time with `time`; fails with the line's error when it does not hold them.
[[gnu::always_inline]] inline bool RowReader::numbers(int k, int count, bool time, bool& iso) {
    if (plain_ && read_plain_line(slots_[k].text, taken_[k], count, time)) [[likely]]
        return true;
    return numbers_otherwise(k, count, time, iso);
}

// The rest of numbers(): reading options, possible dates, lines at fault.
bool RowReader::numbers_otherwise(int k, int count, bool time, bool& iso) {
    DataLine d;
    const int n = read_data_line_slow(slots_[k].text, taken_[k], count, time, options_, d, work_);
    if (n == count && d.fault == DataLine::Fault::none) {
        iso = d.iso;
        if (d.more) warn_more_columns(k);
        return true;
    }
    return fail(parse_error(k, count, d));
}

void RowReader::warn_more_columns(int k) {
    const InputSlot& slot = slots_[k];
    const bool one_column = layout_.kind == Layout::Kind::one_column;
    warn(6 + k, strformat("Warning: %s has more columns than the %s layout reads; only the first "
                          "%d of each line are read\n",
                          slot.name, layout_.option, layout_.columns) +
                    slot.where() +
                    (one_column ? "  (files of time and value are read without -t)\n" : ""));
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
        switch (layout_.kind) {
        case Layout::Kind::one_column:
            m = k == 0 ? "No data in timefile\n"
                       : strformat("No data in file for ch%d %s\n", k, slot.name);
            break;
        case Layout::Kind::two_column:
            m = strformat("Not 2 columns in file %s. Rerun with -t timefile\n", slot.name);
            break;
        case Layout::Kind::four_column:
            m = strformat("Not 4 columns in file %s\n", slot.name);
            break;
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

// Times of channels 2 and 3 of row j later than channel 1's are reported
// once per group; earlier ones are not.
inline void RowReader::time_checks(const RowBlock& b, unsigned j) {
    for (int c = 1; c < CHANNELS; ++c) {
        if (b.time[c][j] - b.time[0][j] > TIME_TOLERANCE) [[unlikely]] {
            warn(3 + c, c == 1 ? "time difference between ch2 and ch1\n"
                               : "time difference between ch3 and ch1\n");
        }
    }
}

// Stores the numbers of a row's lines (taken_; a time ISO 8601 where `iso`
// says, by slot) as row j of `b` according to the layout.
template <Layout::Kind Kind>
[[gnu::always_inline]] inline void RowReader::store_row(RowBlock& b, unsigned j, const bool* iso) {
    switch (Kind) {
    case Layout::Kind::one_column:
        b.time[0][j] = in_seconds(taken_[0][0], iso[0]); // one time serves all three channels
        for (int c = 0; c < CHANNELS; ++c)
            b.value[c][j] = taken_[c + 1][0];
        break;
    case Layout::Kind::two_column:
        for (int c = 0; c < CHANNELS; ++c) {
            b.time[c][j] = in_seconds(taken_[c + 1][0], iso[c + 1]);
            b.value[c][j] = taken_[c + 1][1];
        }
        time_checks(b, j);
        break;
    case Layout::Kind::four_column:
        b.time[0][j] = in_seconds(taken_[1][0], iso[1]); // one time serves all three channels
        for (int c = 0; c < CHANNELS; ++c)
            b.value[c][j] = taken_[1][c + 1];
        break;
    }
}

// Parses the data lines of one row that the fused row scan did not take,
// slot after slot, into row j of `b`.
template <Layout::Kind Kind> bool RowReader::parse_row(RowBlock& b, unsigned j) {
    constexpr const Layout& l = layout_of(Kind);
    bool iso[4] = {};
    for (int k = l.first_slot; k <= l.last_slot; ++k) {
        if (!took_[k] && !numbers(k, l.columns, has_time(Kind, k), iso[k])) return false;
    }
    store_row<Kind>(b, j, iso);
    return true;
}

unsigned RowReader::read_block(RowBlock& block) {
    switch (layout_.kind) {
    case Layout::Kind::one_column:
        return read_block_as<Layout::Kind::one_column>(block);
    case Layout::Kind::two_column:
        return read_block_as<Layout::Kind::two_column>(block);
    case Layout::Kind::four_column:
        return read_block_as<Layout::Kind::four_column>(block);
    }
    return 0;
}

template <Layout::Kind Kind> unsigned RowReader::read_block_as(RowBlock& block) {
    unsigned j = 0;
    while (j < SAMPLES && !ended && !failed) {
        if (plain_ && take_row<Kind>(block, j)) [[likely]] {
            if (rows == MAX_ROWS) [[unlikely]]
                return too_many_rows(j);
            ++rows;
            ++j;
            continue;
        }
        for (int k = layout_.first_slot; k <= layout_.last_slot; ++k) {
            if (took_[k]) continue;
            constexpr int count = layout_of(Kind).columns;
            const SlotRead r =
                has_time(Kind, k) ? read_slot<count, true>(k) : read_slot<count, false>(k);
            if (r == SlotRead::failed) return j;
            if (r == SlotRead::end_of_group) {
                ended = true;
                ended_slot = k;
                return j;
            }
        }
        if (!parse_row<Kind>(block, j)) return j;
        if (rows == MAX_ROWS) [[unlikely]]
            return too_many_rows(j);
        for (int k = layout_.first_slot; k <= layout_.last_slot; ++k) {
            block.line[k][j] = slots_[k].line_no;
            took_[k] = false;
        }
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

// A row read past the most rows that can be converted fails the reading.
unsigned RowReader::too_many_rows(unsigned j) {
    fail(strformat("Too many rows in file %s: at most %u rows can be converted\n", slots_[1].name,
                   static_cast<unsigned>(MAX_ROWS)));
    return j;
}

// When the reading stopped within a row (`dropped`), the slots read before
// the one that ended hold the row's data line, unless they met their own end
// in a run of comments: it counts as left.
std::uint64_t RowReader::lines_left() {
    std::uint64_t most = 0;
    for (int k = layout_.first_slot; k <= layout_.last_slot; ++k) {
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

void RowReader::keep_comments(Comments& c) const {
    for (int k = 0; k < 4; ++k) {
        if (stored[k]) c.line[k] = comment.line[k];
    }
}
