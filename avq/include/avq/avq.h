// The AVQ infrasound file format: its constants, its byte layout, the two
// fields of a block time, and the recognition of an AVQ file. Shared by
// velkor's writers, by avqdump and by other programs (libavq, <avq/avq.h>;
// the reader is in <avq/reader.h>). The format is described in prose in the
// manual page velkor(1), section AVQ FILE FORMAT; this header is its layout
// and the code that goes with it.
//
// Binary form (all numbers little-endian; b counts blocks from 0, H is the
// length of the header comment):
//
//   offset               bytes  content
//   0                    H      header comment (no carriage return, no line feed)
//   H                    1      0x0D, the end of the header (no line feed)
//   H + 1 + 3084 b       3084   record of block b: channel records 1, 2, 3
//
//   A channel record, 1028 bytes = 514 16-bit words, at 1028 c in the record
//   (c = 0, 1, 2 for channels 1, 2, 3):
//
//   offset   bytes  content                  "!S" (default)         "!U" (--unixtime)
//   0        2      word 0 of the block time  minute of the UTC day  low 16 bits of the
//   2        2      word 1 of the block time  second (0-60)          32-bit Unix seconds
//   4 + 2 j  2      sample j (0-511), signed 16-bit, saturated at -32768 and 32767
//
//   The three channel records of a block carry the same block time.
//
// ASCII form (lines end in a line feed, 0x0A):
//
//   line                 content
//   1                    header comment
//   2 + 3 b + c          block b, channel c + 1: 514 fields separated by single spaces
//
//   field    content                                                   printf
//   1        minute: since the epoch, or of the day; 0 for Unix times  %.0f
//   2        second within that minute; the whole time for Unix times  %.14g
//   3 + j    value j (0-511), scaled, neither rounded nor saturated    %.14g
//
// A block's time is channel 1's time of the block's first row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace avq {

// ---------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------

inline constexpr unsigned SAMPLES = 512;              // samples per channel and block
inline constexpr unsigned CHANNELS = 3;               // channels 1, 2, 3
inline constexpr unsigned CHANNEL_WORDS = 514;        // 16-bit words of a channel record
inline constexpr unsigned ASCII_FIELDS = SAMPLES + 2; // fields of an ASCII block line
inline constexpr std::size_t TIME_HEADER_BYTES = 4;
inline constexpr std::size_t CHANNEL_RECORD_BYTES = CHANNEL_WORDS * 2;       // 1028
inline constexpr std::size_t RECORD_BYTES = CHANNEL_RECORD_BYTES * CHANNELS; // 3084

static_assert(TIME_HEADER_BYTES + SAMPLES * 2 == CHANNEL_RECORD_BYTES);

// The two forms of the file; the byte that ends the header comment tells
// which.
enum class Form { binary, ascii };
inline constexpr char BINARY_HEADER_END = '\r';
inline constexpr char ASCII_HEADER_END = '\n';

// The limits of a binary sample; values beyond them are stored as the limit.
inline constexpr std::int16_t SAMPLE_MAX = 32767;
inline constexpr std::int16_t SAMPLE_MIN = -32768;

// The header comment that velkor builds when its inputs supply none begins
// with one of these; its first two characters say how the block times are
// stored ("!S": minute and second, "!U": Unix seconds). The sampling
// frequency follows, then " gain: 1 station: x " (or the gain and station
// the user gave) and the start time in BUILT_HEADER_TIME_FORMAT (UTC).
inline constexpr std::string_view HEADER_PREFIX_MINUTE_SECOND = "!S512Tidserier sampfrek: ";
inline constexpr std::string_view HEADER_PREFIX_UNIX = "!U512Tidserier sampfrek: ";
inline constexpr std::string_view MINUTE_SECOND_MARK = HEADER_PREFIX_MINUTE_SECOND.substr(0, 2);
inline constexpr std::string_view UNIX_MARK = HEADER_PREFIX_UNIX.substr(0, 2);
inline constexpr const char* BUILT_HEADER_TIME_FORMAT = "date: %Y-%m-%d time: %H:%M:%S";

enum class HeaderMark { minute_second, unix_seconds, none };

// What the first two characters of a header comment say about the block
// times.
HeaderMark header_mark(std::string_view header);

// A header comment holds neither carriage return nor line feed (either would
// end it): `text` with every one of them removed, all else kept in order.
std::string strip_line_ends(std::string_view text);

// ---------------------------------------------------------------------------
// Binary records: offsets, little-endian words
// ---------------------------------------------------------------------------

// Byte offset, within a binary record, of channel c's record (c = 0, 1, 2)
// and of its sample j (j = 0 .. SAMPLES - 1).
constexpr std::size_t channel_record_offset(unsigned c) {
    return c * CHANNEL_RECORD_BYTES;
}
constexpr std::size_t sample_offset(unsigned c, unsigned j) {
    return channel_record_offset(c) + TIME_HEADER_BYTES + 2 * static_cast<std::size_t>(j);
}

inline std::uint16_t get_le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t get_le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(get_le16(p)) |
           (static_cast<std::uint32_t>(get_le16(p + 2)) << 16);
}
inline void put_le16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v & 0xFFu);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void put_le32(unsigned char* p, std::uint32_t v) {
    put_le16(p, static_cast<std::uint16_t>(v & 0xFFFFu));
    put_le16(p + 2, static_cast<std::uint16_t>(v >> 16));
}

// ---------------------------------------------------------------------------
// Block times
// ---------------------------------------------------------------------------

// The time header of a binary channel record: word 0 in bytes 0-1, word 1 in
// bytes 2-3; read together one 32-bit integer, word 0 + 65536 × word 1.
struct TimeHeader {
    std::uint16_t word0;
    std::uint16_t word1;
};

// The time header of channel c's record within the binary record at
// `record` (the three channels carry the same one).
inline TimeHeader record_time_header(const unsigned char* record, unsigned c = 0) {
    const unsigned char* ch = record + channel_record_offset(c);
    return {get_le16(ch), get_le16(ch + 2)};
}

// "!S" form from a broken-down UTC time: the minute of the day (hour × 60 +
// minute, 0-1439) and the second (0-60).
inline TimeHeader minute_second_header(const std::tm& t) {
    return {static_cast<std::uint16_t>(t.tm_hour * 60 + t.tm_min),
            static_cast<std::uint16_t>(t.tm_sec)};
}

// "!U" form from whole seconds since the epoch: their low 32 bits (two's
// complement before the epoch).
inline TimeHeader unix_header(std::int64_t seconds) {
    const auto low = static_cast<std::uint32_t>(static_cast<std::uint64_t>(seconds));
    return {static_cast<std::uint16_t>(low & 0xFFFFu), static_cast<std::uint16_t>(low >> 16)};
}

inline std::uint32_t header_value(TimeHeader h) {
    return static_cast<std::uint32_t>(h.word0) | (static_cast<std::uint32_t>(h.word1) << 16);
}

// Whether a time header can be a minute of the day and a second.
inline bool fits_minute_second(TimeHeader t) {
    return t.word0 < 1440 && t.word1 <= 60;
}

// The time stored for a block whose first row's time is `seconds`: a time
// less than 1 ms below a whole second is taken as that second, since times
// written to a few decimals (or converted from minutes) fall a hair below
// the second they mean, where truncation to whole seconds would store the
// second before. Times further below are kept, and truncated by the binary
// form as before. A time written to the millisecond, such as x.999, is 1 ms
// below and stays in its second (its double may lie closer by less than a
// microsecond, hence the limit of 999.5 microseconds).
inline constexpr double BLOCK_TIME_ROUND_UP = 0.0009995;
double stored_block_time(double seconds);

// The minute and second fields of an ASCII block line for a block time of
// `seconds` since the epoch (UTC).
struct AsciiBlockTime {
    double minute;
    double second;
};

// With `unix_seconds`: minute 0 and the whole time as the second. Otherwise
// the minute is floor(t / 60), the minute since the epoch, or with
// `minute_of_day` that minute modulo 1440; the second is fmod(t, 60) with
// its fraction.
AsciiBlockTime ascii_block_time(double seconds, bool unix_seconds, bool minute_of_day);

// Whether `seconds` truncated toward zero fits a 64-bit time_t: finite and
// strictly within ±2^63.
bool fits_time_t(double seconds);

// Whether `seconds` (since the epoch, UTC) can be a block or start time:
// it fits a time_t, and gmtime breaks it down with a year that "%Y" can hold.
bool time_breaks_down(double seconds);

// ---------------------------------------------------------------------------
// The calendar and UTC time texts
// ---------------------------------------------------------------------------

// The proleptic Gregorian calendar in integers, for any 64-bit year, without
// the C library's time functions and whatever the time zone: days from
// 1970-01-01 to the date y-m-d (month 1-12, day 1-31; a day beyond the
// month's counts on into the next), leap years and the days of a month.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d);
bool leap_year(std::int64_t y);
unsigned days_in_month(std::int64_t y, unsigned m);

// "YYYY-MM-DD hh:mm:ss.ss": `seconds` since the epoch as a UTC date and
// time, rounded to hundredths of a second (velkor's messages). A time too
// far from the epoch, or not a number, is written as printf's "%g" writes
// it.
std::string utc_text_hundredths(double seconds);

// strftime of `t` with `format`, at most 63 characters; "" when the text does
// not fit.
std::string time_text(const std::tm& t, const char* format);

// The UTC time of whole `seconds` since the epoch as time_text gives it with
// `format`; "" when gmtime cannot break the seconds down.
std::string utc_text(std::int64_t seconds, const char* format);

// "2023-11-14T22:13:32": whole seconds as ISO 8601 UTC without the zone; ""
// outside the years 0 to 9999.
std::string iso_seconds(std::int64_t seconds);

// "2023-11-14T22:13:32.25Z": the fraction to the microsecond, trailing zeroes
// dropped; "" when the time is not finite or outside the years 0 to 9999.
std::string iso_utc(double seconds);

// "22:13:32.25Z": a time of the day from the minute of the day (0-1439) and
// the second (0 to below 61, a leap second included); "" outside that range.
std::string iso_time_of_day(double minute, double second);

// A time split into whole seconds and microseconds, the microseconds rounded
// to the nearest and carried into the seconds at a million.
struct WholeMicro {
    std::int64_t seconds;
    long long micro; // 0 to 999999
};
WholeMicro split_micro(std::int64_t whole, double fraction);

// ".25" for 250000 microseconds: the fraction with trailing zeroes dropped;
// "" for none.
std::string fraction_text(long long micro);

// ---------------------------------------------------------------------------
// Recognising an AVQ file
// ---------------------------------------------------------------------------

enum class Detected { text, binary, ascii };

// Looks at the first bytes of a file, as a reader tells the forms apart:
//   binary: a first line that begins with "!" and ends in a carriage return
//           that is not followed by a line feed;
//   ASCII:  a first line that begins with "!", followed by a line of exactly
//           514 blank-separated numbers (minute, second, 512 values).
// Text inputs of velkor never look like either: their data lines hold at
// most a few numbers, and their lines end in line feeds (CR LF included).
// `whole` tells whether the bytes are all of the file; otherwise a line that
// runs to the end of `start` is not known to end there, and the bytes are
// taken for text. This test is looser than the reader's (recognise() in
// <avq/reader.h>): it also knows an ASCII file whose lines were converted to
// CR LF, or whose fields are separated by other blanks, so that velkor
// refuses such a file as an input.
Detected detect_form(std::string_view start, bool whole);

} // namespace avq
