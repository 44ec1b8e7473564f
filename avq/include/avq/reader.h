// Reading and validating AVQ infrasound files, in both forms, block by block
// (libavq, <avq/reader.h>; the layout is in <avq/avq.h>), and recognising
// them.
//
// The form is told by the end of the header line: a carriage return for the
// binary form, a line feed for the ASCII form (the header comment itself holds
// neither, and begins with "!").
//
// Validation is strict: anything a writer would not have produced is a
// FormatError with a message that says where and what (a binary tail that is
// not a whole record, an ASCII line with the wrong number of fields, a field
// that is not a number, a block cut short, channels of one block that
// disagree on the block time).
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <stdexcept>
#include <string>
#include <string_view>

#include <avq/avq.h>

namespace avq {

class FormatError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The header line is looked for within this many bytes; a file without a
// carriage return or line feed that early is not an AVQ file.
inline constexpr std::size_t MAX_HEADER_BYTES = 65536;

// One block of either form. Only the members of the file's form are set.
struct Block {
    std::uint64_t index = 0; // 0 for the first block

    // Binary form: channel 1's time header (its two words) and the samples
    // of channels 1-3.
    TimeHeader time{};
    std::array<std::array<std::int16_t, SAMPLES>, CHANNELS> samples{};

    // ASCII form: the three lines as read (without line feed) and the fields
    // of each line as views into them. Field 0 is the minute, field 1 the
    // second, fields 2 to 513 the values, all as stored.
    std::array<std::string, CHANNELS> lines;
    std::array<std::array<std::string_view, ASCII_FIELDS>, CHANNELS> fields{};
    // The block time as stored, minute and second, and the values as numbers
    // (values[c][j] is field j + 2 of channel c + 1).
    double ascii_minute = 0;
    double ascii_second = 0;
    std::array<std::array<double, SAMPLES>, CHANNELS> values{};
};

// ---------------------------------------------------------------------------
// Recognising an AVQ file
// ---------------------------------------------------------------------------

// What the start of a file says: an AVQ file (as far as those bytes go) of a
// form, or no AVQ file and why.
struct Recognition {
    bool avq = false;
    Form form = Form::binary; // when `avq`: told by the end of the header line
    std::string fault;        // when not: what is wrong, as the Reader says it
};

// A block line of the ASCII form is at most about 12 KB long; a line longer
// than this is none.
inline constexpr std::size_t MAX_BLOCK_LINE_BYTES = 65536;
// The first bytes of a file that always let recognise() decide.
inline constexpr std::size_t RECOGNITION_BYTES = MAX_HEADER_BYTES + 1 + MAX_BLOCK_LINE_BYTES + 1;

// Whether `start`, the first bytes of a file (`whole`: all of it), begins an
// AVQ file as the Reader reads one:
//   - a header line that begins with "!" and ends, within MAX_HEADER_BYTES,
//     in a carriage return (binary form) or a line feed (ASCII form);
//   - binary form: nothing more, or a first record of RECORD_BYTES bytes
//     whose three channels carry one block time;
//   - ASCII form: nothing more, or a first block line of 514 numbers
//     separated by single spaces and ended by a line feed.
// A header line alone is an AVQ file without blocks, in either form. Bytes
// that end before they can tell (a header line not ended yet, a first
// record or block line that runs on) count as an AVQ file;
// RECOGNITION_BYTES bytes always tell. The rest of the file is not looked
// at: a file recognised here may still be damaged further on (cut short
// after its first block, say), which the Reader finds when it gets there.
//
// A text file with "!" comment lines, as velkor reads them, is no AVQ file:
// its data lines hold a few numbers, and lines ended by CR LF, or a carriage
// return alone, are no header line followed by binary records. (detect_form
// in <avq/avq.h> is the looser test that velkor applies to its inputs.)
Recognition recognise(std::string_view start, bool whole);

// recognise() of the first RECOGNITION_BYTES bytes of the file at `path`
// (all of it when it is shorter), for a program that is about to replace
// the file and wants to know whether it holds an AVQ file. When the file
// cannot be opened or read, `error` is set to the errno value and the
// result is no AVQ file; otherwise `error` is 0. Meant for regular files: a
// FIFO or device is opened without blocking and judged by what it holds at
// once.
Recognition recognise_file(const char* path, int& error);

// Whether `path` names an existing regular file (links followed), not
// empty, that recognise_file() finds is no AVQ file: a file that a program
// about to write an AVQ file at `path` would replace, and should not replace
// unless told to. A file that cannot be read counts as an AVQ file, and is
// left to the write to report. Names that are written in place (standard
// output, devices) are the caller's to leave out.
bool holds_other_than_avq(const char* path);

class Reader {
  public:
    // Reads the header line and the first block line or record, and refuses
    // (FormatError) what recognise() does not recognise. `in` must be opened
    // in binary mode and outlive the reader. When the stream can seek, the
    // length of the binary part is checked at once, before any block is
    // returned.
    explicit Reader(std::istream& in);

    Form form() const { return form_; }
    const std::string& header() const { return header_; }

    // Reads the next block into `b`. Returns false after the last block.
    bool next(Block& b);

    // Binary form only (std::logic_error otherwise): reads the next records
    // as stored, at most `max` of them, into `out` (RECORD_BYTES each; the
    // layout is in <avq/avq.h>), checked as next() checks them. Returns the
    // number read, 0 after the last. For programs that decode many blocks
    // at once; next() and next_records() may be mixed.
    std::size_t next_records(unsigned char* out, std::size_t max);

  private:
    bool next_binary(Block& b);
    bool next_ascii(Block& b);
    void check_binary_length(std::uint64_t data_bytes) const;

    std::istream& in_;
    Form form_ = Form::binary;
    std::string header_;
    std::uint64_t blocks_ = 0;
    std::uint64_t line_ = 1;         // ASCII: number of the last line read
    std::uint64_t binary_bytes_ = 0; // binary: bytes of records read so far
    // What the constructor read after the header line to recognise the
    // file, before the first call of next(): the first record (or what there
    // is of it) or the first line without its line feed.
    bool ahead_ = false;
    std::string ahead_bytes_;
};

// Splits `line` at single spaces into `out`, strictly: no empty field, no
// space at either end. Returns the number of fields (at most INT_MAX), or -1
// when there is an empty field; stores the first out.size() of them.
int split_fields(std::string_view line, std::array<std::string_view, ASCII_FIELDS>& out);

// Reads a whole field as a number (as the ASCII writer writes them: decimal,
// exponent form, inf and nan). Returns false when it is not a number.
bool parse_number(std::string_view field, double& value);

} // namespace avq
