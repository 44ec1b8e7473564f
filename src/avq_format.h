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

#include <cstddef>

#include "velkor.h"

namespace avq {

inline constexpr std::size_t TIME_HEADER_BYTES = 4;
inline constexpr std::size_t CHANNEL_RECORD_BYTES = ILSIZE * 2;                  // 1028
inline constexpr std::size_t RECORD_BYTES = CHANNEL_RECORD_BYTES * CHANNELS;     // 3084
inline constexpr char BINARY_HEADER_END = '\r';
inline constexpr char ASCII_HEADER_END = '\n';
inline constexpr unsigned ASCII_FIELDS = SAMPLES + 2; // 514

static_assert(TIME_HEADER_BYTES + SAMPLES * 2 == CHANNEL_RECORD_BYTES);

} // namespace avq
