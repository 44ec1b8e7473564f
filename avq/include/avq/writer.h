// Writing AVQ files (libavq, <avq/writer.h>): the header comment, blocks of
// 512 rows of three channels in either form, and the header line that velkor
// builds when its inputs give none. The layout is in <avq/avq.h>; the file is
// written through <avq/output.h>.
//
// A block is given column by column: its time and, for each channel, its 512
// values one after the other (BlockValues), as they are held in a (3, 512)
// array. Rows of a table (an (n, 3) array) are first copied into three
// columns; a last block of fewer than 512 rows is completed by the caller
// (velkor fills it with zeroes or a mirror image, or drops it).
//
//   Binary form: every value is multiplied by the scale and saturated to
//   signed 16 bits (clamp_to_short: truncated toward zero, NaN stored as 0);
//   values beyond the range are counted as clipped, block by block. The block
//   time is stored in whole seconds, a time less than 1 ms below a second
//   counting as that second (stored_block_time): the minute of the UTC day
//   and the second ("!S"), or the low 32 bits of the Unix seconds ("!U").
//   ASCII form: every value times the scale, neither rounded nor saturated,
//   as printf's "%.14g" writes it; the minute and second fields as in
//   <avq/avq.h> (ascii_block_time).
//
// A program that writes a recording that starts at `start` seconds since the
// epoch and is sampled at `fs` per second gives block k the time
// start + k × 512 / fs, and a header from built_header() with that frequency
// and start:
//
//   avq::OutputError e;
//   auto out = avq::OutputFile::open("day.avq", e);
//   avq::Writer w(out->buffer(), {avq::Form::binary, 1000.0});
//   w.header(avq::built_header({fs, "1", "IS99", start}));
//   for (k ...) w.block({start + k * 512 / fs, {ch1 + 512 * k, ch2 + 512 * k, ch3 + 512 * k}});
//   e = out->finish();
//
// Nothing here keeps state outside the objects; a Writer is used by one
// thread at a time, and any number of them may write at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <avq/avq.h>
#include <avq/output.h>

namespace avq {

// ---------------------------------------------------------------------------
// Numbers of the ASCII form
// ---------------------------------------------------------------------------

// Each writes the text at `p` (no terminating zero) and returns its end,
// byte for byte what printf writes with a point as the decimal separator,
// whatever the locale ("inf", "-inf", "nan", "-nan" for the values that are
// not finite). `p` must have room for FORMAT_MAX characters; bytes after the
// text, within that room, may be overwritten.
inline constexpr std::size_t FORMAT_MAX = 400; // "%.0f" of the largest double is 309 digits
char* format_g14(char* p, double v);           // printf "%.14g"
char* format_f0(char* p, double v);            // printf "%.0f"

// ---------------------------------------------------------------------------
// Blocks
// ---------------------------------------------------------------------------

// How blocks are written.
struct WriteOptions {
    Form form = Form::binary;
    double scale = 1.0;         // every value is multiplied by it
    bool unix_seconds = false;  // block times as Unix seconds ("!U"), else minute and second
    bool minute_of_day = false; // ASCII minute field: the minute of the day, not since 1970
};

// One block: the time of its first row (seconds since 1970-01-01 UTC) and the
// SAMPLES values of each channel, as read (the scale is applied on writing).
struct BlockValues {
    double time = 0;
    const double* values[CHANNELS] = {};
};

// What the binary form makes of a channel's values v, x = v × scale (for a
// report on the data): the values stored as 0 because |x| < 1 (zeroes
// included), the zeroes, and the values that are not numbers.
struct ValueCounts {
    std::uint64_t below_one = 0;
    std::uint64_t zero = 0;
    std::uint64_t nan = 0;
};

// A value of the binary form: x saturated to signed 16 bits and truncated
// toward zero; NaN gives 0. `clipped` counts the values beyond the range.
std::int16_t clamp_to_short(double x, unsigned& clipped);

// The time header of a binary block whose first row is at `seconds`, which
// must have a calendar date (time_breaks_down).
TimeHeader block_time_header(double seconds, bool unix_seconds);

// Writes the binary record of `b` (RECORD_BYTES, little-endian) at `record`.
// Returns the number of values clipped. With `counts` (one per channel), adds
// the counts of the values of each channel.
unsigned binary_record(const BlockValues& b, double scale, bool unix_seconds, unsigned char* record,
                       ValueCounts* counts = nullptr);

// Adds the counts of `n` values times `scale` to `counts`.
void count_values(const double* values, std::size_t n, double scale, ValueCounts& counts);

// The room one ASCII block may need: every field formatter wants FORMAT_MAX
// bytes free, and each field is followed by a blank or a line feed.
inline constexpr std::size_t ASCII_BLOCK_ROOM = CHANNELS * ASCII_FIELDS * (FORMAT_MAX + 1);

// Writes the three lines of the ASCII block of `b` at `out`, which has
// ASCII_BLOCK_ROOM bytes; returns the end of the text.
char* ascii_block(const BlockValues& b, const WriteOptions& o, char* out);

// ---------------------------------------------------------------------------
// The header that velkor builds
// ---------------------------------------------------------------------------

// "!S512Tidserier sampfrek: F gain: G station: S date: YYYY-MM-DD time:
// hh:mm:ss" ("!U..." with Unix block times): the frequency as printf's "%g"
// writes it, the gain and station as given, and the UTC date and time of the
// first block as the binary form stores it (stored_block_time, whole seconds;
// readers date the first block's minute of the day by it).
//
// "%g" keeps six significant digits, enough for the frequency velkor
// estimates from its rows. A program that knows the frequency exactly (a
// rate of 19.99999 Hz, or 1/3 Hz) sets exact_sampfrek: where "%g" would
// round it, the frequency is written as the shortest text that reads back as
// the same number, so that readers, which take the header's frequency for
// the sample times, do not drift from the block times.
struct BuiltHeader {
    double sampfrek = 0;
    std::string gain = "1";
    std::string station = "x";
    double start = 0; // the first row's time, seconds since the epoch
    bool unix_seconds = false;
    bool exact_sampfrek = false;
};
// The header line, or "" when `start` has no calendar date (time_breaks_down).
std::string built_header(const BuiltHeader& h);

// ---------------------------------------------------------------------------
// Writing a file
// ---------------------------------------------------------------------------

// Writes an AVQ file into `out` block by block. A write error stays in the
// buffer (OutputBuffer::error); what follows it is dropped.
class Writer {
  public:
    Writer(OutputBuffer& out, const WriteOptions& options) : out_(out), options_(options) {}

    // The header comment (carriage returns and line feeds removed) and the
    // byte that ends it in the writer's form.
    void header(std::string_view comment);
    // Writes a block; returns the number of values clipped (binary). With
    // `counts`, adds the counts of its values per channel.
    unsigned block(const BlockValues& b, ValueCounts* counts = nullptr);

  private:
    OutputBuffer& out_;
    WriteOptions options_;
};

} // namespace avq
