// Streaming conversion of a group of regular files: see stream.h.
//
// The rows are read a block of SAMPLES at a time into a ring of two blocks
// (the block being read and the full block before it, which the mirror fill
// of the last block may reach back into) and each full block is written to
// the temporary output as soon as it is read. What comes out is byte for
// byte, message for message, what the conversion through the sample table
// gives (process_file); the differences are all in the order of the work:
//
// - The header. It is settled from comment lines that may stand anywhere in
//   the files, so it is known for certain only at the end. The header that
//   the first block says (the comments read so far, or the line built from
//   the first rows' times) is written before the first block; at the end the
//   settled header is compared with it, and in the rare case that they
//   differ (a comment line further down a file) the output is copied behind
//   the right one.
// - The messages. Warnings while reading are written as they come; the
//   report, the block completion and the clipping counts of the blocks (kept
//   per block, two bytes each) follow once every row has been read, as
//   after reading into the table. A write error is kept until it is its
//   turn: after what precedes it when the table is written out, placed
//   among the clipping lines where that writer's buffer would have met it.
// - Two threads. A group that looks larger than split_min_rows rows is
//   split at a row S near the middle, a multiple of SAMPLES: the main
//   thread reads the rows before S, a second thread finds where row S
//   begins in every input (counting line feeds and the lines that are no
//   rows: comments, blank lines, "#" lines, find_line_end; and a heading,
//   which can only be the first line that is none of these) and reads the
//   rows from S on with readers of its own. Binary blocks have a fixed
//   size, so the second thread writes them into the same temporary file at
//   their place; ASCII blocks do not, so it writes them into a second
//   temporary file that is appended at the end. It holds its warnings and
//   its failure until the first part has been read without failing: the
//   first failure in row order is the one reported. When the inputs end
//   before S (the estimate of the rows was too high), the main thread reads
//   on alone.
#include "stream.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <avq/avq.h>

#include "fatal.h"
#include "output_file.h"
#include "report.h"
#include "strformat.h"
#include "velkor.h"
#include "writers.h"

std::uint64_t split_min_rows = 65536;
bool streaming = true;

namespace {

// Where S falls in the group: the first part parses rows, the second first
// counts the lines before S (several times faster than parsing them) and
// then parses the rest, so it takes a little less than half of the rows.
constexpr double SPLIT_AT = 0.53;

// Clipped values of each binary block, from the first block that had any
// (at most 3 x SAMPLES a block).
struct ClipCounts {
    std::uint64_t first = 0;
    std::vector<std::uint16_t> counts;

    void note(std::uint64_t block, unsigned n) {
        if (counts.empty()) {
            if (n == 0) return;
            first = block;
        }
        counts.resize(block - first);
        counts.push_back(static_cast<std::uint16_t>(n));
    }
    unsigned at(std::uint64_t block) const {
        return block >= first && block - first < counts.size() ? counts[block - first] : 0;
    }
};

// One part of the group, read and written by one thread: the whole group,
// or the rows before S, or the rows from S on.
struct Part {
    Part(const GroupInputs& in, InputSlot* slots, std::uint64_t first_row, bool hold)
        : reader(in, slots, first_row, hold), blocks{std::make_unique<RowBlock>(),
                                                     std::make_unique<RowBlock>()} {}

    RowReader reader;
    GroupReport report;
    std::unique_ptr<RowBlock> blocks[2]; // the block being read, the full one before it
    int cur = 0;
    bool has_previous = false;
    unsigned last_rows = 0; // rows read into the block being read when the reading ended
    std::uint64_t left = 0; // lines left in other inputs, when the group ended in this part
    std::unique_ptr<FileWriter> writer;
    ValueCounts values[CHANNELS]; // of the rows written (binary)
    ClipCounts clips;
    bool bad_time = false; // the first binary block time that is no calendar time
    std::uint64_t bad_row = 0;
    double bad_time_value = 0;

    RowBlock& block() { return *blocks[cur]; }
    const samp_* previous() const { return has_previous ? blocks[cur ^ 1]->rows : nullptr; }
};

// Writes the block at `rows`, the group's block `index`; `count`: its rows
// were all read (not added by block completion), so the report counts them.
void write_block(Part& p, const samp_* rows, std::uint64_t index, bool count) {
    if (!binary) {
        write_ascii_block(rows, *p.writer);
        return;
    }
    const double t = rows[0].ch[0].time;
    if (!p.bad_time && !avq::time_breaks_down(t)) {
        p.bad_time = true;
        p.bad_row = index * SAMPLES;
        p.bad_time_value = t;
    }
    unsigned char record[avq::RECORD_BYTES];
#ifdef VELKOR_REPORT_OFF // see report_block
    count = false;
#endif
    p.clips.note(index, binary_record(rows, record, count ? p.values : nullptr));
    put_record(record, *p.writer);
}

// Reads the part's next rows into the block being read and feeds the
// report. Returns the number of rows read.
unsigned read_next(Part& p) {
    RowBlock& b = p.block();
    const unsigned n = p.reader.read_block(b);
    report_block(p.report, b.rows, n, b.line);
    return n;
}

// After read_next: a full block is written and the ring turns; a partial
// one (the reading has ended) stays for block completion.
void keep(Part& p, unsigned n) {
    p.last_rows = n % SAMPLES;
    if (n < SAMPLES) return;
    write_block(p, p.block().rows, p.reader.rows / SAMPLES - 1, true);
    p.cur ^= 1;
    p.has_previous = true;
}

// What the main thread and the second thread tell each other.
struct Handover {
    std::mutex m;
    std::condition_variable cv;
    std::atomic<bool> stop{false};
    enum class Place { searching, placed, not_placed } place = Place::searching;
    // The header is written (so the binary blocks' offset is known) and the
    // group's typical steps are known.
    bool start_known = false;
    std::uint64_t blocks_at = 0;
    double typical[CHANNELS] = {};
};

// The channel-1 times of the first HEAD_ROWS rows that `r` has been fed.
void head_times(const GroupReport& r, double* head) {
    for (std::size_t i = 0; i < HEAD_ROWS; ++i)
        head[i] = r.head[i].time;
}

bool regular_file(std::FILE* f) {
    struct stat st {};
    return f != stdin && ::fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
}

class Streamer {
  public:
    Streamer(GroupInputs& in, std::unique_ptr<OutputFile> out, const char* oname)
        : in_(in), out_(std::move(out)), oname_(oname), first_(in, in.slots, 0, false) {}
    ~Streamer() { stop_second(); }

    std::uint64_t run();

  private:
    std::uint64_t split_row();
    void start_second(std::uint64_t s);
    void second_thread();
    bool place_second();
    void read_second();
    void read_first();
    void publish_start();
    bool second_placed();
    void stop_second();
    [[noreturn]] void give_up(const std::string& message);
    Part& settle_reading();
    void merge_report(Part& last);
    void complete(Part& last, std::uint64_t rows);
    void check_block_times();
    std::uint64_t output_size() const;
    unsigned clipped_in(std::uint64_t block) const;
    std::uint64_t finish_output(std::uint64_t blocks, std::uint64_t warnings);

    GroupInputs& in_;
    std::unique_ptr<OutputFile> out_;
    const char* oname_;
    Part first_;
    std::string header_; // as written before the first block
    // The second part: its inputs, placed at row split_; its reading.
    std::uint64_t split_ = 0;
    InputSlot second_slots_[4];
    std::unique_ptr<Part> second_;
    bool second_used_ = false;             // the group ended in the second part
    std::uint64_t held_data_warnings_ = 0; // of the second part, written
    Handover handover_;
    std::thread thread_;
};

// The row S at which the group is split, or 0 to read it on one thread:
// the rows are estimated from the size of the channel-1 file and the
// length of the lines in its first block (counted, when the file is all in
// that block: a file of short lines may hold many rows).
std::uint64_t Streamer::split_row() {
    bool whole = false;
    const std::string_view start = in_.slots[1].reader->peek(whole);
    const auto lines = static_cast<std::uint64_t>(std::count(start.begin(), start.end(), '\n'));
    struct stat st {};
    if (lines == 0 || ::fstat(fileno(in_.slots[1].file), &st) != 0) return 0;
    const double rows = static_cast<double>(st.st_size) * static_cast<double>(lines) /
                        static_cast<double>(start.size());
    if (rows < static_cast<double>(split_min_rows)) return 0;
    const auto s = static_cast<std::uint64_t>(rows * SPLIT_AT) / SAMPLES * SAMPLES;
    // The first part must hold the rows that give the typical steps.
    return s >= TYPICAL_ROWS ? s : 0;
}

void Streamer::start_second(std::uint64_t s) {
    if (!binary && out_->make_part() < 0) return;
    split_ = s;
    try {
        second_ = std::make_unique<Part>(in_, second_slots_, s, true);
        thread_ = std::thread([this] { second_thread(); });
    } catch (const std::exception&) { // no memory, or no thread: one thread does
        second_.reset();
        split_ = 0;
        out_->remove_part();
    }
}

void Streamer::stop_second() {
    {
        const std::lock_guard<std::mutex> lock(handover_.m);
        handover_.stop = true;
    }
    handover_.cv.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Streamer::second_thread() {
    bool placed = false;
    try {
        placed = place_second();
    } catch (const std::bad_alloc&) {
        placed = false;
    }
    {
        const std::lock_guard<std::mutex> lock(handover_.m);
        handover_.place = placed ? Handover::Place::placed : Handover::Place::not_placed;
    }
    handover_.cv.notify_all();
    if (!placed) return;
    try {
        read_second();
    } catch (const std::bad_alloc&) {
        second_->reader.failed = true;
        second_->reader.error = strformat("Out of memory reading file %s\n", in_.slots[1].name);
    }
}

// Finds where row S begins in every input and sets the second part's
// readers there.
bool Streamer::place_second() {
    for (int k = in_.first_slot; k <= in_.last_slot; ++k) {
        const InputSlot& from = in_.slots[k];
        const int fd = fileno(from.file);
        // Row S begins after S data lines, and after the heading line when
        // the file has one.
        const std::uint64_t lines = split_ + (starts_with_heading(fd, run_options.read) ? 1 : 0);
        LinePosition at;
        if (!find_line_end(fd, lines, at, handover_.stop)) return false;
        InputSlot& slot = second_slots_[k];
        slot.file = from.file;
        slot.name = from.name;
        slot.line_no = at.lines;
        slot.rows_begun = true;
        slot.reader = std::make_unique<LineReader>(fd, at.offset);
    }
    return true;
}

void Streamer::read_second() {
    Part& p = *second_;
    {
        std::unique_lock<std::mutex> lock(handover_.m);
        handover_.cv.wait(lock, [this] { return handover_.start_known || handover_.stop; });
        if (handover_.stop) return;
    }
    begin_report(p.report, in_, handover_.typical);
    const int fd = binary ? out_->descriptor() : -1;
    const std::uint64_t at =
        binary ? handover_.blocks_at + split_ / SAMPLES * avq::RECORD_BYTES : 0;
    p.writer = std::make_unique<FileWriter>(binary ? fd : out_->part_descriptor(), at);
    while (!handover_.stop.load(std::memory_order_relaxed)) {
        const unsigned n = read_next(p);
        if (p.reader.failed) return;
        keep(p, n);
        if (p.reader.ended) {
            p.left = p.reader.lines_left();
            p.writer->flush();
            return;
        }
    }
}

// The main thread tells the second one that the header is written and the
// typical steps are known.
void Streamer::publish_start() {
    {
        const std::lock_guard<std::mutex> lock(handover_.m);
        handover_.start_known = true;
        handover_.blocks_at = header_.size() + 1;
        for (int k = 0; k < CHANNELS; ++k)
            handover_.typical[k] = first_.report.s[k].typical;
    }
    handover_.cv.notify_all();
}

// Waits for the second thread to find row S. False when it cannot: the
// inputs end before it.
bool Streamer::second_placed() {
    std::unique_lock<std::mutex> lock(handover_.m);
    handover_.cv.wait(lock, [this] { return handover_.place != Handover::Place::searching; });
    return handover_.place == Handover::Place::placed;
}

void Streamer::read_first() {
    Part& p = first_;
    begin_report(p.report, in_);
    p.writer = std::make_unique<FileWriter>(out_->descriptor(), 0);
    bool started = false;
    for (;;) {
        const unsigned n = read_next(p);
        if (p.reader.failed) return;
        if (!started) {
            // The header the rows read so far say; checked at the end.
            double head[HEAD_ROWS];
            head_times(p.report, head);
            header_ = expected_header(in_.mode, p.reader.comment, head, p.reader.rows);
            p.writer->write(header_.data(), header_.size());
            p.writer->write(binary ? &avq::BINARY_HEADER_END : &avq::ASCII_HEADER_END, 1);
            started = true;
        }
        keep(p, n);
        if (p.reader.ended) return;
        if (split_ == 0) continue;
        if (!handover_.start_known && p.report.classifying) publish_start();
        if (p.reader.rows == split_) {
            if (second_placed()) return;
            split_ = 0; // the inputs end before S: read on alone
        }
    }
}

void Streamer::give_up(const std::string& message) {
    stop_second();
    out_.reset(); // removes the temporary files
    fatal("%s", message.c_str());
}

// Joins the parts: writes the second part's warnings and reports the first
// failure in row order. Returns the part in which the group ended.
Part& Streamer::settle_reading() {
    Part& first = first_;
    if (first.reader.failed) give_up(first.reader.error);
    if (first.reader.ended) {
        stop_second();
        first.left = first.reader.lines_left();
        if (first.reader.failed) give_up(first.reader.error);
        return first;
    }
    // The first part has read the rows before S; the second has the rest.
    if (thread_.joinable()) thread_.join();
    Part& second = *second_;
    second_used_ = true;
    for (const HeldWarning& w : second.reader.held) {
        if (first.reader.warned[w.subject]) continue;
        std::fputs(w.text.c_str(), stderr);
        if (w.subject >= FIRST_DATA_SUBJECT) ++held_data_warnings_;
    }
    if (second.reader.failed) give_up(second.reader.error);
    return second;
}

// The group's report, from the parts' reports and the counts of the values
// they wrote or hold in the last block.
void Streamer::merge_report(Part& last) {
    group_report = first_.report;
    report_add_values(group_report, first_.values);
    if (&last != &first_) {
        report_merge(group_report, last.report);
        report_add_values(group_report, last.values);
    }
    report_input_end(group_report, last.reader.ended_slot, last.left);
    group_report.reading_warnings = first_.reader.data_warnings + held_data_warnings_;
    if (binary) {
        ValueCounts partial[CHANNELS];
        count_values(last.block().rows, last.last_rows, global_scale, partial);
        report_add_values(group_report, partial);
    }
    first_.reader.keep_comments(cline);
    if (&last != &first_) last.reader.keep_comments(cline);
}

// Completes the last block of the `rows` rows read (or drops it) and writes
// it; n1 becomes the number of rows written.
void Streamer::complete(Part& last, std::uint64_t rows) {
    if (!begin_completion(rows)) return;
    // The block before the last may be the first part's last one.
    const samp_* previous = last.previous() != nullptr ? last.previous() : first_.previous();
    fill_last_block(last.block().rows, rows, previous);
    write_block(last, last.block().rows, rows / SAMPLES, false);
}

// A binary block time that is no calendar time refuses the group, as when
// the table is written out: after block completion, before any clipping.
void Streamer::check_block_times() {
    for (const Part* p : {&first_, second_used_ ? second_.get() : nullptr}) {
        if (p == nullptr || !p->bad_time) continue;
        give_up(strformat("Error: the time of row %llu, %.17g, is not a valid UTC date\n",
                          static_cast<unsigned long long>(p->bad_row + 1), p->bad_time_value));
    }
}

// How many blocks' clipping lines come before a write error at byte `at` of
// the output when the table is written out (write_binary): its writer fills
// its buffer of OUTPUT_BUFFER bytes with the header and then whole records,
// and writes the buffer out when the next record does not fit, right after
// that record's clipping line.
std::uint64_t lines_before_error(std::uint64_t header, std::uint64_t at) {
    constexpr std::uint64_t BUFFER = OUTPUT_BUFFER;
    constexpr std::uint64_t PER_BUFFER = BUFFER / avq::RECORD_BYTES;
    const std::uint64_t in_first = (BUFFER - header - 1) / avq::RECORD_BYTES;
    const std::uint64_t first_end = header + 1 + in_first * avq::RECORD_BYTES;
    const std::uint64_t buffer =
        at < first_end ? 0 : 1 + (at - first_end) / (PER_BUFFER * avq::RECORD_BYTES);
    return in_first + buffer * PER_BUFFER + 1;
}

// The bytes of the output as written, the header as first written.
std::uint64_t Streamer::output_size() const {
    if (!second_used_) return first_.writer->end();
    if (binary) return second_->writer->end();
    return first_.writer->end() + second_->writer->end();
}

// The values clipped in block `block` of the output.
unsigned Streamer::clipped_in(std::uint64_t block) const {
    return first_.clips.at(block) + (second_used_ ? second_->clips.at(block) : 0);
}

// Writes out what is buffered, puts the settled header in place, appends the
// second part's ASCII file, writes the clipping lines of the `blocks` blocks
// (and a write error where it comes) and renames the output over its
// target. Under --strict, a group that drew `warnings` about its data, or
// clipped values, is refused instead: the clipping lines all come, and the
// temporary files are removed. Returns the number of values clipped.
std::uint64_t Streamer::finish_output(std::uint64_t blocks, std::uint64_t warnings) {
    if (run_options.strict) {
        std::uint64_t clipped = 0;
        for (std::uint64_t b = 0; b < blocks; ++b)
            clipped += clipped_in(b);
        if (warnings > 0 || clipped > 0) {
            ClipLines clips;
            for (std::uint64_t b = 0; b < blocks; ++b)
                clips.block(clipped_in(b));
            clips.summary();
            stop_second();
            out_.reset(); // removes the temporary files
            refuse_strict(oname_);
        }
    }
    Part* second = second_used_ ? second_.get() : nullptr;
    first_.writer->flush();
    if (second != nullptr) second->writer->flush();
    int error = 0; // the first write error by its place in the output
    std::uint64_t error_at = 0;
    const auto note = [&error, &error_at](int e, std::uint64_t at) {
        if (e != 0 && (error == 0 || at < error_at)) {
            error = e;
            error_at = at;
        }
    };
    note(first_.writer->error(), first_.writer->error_offset());
    const std::uint64_t first_end = first_.writer->end();
    if (second != nullptr) {
        note(second->writer->error(), (binary ? 0 : first_end) + second->writer->error_offset());
    }
    const std::string& header = cline[1];
    std::uint64_t size = output_size();
    if (error == 0 && header != header_) {
        std::uint64_t at = 0;
        note(out_->replace_start(header_.size(), header, binary ? size : first_end, at), at);
        size = size - header_.size() + header.size();
    }
    if (error == 0 && second != nullptr && !binary) {
        const std::uint64_t part = second->writer->end();
        std::uint64_t at = 0;
        note(out_->append_part(size - part, part, at), at);
    }
    out_->remove_part();

    const std::uint64_t said = error != 0 && binary
                                   ? std::min(blocks, lines_before_error(header.size(), error_at))
                                   : blocks;
    ClipLines clips;
    for (std::uint64_t b = 0; b < said; ++b)
        clips.block(clipped_in(b));
    std::uint64_t clipped = clips.values;
    for (std::uint64_t b = said; b < blocks; ++b)
        clipped += clipped_in(b);
    if (error != 0) {
        stop_second();
        out_->fail(error);
    }
    out_->finish();
    // With -q, the one clipping line once the output is written.
    clips.summary();
    return clipped;
}

std::uint64_t Streamer::run() {
    if (const std::uint64_t s = split_row(); s != 0) start_second(s);
    read_first();
    Part& last = settle_reading();
    merge_report(last);
    const std::uint64_t rows = last.reader.rows;
    double head[HEAD_ROWS];
    head_times(group_report, head);
    const bool built = settle_comment(in_.mode, in_.slots[1].name, in_.slots[2].name,
                                      in_.slots[3].name, head, rows);
    const std::vector<std::string> lines = report_end(group_report, built);
    for (const std::string& line : lines)
        std::fputs(line.c_str(), stderr);
    complete(last, rows);
    if (binary) check_block_times();
    return finish_output((std::uint64_t{n1} + SAMPLES - 1) / SAMPLES,
                         group_report.reading_warnings + lines.size());
}

} // namespace

bool stream_group(GroupInputs& in, const char* oname, std::uint64_t& clipped) {
    if (!streaming) return false;
    for (int k = in.first_slot; k <= in.last_slot; ++k) {
        if (!regular_file(in.slots[k].file)) return false;
    }
    std::unique_ptr<OutputFile> out = OutputFile::replacing(oname);
    if (out == nullptr) return false;
    Streamer streamer(in, std::move(out), oname);
    clipped = streamer.run();
    return true;
}
