// The time of every sample of an AVQ file: what its block times mean, its
// sampling frequency, and the runs of blocks that follow one another without
// a break (libavq, <avq/timeline.h>; the block time fields are in
// <avq/avq.h>, the reader in <avq/reader.h>).
//
// An AVQ file stores one time per block of 512 samples, the time of the
// block's first sample. A program that wants the time of sample n must know
// how that time is stored, the sampling frequency fs, and where the file's
// blocks stop following one another. A Timeline holds all three for a whole
// file, built from its header and the block times of every block
// (TimelineBuilder, or read_timeline for a Reader).
//
// What a block time means
//   Binary form: the two words of the time header are the minute of the UTC
//   day and the second ("!S"), or the low 32 bits of the whole seconds since
//   1970-01-01 UTC ("!U"). The caller may say which (BlockTimeForm); else the
//   header's first two characters decide, else the values: when a block holds
//   words that are no minute of the day (0-1439) and second (0-60), the file's
//   times are Unix seconds. Either way a binary block time is the time of the
//   block's first sample truncated to the whole second.
//   ASCII form: a minute of 0 with a second of 60 or more is a Unix time (the
//   second holds it whole), a minute of 1440 or more counts minutes since
//   1970-01-01, a smaller one is the minute of the day; the second keeps its
//   fraction. Values that no writer gives (negative, not finite, absurdly
//   large) are no time: such a block's samples have no time (NaN).
//
// Dates
//   Unix seconds and minutes since 1970 carry their date. Minutes of the day
//   do not: they are dated from the header's "date: YYYY-MM-DD" (velkor's
//   built header holds the date of the first row), and a day is added each
//   time a block time falls below the one before it (midnight passed). A
//   file of minute-of-day times without a date in its header is undated:
//   its times count seconds from the midnight of the day of its first block
//   time, and Timeline::dated() says so. Nothing is dated 1970-01-01 by
//   default.
//
// The sampling frequency
//   The header's "sampfrek: F" when F is a positive finite number. Otherwise
//   it is fitted to the block times of the whole file:
//   1. The blocks are cut into segments where the step between consecutive
//      block times breaks the run of steps: a step that is not finite, a
//      negative step (a zero step too in the ASCII form), or a step that
//      differs from the segment's first step by more than 1 s (binary: whole
//      seconds) or by more than half a sample, 1/1024 of that step (ASCII).
//   2. A segment of m + 1 blocks with block times b_first and b_last spans
//      m × 512 samples: the block period P = 512 / fs lies within
//      (b_last - b_first ± w) / m, where w is the uncertainty of two block
//      times, 1 s in the binary form and one sample interval in the ASCII
//      form. The periods allowed by every segment of two or more blocks are
//      intersected; when they have nothing in common, the longest segment's
//      are taken alone. No such segment: fs is unknown.
//   3. fs is the number with the fewest significant digits (at most 12) in
//      the frequencies so allowed, nearest the middle among as many digits,
//      whose runs (below) are no more than the segments: sampling
//      frequencies are round numbers, and any frequency in the interval
//      explains the block times as well. When no such number is found, fs is
//      512 over the middle of the allowed periods.
//
// Runs
//   Block k of a run that begins with block r holds the samples
//   (k - r) × 512 to (k - r) × 512 + 511 after the run's start t0, sample i
//   of the run at t0 + i / fs: within a run times increase strictly, with no
//   jump at the block boundaries. Runs are formed block by block; a block
//   that cannot join the run before it begins a new run (a gap, a jump back,
//   a new day, a block time that is no time).
//   Binary form: a block time b_k is the true time of the block's first
//   sample truncated to the second, so that sample lies in [b_k, b_k + 1):
//   every block of the run gives the lower bound b_k - (k - r) × 512 / fs
//   and the upper bound b_k + 1 - (k - r) × 512 / fs of t0. A block joins the
//   run while the largest lower bound stays below the smallest upper bound
//   (an overlap of 1 µs is allowed for rounding); t0 is the largest lower
//   bound of the whole run. That choice puts the first sample of every
//   block of the run in its own stored second, and it is the tightest
//   estimate the block times allow from below: a recording that starts on a
//   whole second (as most do) gets exactly that second, and the longer the
//   run, the closer the bound comes to the true start. (The middle of the
//   bounds would put such a start up to half a second late.)
//   ASCII form: block times keep the fraction, so t0 is the run's first block
//   time, and a later block joins the run when its time lies within half a
//   sample interval of t0 + (k - r) × 512 / fs.
//   When fs is unknown, every block is a run of its own and only its first
//   sample has a time.
//
// A Timeline is a plain value; building one is reentrant (no state outside
// the objects). Errors are FormatError (<avq/reader.h>).
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <avq/avq.h>
#include <avq/reader.h>

namespace avq {

// How binary time headers are to be read: as the file says (guess), or as
// the caller asks.
enum class BlockTimeForm { guess, minute_second, unix_seconds };

// What a stored block time counts.
enum class TimeKind { unix_seconds, epoch_minutes, minute_of_day, unknown };

// A block whose binary time header is no minute of the day and second.
struct Misfit {
    std::uint64_t block = 0;
    TimeHeader words{};
};

// How the binary time headers of a file with `header` are read: Unix seconds
// or not, and why, in words ("the header begins with \"!U\"", "as asked",
// ...). `misfit` is the first block whose words are no minute of the day and
// second, if there is one. Throws FormatError when minute_second is asked of
// a file whose times are Unix seconds (header "!U", or a misfit): "the block
// times are Unix times (the header begins with "!U"), not minute of the day
// and second" or "the block times are Unix times, not minute of the day and
// second (block B holds W0 W1)".
struct BinaryTimes {
    bool unix_seconds = false;
    const char* why = "";
};
BinaryTimes binary_times(std::string_view header, BlockTimeForm asked,
                         const std::optional<Misfit>& misfit);

// What an ASCII block time means: seconds since the epoch, or since
// midnight for TimeKind::minute_of_day; TimeKind::unknown for values no
// writer gives.
struct StoredTime {
    TimeKind kind = TimeKind::unknown;
    double seconds = 0;
};
StoredTime ascii_time_meaning(double minute, double second);

// The header's "sampfrek: F" when F is a positive finite number, else 0.
double header_sampfrek(std::string_view header);
// Midnight (seconds since the epoch, UTC) of the header's "date: YYYY-MM-DD";
// nothing when the header has none or the date does not exist.
std::optional<std::int64_t> header_date(std::string_view header);

enum class FrequencySource { header, fitted, unknown };

// Consecutive blocks on one timeline.
struct Run {
    std::uint64_t first_block = 0;
    std::uint64_t blocks = 0;
    double start = 0; // the time of its first sample; NaN when unknown
};

// The sample times of a whole file. Times are seconds: since 1970-01-01 UTC
// when the file is dated, else since the midnight of the day of its first
// block time.
class Timeline {
  public:
    Form form() const { return form_; }
    // What the first block's time counts (binary: unix_seconds or
    // minute_of_day), and for the binary form why it is read so.
    TimeKind kind() const { return kind_; }
    const char* kind_reason() const { return reason_; }
    bool dated() const { return dated_; }
    // Samples per second; NaN when unknown.
    double fs() const { return fs_; }
    FrequencySource fs_source() const { return fs_source_; }

    std::uint64_t blocks() const { return block_times_.size(); }
    std::uint64_t samples() const { return blocks() * SAMPLES; }
    // Each block's time as stored, in seconds (dated, or from the first
    // day's midnight); NaN for a block time that is no time.
    const std::vector<double>& block_times() const { return block_times_; }
    // The runs in order; they cover every block. None for a file without
    // blocks.
    const std::vector<Run>& runs() const { return runs_; }
    // The first sample's time; NaN for a file without blocks.
    double start() const { return runs_.empty() ? NAN_TIME : runs_.front().start; }

    // The run that holds `block` (< blocks()).
    const Run& run_of(std::uint64_t block) const;
    // Sample n (n < samples(), counted from the file's first) is at
    // run_of(n / 512).start + offset(n). The offset is NaN when fs is unknown
    // and n is not the first sample of its block.
    double offset(std::uint64_t n) const;
    double time(std::uint64_t n) const { return run_of(n / SAMPLES).start + offset(n); }

  private:
    friend class TimelineBuilder;
    static constexpr double NAN_TIME = std::numeric_limits<double>::quiet_NaN();

    Form form_ = Form::binary;
    TimeKind kind_ = TimeKind::unknown;
    const char* reason_ = "";
    bool dated_ = true;
    double fs_ = NAN_TIME;
    FrequencySource fs_source_ = FrequencySource::unknown;
    std::vector<double> block_times_;
    std::vector<Run> runs_;
};

// Gathers the block times of a file, block by block, and settles its
// timeline at the end.
class TimelineBuilder {
  public:
    TimelineBuilder(std::string_view header, Form form, BlockTimeForm asked = BlockTimeForm::guess);
    // The next block of the file, in order (its index is not looked at).
    void add(const Block& b);
    // The same for a binary block known by its time header alone (a record
    // of Reader::next_records).
    void add(TimeHeader binary_time);
    // The timeline of the blocks added. Throws FormatError when
    // minute_second was asked of Unix times (see binary_times).
    Timeline finish() const;

  private:
    std::vector<double> seconds(Timeline& t) const;

    std::string header_;
    Form form_;
    BlockTimeForm asked_;
    std::vector<TimeHeader> words_;               // binary
    std::vector<std::array<double, 2>> minute_s_; // ASCII: minute, second
    std::optional<Misfit> misfit_;
};

// Reads the remaining blocks of `reader` and returns their timeline.
Timeline read_timeline(Reader& reader, BlockTimeForm asked = BlockTimeForm::guess);

} // namespace avq
