// What the block times of an AVQ file mean in UTC, and the time of every
// sample.
//
// Binary form: which of the two forms of time header (<avq/avq.h>) a file
// holds, --unixtime and --normaltime say; without them the header's mark
// ("!U" or "!S") decides, else whether the values fit a minute of the day
// (0-1439) and a second (0-60). ASCII form: a minute of 0 with a second of
// 60 or more is a Unix time, a minute of 1440 or more counts from the epoch,
// a smaller one is the minute of the day.
//
// Minute-of-day times carry no date. They are dated from the header's
// "date: YYYY-MM-DD" (velkor's built header holds the date of the first row),
// else from 1970-01-01, and a day is added each time a block time falls below
// the one before it (midnight passed).
//
// The samples of a block follow its first one at the sampling interval: 1 /
// sampfrek when the header holds a positive "sampfrek: F", else the step to
// the next block divided by 512. A step that breaks the run of steps (a gap,
// time standing still or going back) gives no interval: the block before it
// keeps the interval of the block before that, and so does the last block.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <avq/reader.h>

namespace avqdump {

// How binary block times are to be read, as asked on the command line.
enum class TimeForm { guess, normal, unix_seconds };

enum class TimeKind { unix_seconds, epoch_minutes, minute_of_day, unknown };

// A binary time header that is no minute of the day and second.
struct Misfit {
    std::uint64_t block = 0;
    avq::TimeHeader words{};
};

struct BinaryTimes {
    bool unix_seconds = false;
    const char* why = "";
};

// How the time headers of a binary file with `header` are read. `misfit` is a
// block whose header is no minute of the day and second, if the caller knows
// one. Throws FormatError when --normaltime asks for minutes of the day of a
// file whose times are Unix times.
BinaryTimes binary_times(const std::string& header, TimeForm asked,
                         const std::optional<Misfit>& misfit);

// What an ASCII block time means: seconds since the epoch, or since midnight
// for TimeKind::minute_of_day; TimeKind::unknown for values no writer gives
// (negative, not finite, absurdly large).
struct StoredTime {
    TimeKind kind = TimeKind::unknown;
    double seconds = 0;
};
StoredTime ascii_time_meaning(double minute, double second);

// The sampling frequency of the header's "sampfrek: F" when F is a positive
// finite number, else 0.
double header_sampfrek(std::string_view header);
// Midnight (seconds since the epoch) of the header's "date: YYYY-MM-DD".
std::optional<std::int64_t> header_date(std::string_view header);

// How far two steps between block times may differ and still be one run, in
// seconds: binary times are whole seconds (truncated), so steps of one file
// may differ by one; ASCII times keep the fraction of the second.
constexpr double step_tolerance(avq::Form form) {
    return form == avq::Form::binary ? 1 : 1e-3;
}

// One block with the times of its samples: sample j is at start + j × interval.
struct TimedBlock {
    const avq::Block* block = nullptr;
    double start = 0;       // seconds since the epoch, UTC; NaN when unknown
    double interval = 0;    // seconds between samples; NaN when unknown
    bool irregular = false; // the step from the block before breaks the run
};

// What the times of a file are, settled from the header and the first block.
struct TimeFacts {
    avq::Form form = avq::Form::binary;
    TimeKind kind = TimeKind::unknown; // of the first block
    std::optional<std::int64_t> date;  // the header's date
    double sampfrek = 0;               // the header's, 0 when none
};

// Reads the blocks of a file in order and gives each its sample times. It
// reads one block ahead, since a block's interval may come from the next
// block's time.
class TimedReader {
  public:
    TimedReader(avq::Reader& reader, TimeForm asked);

    // The next block; false after the last. The block stays valid until the
    // next call.
    bool next(TimedBlock& out);
    const TimeFacts& facts() const { return facts_; }

  private:
    void settle_kind(const avq::Block& first);
    void read_ahead();
    double block_start(const avq::Block& b);
    double dated(double time_of_day);
    bool breaks_run(double step);

    avq::Reader& reader_;
    TimeForm asked_;
    TimeFacts facts_;
    double tolerance_;
    avq::Block blocks_[2];
    double times_[2] = {0, 0};
    bool irregular_[2] = {false, false};
    int cur_ = 0;
    bool started_ = false, have_next_ = false;
    double ref_step_;
    double prev_interval_;
    double prev_time_of_day_ = -1;
    std::int64_t days_ = 0;
};

} // namespace avqdump
