// The AVQ infrasound file layout, shared by the writers and by avqdump.
//
// Binary form: the header comment's bytes, one carriage return, then one
// record per block of SAMPLES rows. A record is three channel records
// (channels 1, 2, 3), each ILSIZE 16-bit little-endian words: a 4-byte time
// header followed by SAMPLES signed samples.
//
// ASCII form: the header comment and a line feed, then per block three lines
// (channels 1, 2, 3) of ASCII_FIELDS fields separated by single spaces: the
// block's minute, its second, and the SAMPLES scaled values.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "velkor.h"

namespace avq {

inline constexpr std::size_t TIME_HEADER_BYTES = 4;
inline constexpr std::size_t CHANNEL_RECORD_BYTES = ILSIZE * 2;              // 1028
inline constexpr std::size_t RECORD_BYTES = CHANNEL_RECORD_BYTES * CHANNELS; // 3084
inline constexpr char BINARY_HEADER_END = '\r';
inline constexpr char ASCII_HEADER_END = '\n';
inline constexpr unsigned ASCII_FIELDS = SAMPLES + 2; // 514

static_assert(TIME_HEADER_BYTES + SAMPLES * 2 == CHANNEL_RECORD_BYTES);

// Byte offset, within a binary record, of channel c's record (c = 0, 1, 2)
// and of its sample j (j = 0 .. SAMPLES - 1).
constexpr std::size_t channel_record_offset(int c) {
    return static_cast<std::size_t>(c) * CHANNEL_RECORD_BYTES;
}
constexpr std::size_t sample_offset(int c, unsigned j) {
    return channel_record_offset(c) + TIME_HEADER_BYTES + 2 * static_cast<std::size_t>(j);
}

// ---------------------------------------------------------------------------
// The time header of a binary channel record
// ---------------------------------------------------------------------------
//
// It is two 16-bit little-endian words, word 0 in bytes 0-1 and word 1 in
// bytes 2-3; read together they are one 32-bit little-endian integer,
// word 0 + 65536 * word 1.
//
// - Minute/second form ("!S" headers, the default): word 0 is the minute of
//   the UTC day (hour * 60 + minute, 0..1439), word 1 the second (0..60). The
//   fraction of the second is dropped (truncation toward zero).
// - Unix form ("!U" headers): the whole seconds since 1970-01-01 00:00:00
//   UTC, truncated toward zero, stored as their low 32 bits.

struct TimeHeader {
    std::uint16_t word0;
    std::uint16_t word1;
};

// Minute/second form from a broken-down UTC time.
inline TimeHeader minute_second_header(const std::tm& t) {
    return {static_cast<std::uint16_t>(t.tm_hour * 60 + t.tm_min),
            static_cast<std::uint16_t>(t.tm_sec)};
}

// Unix form from whole seconds since the epoch (low 32 bits, two's
// complement for times before the epoch).
inline TimeHeader unix_header(std::int64_t seconds) {
    const auto low = static_cast<std::uint32_t>(static_cast<std::uint64_t>(seconds));
    return {static_cast<std::uint16_t>(low & 0xFFFFu), static_cast<std::uint16_t>(low >> 16)};
}

inline std::uint32_t header_value(TimeHeader h) {
    return static_cast<std::uint32_t>(h.word0) | (static_cast<std::uint32_t>(h.word1) << 16);
}

// Whether `seconds` (since the epoch, UTC) can be written as a block or
// start time: finite, its whole seconds (truncated toward zero) fit in a
// time_t, and gmtime can break them down with a year that the formatting of
// "%Y" can hold. Times that fail this are refused by the writers and by the
// built header comment rather than given an arbitrary date.
inline bool time_breaks_down(double seconds) {
    // 2^63: every double below it in magnitude converts to a 64-bit time_t.
    constexpr double limit = 9223372036854775808.0;
    if (!std::isfinite(seconds) || seconds >= limit || seconds <= -limit) return false;
    const auto whole = static_cast<std::time_t>(seconds);
    std::tm t{};
    if (gmtime_r(&whole, &t) == nullptr) return false;
    return t.tm_year <= 2147483647 - 1900;
}

// ---------------------------------------------------------------------------
// Little-endian access, for readers of the binary form
// ---------------------------------------------------------------------------

inline std::uint16_t get_le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t get_le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(get_le16(p)) |
           (static_cast<std::uint32_t>(get_le16(p + 2)) << 16);
}

} // namespace avq
