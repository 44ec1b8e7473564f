// Input reading: opens a group's inputs and reads them row by row into the
// sample table, capturing comment lines.
//
// Lines are read whole, however long (line_reader.h). A line that begins with
// "!" is a comment, wherever it stands: the first of a run of comment lines
// is kept in the slot's `cline` entry, the rest of the run is skipped; a
// comment longer than 255 characters keeps its first 255, since readers of
// the header may hold it in a 256-byte buffer. Reading of a group ends at the
// first end of file met in a row; that partial row is dropped.
//
// Every slot counts the lines it has read, comment lines included, so that a
// line that does not parse is shown with its number. The name "-" stands for
// standard input. An input that is an AVQ file is refused before it is read.
//
// A time may be written as an ISO 8601 UTC date and time (isotime.h). Each
// row is handed to the group's integrity report (report.h) as it is read,
// with the line numbers of its slots; when one input ends before the others,
// the others are read on to their ends to count the rows that are lost.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include <avq/avq.h>

#include "display_line.h"
#include "fatal.h"
#include "isotime.h"
#include "line_reader.h"
#include "numscan.h"
#include "report.h"
#include "velkor.h"

namespace {

// Characters of a comment line that the header keeps.
constexpr std::size_t COMMENT_KEPT = 255;

// One input file of the group. Slot 0 is the time file, slots 1 to 3 the
// channel files.
struct InputSlot {
    std::FILE* file = nullptr;
    const char* name = nullptr;
    std::unique_ptr<LineReader> reader;
    bool at_end = false;       // the last read met the end of the file
    std::uint64_t line_no = 0; // lines read so far, comment lines included
    bool warned_long = false;  // a long comment of this file was reported

    // The slot's current line.
    const char* line() const { return reader->line(); }

    // Reads the next line. Returns false at the end of the file, leaving
    // line() as it was. A read error is not an end of file: it ends the run.
    bool next_line() {
        LineReader::Status status = LineReader::END_OF_FILE;
        try {
            status = reader->next();
        } catch (const std::bad_alloc&) {
            fatal("Out of memory reading file %s: no room for line %llu\n", name,
                  static_cast<unsigned long long>(line_no + 1));
        }
        switch (status) {
        case LineReader::LINE_READ:
            ++line_no;
            at_end = reader->at_end();
            return true;
        case LineReader::READ_ERROR:
            fatal("Error reading file %s: %s\n", name, std::strerror(reader->error()));
        case LineReader::END_OF_FILE:
            break;
        }
        at_end = true;
        return false;
    }

    // The second line of a parse error: where it happened and what the
    // line holds.
    std::string where() const {
        return "  line " + std::to_string(line_no) + ": " +
               display_line({reader->line(), reader->length()}) + "\n";
    }
};

bool is_comment(const char* line) {
    return line[0] == '!';
}

// Stores the slot's current line as the comment of slot k. A comment of a
// channel file that is cut for the header is reported, once per file; the
// time file's comment never reaches a header.
void store_comment(InputSlot& slot, int k) {
    cline[k] = avq::strip_line_ends(slot.line());
    if (cline[k].size() <= COMMENT_KEPT) return;
    cline[k].resize(COMMENT_KEPT);
    if (k != 0 && !slot.warned_long) {
        std::fprintf(stderr,
                     "Warning: comment line in %s is longer than 255 characters; the header "
                     "keeps the first 255\n",
                     slot.name);
        slot.warned_long = true;
    }
}

enum class SlotRead { data, no_data, end_of_group };

// Reads slot k's data line for the current row, storing the first of a run
// of comment lines in cline[k].
SlotRead read_slot(InputSlot& slot, int k, bool last_slot) {
    if (!slot.next_line()) return SlotRead::end_of_group;
    if (!is_comment(slot.line())) return SlotRead::data;
    store_comment(slot, k);
    while (is_comment(slot.line())) {
        if (!slot.next_line()) {
            // The file ended inside a run of comments. The buffer keeps the
            // last comment line, so a row that still reaches parsing fails on
            // this slot with its own error.
            return last_slot ? SlotRead::end_of_group : SlotRead::no_data;
        }
    }
    return SlotRead::data;
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

void close_slot(InputSlot& slot) {
    // Standard input belongs to the process, not to the group.
    if (slot.file != nullptr && slot.file != stdin) std::fclose(slot.file);
}

// Per-group state of the parsing: the channel time checks warn once each
// at most; `iso_text` is room for the epoch text of an ISO 8601 time.
struct TimeChecks {
    bool warned_ch2 = false;
    bool warned_ch3 = false;
    std::string iso_text;
};

constexpr double TIME_TOLERANCE = 1e-5; // seconds

void check_time(double t_ch, double t_ch1, bool& warned, const char* message) {
    if (!warned && t_ch - t_ch1 > TIME_TOLERANCE) {
        std::fputs(message, stderr);
        warned = true;
    }
}

// A time as read, in seconds: --minutes converts each numeric time right
// after it is read, before any check uses it; an ISO 8601 time is an
// instant, never minutes.
double in_seconds(double t, bool iso) {
    return time_in_minutes && !iso ? t * 60.0 : t;
}

// Parses the data lines of one row into `row` according to the layout.
void parse_row(int mode, InputSlot* slots, samp_& row, TimeChecks& checks) {
    double v[4];
    bool iso = false;
    switch (mode) {
    case MODE_1_COLUMN: {
        if (scan_time_line(slots[0].line(), v, 1, iso, checks.iso_text) != 1) {
            fatal("No data in timefile\n%s", slots[0].where().c_str());
        }
        const double t = in_seconds(v[0], iso);
        for (int c = 0; c < CHANNELS; ++c) {
            if (scan_numbers(slots[c + 1].line(), v, 1) != 1) {
                fatal("No data in file for ch%d %s\n%s", c + 1, slots[c + 1].name,
                      slots[c + 1].where().c_str());
            }
            row.ch[c].time = t;
            row.ch[c].data = v[0];
        }
        break;
    }
    case MODE_2_COLUMN:
        for (int c = 0; c < CHANNELS; ++c) {
            if (scan_time_line(slots[c + 1].line(), v, 2, iso, checks.iso_text) != 2) {
                fatal("Not 2 columns in file %s. Rerun with -t timefile\n%s", slots[c + 1].name,
                      slots[c + 1].where().c_str());
            }
            row.ch[c].time = in_seconds(v[0], iso);
            row.ch[c].data = v[1];
            if (c == 1) {
                check_time(row.ch[1].time, row.ch[0].time, checks.warned_ch2,
                           "time difference between ch2 and ch1\n");
            } else if (c == 2) {
                check_time(row.ch[2].time, row.ch[0].time, checks.warned_ch3,
                           "time difference between ch3 and ch1\n");
            }
        }
        break;
    case MODE_4_COLUMN:
        if (scan_time_line(slots[1].line(), v, 4, iso, checks.iso_text) != 4) {
            fatal("Not 4 columns in file %s\n%s", slots[1].name, slots[1].where().c_str());
        }
        row.ch[0].time = in_seconds(v[0], iso);
        row.ch[0].data = v[1];
        row.ch[1].data = v[2];
        row.ch[2].data = v[3];
        break;
    }
}

// Rows beyond this cannot be counted in n1 together with the rows that
// block completion may add.
constexpr std::uint32_t MAX_ROWS = UINT32_MAX - (SAMPLES - 1);

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
void size_table(InputSlot& channel1, const char* name) {
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
    reserve_rows(maxsamples, name);
}

void begin_report(int mode, const InputSlot* slots) {
    ReportSetup setup;
    setup.mode = mode;
    for (int k = 0; k < 4; ++k)
        setup.names[k] = slots[k].name;
    setup.binary_values = binary != 0;
    setup.scale = global_scale;
    setup.minute_of_day = binary != 0 && normaltime != 0;
    report_begin(group_report, setup);
}

bool is_blank(const char* line) {
    for (; *line != '\0'; ++line) {
        if (*line != ' ' && (*line < '\t' || *line > '\r')) return false;
    }
    return true;
}

// When one input ends before the others: the most data lines (not comments,
// not blank) that another input still holds, read on to its end. When the
// reading stopped within a row (`dropped`), the slots read before the one
// that ended hold the row's data line, unless they met their own end in a
// run of comments (their line is then that comment): it counts as left.
std::uint64_t lines_left(InputSlot* slots, int ended, bool dropped) {
    std::uint64_t most = 0;
    for (int k = 0; k < 4; ++k) {
        if (k == ended || slots[k].file == nullptr) continue;
        std::uint64_t n = dropped && k < ended && !is_comment(slots[k].line()) ? 1 : 0;
        while (slots[k].next_line()) {
            if (!is_comment(slots[k].line()) && !is_blank(slots[k].line())) ++n;
        }
        most = std::max(most, n);
    }
    return most;
}

} // namespace

void read_group(int mode, const char* timename, const char* fname1, const char* fname2,
                const char* fname3) {
    if (mode != MODE_1_COLUMN && mode != MODE_2_COLUMN && mode != MODE_4_COLUMN) {
        fatal("Unknown mode: %d\n", mode);
    }
    InputSlot slots[4];
    if (mode == MODE_1_COLUMN) open_slot(slots[0], timename);
    if (mode != MODE_4_COLUMN) {
        open_slot(slots[2], fname2);
        open_slot(slots[3], fname3);
    }
    open_slot(slots[1], fname1);
    const int last_slot = mode == MODE_4_COLUMN ? 1 : 3;

    size_table(slots[1], fname1);
    begin_report(mode, slots);
    TimeChecks checks;
    int ended = -1;      // the slot whose end stopped the reading
    bool dropped = true; // within a row, which is dropped
    while (ended < 0) {
        for (int k = 0; k < 4 && ended < 0; ++k) {
            if (slots[k].file == nullptr) continue;
            if (read_slot(slots[k], k, k == last_slot) == SlotRead::end_of_group) ended = k;
        }
        if (ended >= 0) break;
        samp_ row{};
        parse_row(mode, slots, row, checks);
        if (n1 == MAX_ROWS) {
            fatal("Too many rows in file %s: at most %u rows can be converted\n", fname1,
                  static_cast<unsigned>(MAX_ROWS));
        }
        if (samples.size() == samples.capacity()) {
            reserve_rows(std::max<std::size_t>(2 * samples.capacity(), maxsamples), fname1);
        }
        samples.push_back(row);
        ++n1;
        report_row(group_report, row, [&slots](int k) { return slots[k].line_no; });
        if (slots[1].at_end) {
            dropped = false; // the row is converted
            ended = 1;
        }
    }
    report_input_end(group_report, ended, lines_left(slots, ended, dropped));
    // Block completion appends up to SAMPLES - 1 rows; room for them is made
    // here, where running out of memory can still be reported.
    reserve_rows(samples.size() + (SAMPLES - 1), fname1);
    for (InputSlot& slot : slots)
        close_slot(slot);
}
