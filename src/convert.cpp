// The conversion of one group: the converter's flow from the input files to
// the output file, and where each of its rules lives.
//
//   main.cpp           options -> one Settings value (settings.h); groups of names;
//                      prints what a group returns and exits
//   group_checks.cpp   names and output checked before the group is read
//   inputs.cpp         opens the group's files; refuses AVQ files as inputs
//   row_reader.cpp     lines (line_reader.cpp) -> rows (data_line.cpp, numscan.cpp,
//                      isotime.cpp), a block of 512 at a time; comments kept; warnings
//   report.cpp         each block of rows -> the integrity report (gaps, steps back,
//                      channels out of line, values stored as 0, nan) and --summary
//   header.cpp         comments or the first rows -> the header line
//   complete_block.cpp the last, partial block -> filled or dropped
//   <avq/writer.h>     blocks -> binary records or ASCII lines (scale, clipping)
//   group_output.cpp   -> a temporary file renamed over the output, or a spool copied
//                      to an output written in place (<avq/output.h>)
//
// Each file includes only what stands below it: the helpers (strformat,
// display_line, numscan, isotime, data_line, line_reader), then settings.h
// and error.h, inputs.h, row_reader.h, report.h and blocks.h, group_output.h
// and group_checks.h, convert.h, and main.cpp on top; nothing includes a
// file above it, so there is no circle.
//
// This file runs them for a group, on one path for every kind of input. The
// rows are read block by block into a small ring (the block being read and
// the full one before it, which the mirror fill of the last block may reach
// back into), and every full block is written as soon as it is read, so the
// memory does not grow with the group. The header that the first block says
// (the comments read so far, or the line built from the first rows' times)
// is written before the blocks; the header settled at the end takes its
// place (group_output.h). Warnings of the reading come as they are met; the
// header's, the report's, block completion's and the clipping lines of the
// blocks follow once every row has been read, and --strict decides once they
// are known. A write error is reported after the clipping lines of the
// blocks before it and of the block it hit.
//
// Threads. A binary group whose inputs are all regular files and that looks
// larger than split_min_rows rows is split at a row S near the middle, a
// multiple of 512: the main thread reads the rows before S, a second thread
// finds where row S begins in every input (counting line feeds and the lines
// that are no rows, find_line_end) and reads and writes the rows from S on,
// its records at their place in the same file. It holds its warnings and its
// failure until the first part has been read without failing: the first
// failure in row order is the one reported. When the inputs end before S,
// the main thread reads on alone. An ASCII group's lines have no fixed size,
// so it is not split: the main thread reads and a second thread formats and
// writes, a few blocks behind it, which suits pipes as well.
#include "convert.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <avq/avq.h>
#include <avq/writer.h>

#include "blocks.h"
#include "group_checks.h"
#include "group_output.h"
#include "row_reader.h"
#include "strformat.h"

namespace {

// Where S falls in the group: the first part parses rows, the second first
// counts the lines before S (several times faster than parsing them) and
// then parses the rest, so it takes a little less than half of the rows.
constexpr double SPLIT_AT = 0.53;
// Blocks in the ring of an ASCII group whose lines a second thread writes:
// the block being read, and those read ahead of the writer.
constexpr unsigned PIPELINE_BLOCKS = 6;

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

// The clipping warnings of a group, block by block in the order written: a
// line per block that had values clipped, or with -q one line for the whole
// group, which summary() writes once the output is written.
struct ClipLines {
    bool quiet;
    std::uint64_t blocks = 0; // blocks that had values clipped
    std::uint64_t values = 0;

    void block(unsigned clipped) {
        if (clipped == 0) return;
        ++blocks;
        values += clipped;
        if (!quiet)
            std::fprintf(stderr, "Warning: scale out of range. %u values cliped.\n", clipped);
    }
    void summary() const {
        if (!quiet || blocks == 0) return;
        std::fprintf(stderr, "Warning: scale out of range in %llu blocks; %llu values clipped\n",
                     static_cast<unsigned long long>(blocks),
                     static_cast<unsigned long long>(values));
    }
};

avq::WriteOptions write_options(const Settings& s) {
    return {s.binary ? avq::Form::binary : avq::Form::ascii, s.global_scale, !s.normaltime,
            s.min_in_day};
}

// Writes the blocks of one part of the group into the output, from `offset`
// on, through a buffer of its own; keeps what the binary blocks clipped, the
// report's counts of their values, and the first block time that is no
// calendar time.
struct BlockWriter {
    BlockWriter(const Settings& s, int fd, std::uint64_t offset)
        : binary(s.binary), out(fd, offset), writer(out, write_options(s)) {}

    // Block `index` of the group; its values are counted unless it was
    // completed.
    void write(const RowBlock& b, std::uint64_t index, bool count) {
        const avq::BlockValues v = b.values();
        if (binary && !bad_time && !avq::time_breaks_down(v.time)) {
            bad_time = true;
            bad_row = index * SAMPLES;
            bad_time_value = v.time;
        }
        clips.note(index, writer.block(v, binary && count ? values : nullptr));
    }

    bool binary;
    avq::OutputBuffer out;
    avq::Writer writer;
    ClipCounts clips;
    avq::ValueCounts values[CHANNELS];
    bool bad_time = false;
    std::uint64_t bad_row = 0;
    double bad_time_value = 0;
};

// The blocks of a part on their way to its writer: the block being read,
// and before it the full blocks not written yet (when a thread of its own
// writes them) or the last one written.
class BlockQueue {
  public:
    explicit BlockQueue(unsigned slots) {
        for (unsigned i = 0; i < slots; ++i)
            slots_.push_back({std::make_unique<RowBlock>(), 0, false});
    }
    ~BlockQueue() { finish(); }
    BlockQueue(const BlockQueue&) = delete;
    BlockQueue& operator=(const BlockQueue&) = delete;

    void attach(BlockWriter& w) { writer_ = &w; }
    RowBlock& current() { return *slots_[put_ % slots_.size()].block; }
    // The full block before the current one; null when there is none.
    const RowBlock* previous() const {
        return put_ > 0 ? slots_[(put_ - 1) % slots_.size()].block.get() : nullptr;
    }

    // The current block is written as the group's block `index`, and the
    // next becomes current (once its slot is free).
    void put(std::uint64_t index, bool count) {
        Slot& slot = slots_[put_ % slots_.size()];
        slot.index = index;
        slot.count = count;
        if (!thread_.joinable()) {
            writer_->write(*slot.block, index, count);
            ++put_;
            ++written_;
            return;
        }
        std::unique_lock<std::mutex> lock(m_);
        ++put_;
        cv_.notify_all();
        cv_.wait(lock, [this] { return written_ + slots_.size() > put_ || failed_; });
    }

    // From now on a thread of its own writes the blocks. False when none
    // can be started; they are then written as they are put.
    bool start_thread() {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::exception&) {
            return false;
        }
        return true;
    }

    // Waits until every block put is written. False when the writing thread
    // ran out of memory.
    bool finish() {
        {
            const std::lock_guard<std::mutex> lock(m_);
            done_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
        return !failed_;
    }

  private:
    struct Slot {
        std::unique_ptr<RowBlock> block;
        std::uint64_t index;
        bool count;
    };

    void run() {
        for (;;) {
            std::unique_lock<std::mutex> lock(m_);
            cv_.wait(lock, [this] { return written_ < put_ || done_; });
            if (written_ == put_) return;
            const Slot& slot = slots_[written_ % slots_.size()];
            lock.unlock();
            try {
                writer_->write(*slot.block, slot.index, slot.count);
            } catch (const std::bad_alloc&) {
                lock.lock();
                failed_ = true;
                cv_.notify_all();
                return;
            }
            lock.lock();
            ++written_;
            cv_.notify_all();
        }
    }

    std::vector<Slot> slots_;
    BlockWriter* writer_ = nullptr;
    std::uint64_t put_ = 0;     // blocks put
    std::uint64_t written_ = 0; // blocks written
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    bool failed_ = false;
    std::thread thread_;
};

// One part of the group, read and written by one thread: the whole group,
// or the rows before S, or the rows from S on.
struct Part {
    Part(const Settings& s, InputSlot* slots, std::uint64_t first_row, bool hold, unsigned ring)
        : reader(s, slots, first_row, hold), queue(ring) {}

    RowReader reader;
    GroupReport report;
    std::unique_ptr<BlockWriter> writer;
    BlockQueue queue;
    std::uint64_t left = 0; // lines left in other inputs, when the group ended in this part

    // Reads the part's next rows into the current block and feeds the
    // report. Returns the number of rows read.
    unsigned read_next() {
        RowBlock& b = queue.current();
        const unsigned n = reader.read_block(b);
        report_block(report, b, n);
        return n;
    }
    // After read_next: a full block is written and the ring turns; a
    // partial one (the reading has ended) stays for block completion.
    void keep(unsigned n) {
        if (n == SAMPLES) queue.put(reader.rows / SAMPLES - 1, true);
    }
};

// What the main thread and the second thread tell each other.
struct Handover {
    std::mutex m;
    std::condition_variable cv;
    std::atomic<bool> stop{false};
    enum class Place { searching, placed, not_placed } place = Place::searching;
    // The first header is written (so the blocks' place is known) and the
    // group's typical steps are known.
    bool start_known = false;
    double typical[CHANNELS] = {};
};

void begin_report(const Settings& s, GroupReport& r, const GroupInputs& in,
                  const double* typical_step = nullptr) {
    ReportSetup setup;
    setup.layout = &in.layout;
    for (int k = 0; k < 4; ++k)
        setup.names[k] = in.slots[k].name;
    setup.binary_values = s.binary;
    setup.scale = s.global_scale;
    setup.minute_of_day = s.binary && s.normaltime;
    if (typical_step != nullptr) {
        setup.typical_given = true;
        std::copy(typical_step, typical_step + CHANNELS, setup.typical_step);
    }
    report_begin(r, setup);
}

// The channel-1 times of the first HEAD_ROWS rows that `r` has been fed.
void head_times(const GroupReport& r, double* head) {
    for (std::size_t i = 0; i < HEAD_ROWS; ++i)
        head[i] = r.head[i].time;
}

class Conversion {
  public:
    Conversion(const Settings& s, const GroupNames& names, GroupInputs& in, GroupOutput& out)
        : s_(s), names_(names), in_(in), out_(out),
          first_(s, in.slots, 0, false, s.binary || s.threads < 2 ? 2 : PIPELINE_BLOCKS) {}
    ~Conversion() { stop_second(); }

    Status run(GroupSummary& summary);

  private:
    std::uint64_t split_row();
    void start_second(std::uint64_t s);
    void second_thread();
    bool place_second();
    void read_second();
    void read_first();
    void begin_output();
    void publish_start();
    bool second_placed();
    void stop_second();
    Status settle_reading();
    void merge_report(Part& last);
    std::uint64_t complete(Part& last, std::uint64_t rows);
    Status check_block_times() const;
    unsigned clipped_in(std::uint64_t block) const;
    Status write_error(std::int64_t& failed_at) const;
    Status finish_output(const std::string& header, std::uint64_t blocks, std::uint64_t warnings,
                         std::uint64_t& clipped);
    // The parts that wrote blocks of the group (the second may be null).
    std::array<const Part*, 2> parts() const {
        return {&first_, second_used_ ? second_.get() : nullptr};
    }

    const Settings& s_;
    const GroupNames& names_;
    GroupInputs& in_;
    GroupOutput& out_;
    Part first_;
    GroupReport report_; // of the whole group, once read
    Comments comments_;
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
std::uint64_t Conversion::split_row() {
    if (!s_.binary || s_.threads < 2 || !in_.all_regular()) return 0;
    bool whole = false;
    const std::string_view start = in_.slots[1].reader->peek(whole);
    const auto lines = static_cast<std::uint64_t>(std::count(start.begin(), start.end(), '\n'));
    struct stat st {};
    if (lines == 0 || ::fstat(fileno(in_.slots[1].file), &st) != 0) return 0;
    const double rows = static_cast<double>(st.st_size) * static_cast<double>(lines) /
                        static_cast<double>(start.size());
    if (rows < static_cast<double>(s_.split_min_rows)) return 0;
    const auto s = static_cast<std::uint64_t>(rows * SPLIT_AT) / SAMPLES * SAMPLES;
    // The first part must hold the rows that give the typical steps.
    return s >= TYPICAL_ROWS ? s : 0;
}

void Conversion::start_second(std::uint64_t s) {
    split_ = s;
    try {
        second_ = std::make_unique<Part>(s_, second_slots_, s, true, 2);
        thread_ = std::thread([this] { second_thread(); });
    } catch (const std::exception&) { // no memory, or no thread: one thread does
        second_.reset();
        split_ = 0;
    }
}

void Conversion::stop_second() {
    {
        const std::lock_guard<std::mutex> lock(handover_.m);
        handover_.stop = true;
    }
    handover_.cv.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Conversion::second_thread() {
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
bool Conversion::place_second() {
    for (int k = in_.layout.first_slot; k <= in_.layout.last_slot; ++k) {
        const InputSlot& from = in_.slots[k];
        const int fd = fileno(from.file);
        // Row S begins after S data lines, and after the heading line when
        // the file has one.
        const std::uint64_t lines = split_ + (starts_with_heading(fd, s_.read) ? 1 : 0);
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

void Conversion::read_second() {
    Part& p = *second_;
    {
        std::unique_lock<std::mutex> lock(handover_.m);
        handover_.cv.wait(lock, [this] { return handover_.start_known || handover_.stop; });
        if (handover_.stop) return;
    }
    begin_report(s_, p.report, in_, handover_.typical);
    p.writer = std::make_unique<BlockWriter>(
        s_, out_.descriptor(), out_.blocks_at() + split_ / SAMPLES * avq::RECORD_BYTES);
    p.queue.attach(*p.writer);
    while (!handover_.stop.load(std::memory_order_relaxed)) {
        const unsigned n = p.read_next();
        if (p.reader.failed) return;
        p.keep(n);
        if (p.reader.ended) {
            p.left = p.reader.lines_left();
            p.writer->out.flush();
            return;
        }
    }
}

// The main thread tells the second one that the first header is written
// and the typical steps are known.
void Conversion::publish_start() {
    {
        const std::lock_guard<std::mutex> lock(handover_.m);
        handover_.start_known = true;
        for (int k = 0; k < CHANNELS; ++k)
            handover_.typical[k] = first_.report.s[k].typical;
    }
    handover_.cv.notify_all();
}

// Waits for the second thread to find row S. False when it cannot: the
// inputs end before it.
bool Conversion::second_placed() {
    std::unique_lock<std::mutex> lock(handover_.m);
    handover_.cv.wait(lock, [this] { return handover_.place != Handover::Place::searching; });
    return handover_.place == Handover::Place::placed;
}

// After the first block has been read: the header it says goes before the
// blocks (checked at the end), and the blocks' writer starts behind it.
void Conversion::begin_output() {
    double head[HEAD_ROWS];
    head_times(first_.report, head);
    const std::string header = expected_header(s_, first_.reader.comment, head, first_.reader.rows);
    out_.begin(header + (s_.binary ? avq::BINARY_HEADER_END : avq::ASCII_HEADER_END));
    first_.writer = std::make_unique<BlockWriter>(s_, out_.descriptor(), out_.blocks_at());
    first_.queue.attach(*first_.writer);
    if (!s_.binary && s_.threads > 1 && !first_.reader.ended) first_.queue.start_thread();
}

void Conversion::read_first() {
    Part& p = first_;
    begin_report(s_, p.report, in_);
    for (bool started = false;; started = true) {
        const unsigned n = p.read_next();
        if (p.reader.failed) return;
        if (!started) begin_output();
        p.keep(n);
        if (p.reader.ended) return;
        if (split_ == 0) continue;
        if (!handover_.start_known && p.report.classifying) publish_start();
        if (p.reader.rows == split_) {
            if (second_placed()) return;
            split_ = 0; // the inputs end before S: read on alone
        }
    }
}

// Joins the parts: writes the second part's warnings and returns the first
// failure in row order. Sets second_used_ when the group ended in the second
// part.
Status Conversion::settle_reading() {
    Part& first = first_;
    if (first.reader.failed) return Error{first.reader.error};
    if (first.reader.ended) {
        stop_second();
        first.left = first.reader.lines_left();
        if (first.reader.failed) return Error{first.reader.error};
        return {};
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
    if (second.reader.failed) return Error{second.reader.error};
    return {};
}

// The group's report, from the parts' reports and the counts of the values
// they wrote or hold in the last block; the group's comments.
void Conversion::merge_report(Part& last) {
    report_ = first_.report;
    report_add_values(report_, first_.writer->values);
    if (&last != &first_) {
        report_merge(report_, last.report);
        report_add_values(report_, last.writer->values);
    }
    report_input_end(report_, last.reader.ended_slot, last.left);
    if (s_.binary) {
        const RowBlock& partial = last.queue.current();
        avq::ValueCounts counts[CHANNELS];
        for (int c = 0; c < CHANNELS; ++c)
            avq::count_values(partial.value[c], last.reader.rows % SAMPLES, s_.global_scale,
                              counts[c]);
        report_add_values(report_, counts);
    }
    first_.reader.keep_comments(comments_);
    if (&last != &first_) last.reader.keep_comments(comments_);
}

// Completes the last block of the `rows` rows read (or drops it) and writes
// it. Returns the number of rows written.
std::uint64_t Conversion::complete(Part& last, std::uint64_t rows) {
    bool fill = false;
    const std::uint64_t written = begin_completion(s_, rows, fill);
    if (fill) {
        // The block before the last may be the first part's last one.
        const RowBlock* previous =
            last.queue.previous() != nullptr ? last.queue.previous() : first_.queue.previous();
        fill_last_block(s_.end_mode, last.queue.current(), rows, previous);
        last.queue.put(rows / SAMPLES, false);
    }
    return written;
}

// A binary block time that is no calendar time refuses the group: after
// block completion, before any clipping.
Status Conversion::check_block_times() const {
    for (const Part* p : parts()) {
        if (p == nullptr || !p->writer->bad_time) continue;
        return Error{strformat("Error: the time of row %llu, %.17g, is not a valid UTC date\n",
                               static_cast<unsigned long long>(p->writer->bad_row + 1),
                               p->writer->bad_time_value)};
    }
    return {};
}

// The values clipped in block `block` of the output.
unsigned Conversion::clipped_in(std::uint64_t block) const {
    return first_.writer->clips.at(block) + (second_used_ ? second_->writer->clips.at(block) : 0);
}

// The first error of the blocks' writers by its place, and where in the
// blocks it came.
Status Conversion::write_error(std::int64_t& failed_at) const {
    int error = 0;
    std::uint64_t at = 0;
    for (const Part* p : parts()) {
        if (p == nullptr || p->writer->out.error() == 0) continue;
        const std::uint64_t offset = p->writer->out.error_offset() - out_.blocks_at();
        if (error == 0 || offset < at) {
            error = p->writer->out.error();
            at = offset;
        }
    }
    failed_at = static_cast<std::int64_t>(at);
    if (error == 0) return {};
    return out_.write_error(error);
}

// Under --strict, a group that drew `warnings` about its data, or clipped
// values, is refused: the clipping lines all come, and nothing is written.
// Otherwise the settled header goes in place and the output is finished,
// with the clipping lines of the `blocks` blocks before it (or before a
// write error). Returns the number of values clipped.
Status Conversion::finish_output(const std::string& header, std::uint64_t blocks,
                                 std::uint64_t warnings, std::uint64_t& clipped) {
    ClipLines clips{s_.quiet};
    clipped = 0;
    for (std::uint64_t b = 0; b < blocks; ++b)
        clipped += clipped_in(b);
    if (s_.strict && (warnings > 0 || clipped > 0)) {
        for (std::uint64_t b = 0; b < blocks; ++b)
            clips.block(clipped_in(b));
        clips.summary();
        return Error{strformat("Error: --strict: no output written to %s because of the warnings "
                               "above\n",
                               names_.output)};
    }
    first_.writer->out.flush();
    if (second_used_) second_->writer->out.flush();
    std::int64_t failed_at = 0;
    Status failure = write_error(failed_at);
    if (!failure) {
        const std::uint64_t end =
            s_.binary ? blocks * avq::RECORD_BYTES : first_.writer->out.end() - out_.blocks_at();
        failure = out_.settle(header + (s_.binary ? avq::BINARY_HEADER_END : avq::ASCII_HEADER_END),
                              end, failed_at);
    }
    const std::uint64_t said =
        !failure ? blocks
        : failed_at < 0
            ? 0
            : std::min(blocks, static_cast<std::uint64_t>(failed_at) / avq::RECORD_BYTES + 1);
    for (std::uint64_t b = 0; b < said; ++b)
        clips.block(clipped_in(b));
    if (failure) return failure;
    if (Status s = out_.finish()) return s;
    // With -q, the one clipping line once the output is written.
    clips.summary();
    return {};
}

Status Conversion::run(GroupSummary& summary) {
    if (const std::uint64_t s = split_row(); s != 0) start_second(s);
    read_first();
    if (Status s = settle_reading()) return s;
    Part& last = second_used_ ? *second_ : first_;
    merge_report(last);
    const std::uint64_t rows = last.reader.rows;
    double head[HEAD_ROWS];
    head_times(report_, head);
    SettledHeader header;
    if (Status s = settle_header(s_, names_, comments_, head, rows, header)) return s;
    const std::vector<std::string> lines = report_end(report_, header.built);
    for (const std::string& line : lines)
        std::fputs(line.c_str(), stderr);
    const std::uint64_t written = complete(last, rows);
    if (!first_.queue.finish()) return out_.write_error(ENOMEM);
    if (Status s = check_block_times()) return s;
    std::uint64_t clipped = 0;
    const std::uint64_t blocks = (written + SAMPLES - 1) / SAMPLES;
    // Warnings about the data that the reading wrote (channel times, more
    // columns, headings), which --strict counts with the report's own.
    const std::uint64_t warnings = first_.reader.data_warnings + held_data_warnings_ + lines.size();
    if (Status s = finish_output(header.line, blocks, warnings, clipped)) return s;
    summary = make_summary(report_, written, s_.end_mode, clipped);
    return {};
}

} // namespace

Status convert_group(const Settings& s, const GroupNames& names, GroupSummary& summary) {
    try {
        GroupInputs in(*s.layout);
        if (Status st = open_inputs(in, names)) return st;
        if (Status st = check_group_output(s, names.output)) return st;
        std::unique_ptr<GroupOutput> out;
        if (Status st = GroupOutput::open(names.output, out)) return st;
        Conversion c(s, names, in, *out);
        return c.run(summary);
    } catch (const std::bad_alloc&) {
        return Error{strformat("Out of memory reading file %s\n", names.input[1])};
    }
}
