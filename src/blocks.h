// What becomes of the rows read before they are written: the header line
// that the group's comments or first rows settle (header.cpp), and the
// completion of the last, partial block (complete_block.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "error.h"
#include "inputs.h"
#include "report.h"
#include "row_reader.h"
#include "settings.h"

// The built header's estimate uses the channel-1 times of rows 0 to 10, as
// the report keeps them (GroupReport::head).
inline constexpr std::size_t HEAD_ROWS = ESTIMATE_ROWS;

// Header comment (header.cpp). Every AVQ file begins with one comment line.
// It is settled once the group has been read: the channel files' comments
// are cleaned, files without one and comments that disagree are warned
// about, and the first channel's comment that exists is taken; when there is
// none, a line is built from the data (the frequency estimated from the
// first rows' times `head`, of the `n` rows read, and the UTC time of the
// first row).
struct SettledHeader {
    std::string line;
    bool built = false; // built from the rows (no channel file had a comment)
};
// Writes the warnings and the estimate line; fails when a built header's
// start time has no calendar date.
Status settle_header(const Settings& s, const GroupNames& names, Comments c, const double* head,
                     std::size_t n, SettledHeader& out);
// The header that settle_header will settle on for the comments `c`, without
// writing anything; "" when it would refuse the group.
std::string expected_header(const Settings& s, const Comments& c, const double* head,
                            std::size_t n);
// Writes "Warning: no comments in file NAME" when `comment` is empty;
// otherwise removes its carriage returns and line feeds. Returns whether it
// was not empty.
bool check_comment(const char* name, std::string& comment);

// Block completion (complete_block.cpp). Both AVQ forms hold whole blocks,
// so a final partial block is filled up with zeroes or with a mirror image
// of the last rows, or dropped, as the end mode says. Added rows carry
// values only; their times are never read.
//
// Writes the messages of completing a group of `n` rows read and returns
// the rows written: n, or fewer when truncation drops the partial block.
// `fill` tells whether the last block is to be filled.
std::uint64_t begin_completion(const Settings& s, std::uint64_t n, bool& fill);
// Fills the rows after the n % SAMPLES rows read of the last block `block`
// (with zeroes or their mirror image); `previous` is the full block before
// it, null when there is none.
void fill_last_block(EndMode mode, RowBlock& block, std::uint64_t n, const RowBlock* previous);
