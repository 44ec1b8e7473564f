// Block line reader for the input files.
//
// The file is read in large blocks and split into lines here, with no
// library call per line. A line is everything up to and including its line
// feed, or up to the end of the file for a last line without one, however
// long: a line longer than the block is gathered in a buffer of its own.
//
// A line is handed out as a zero-terminated string (in place in the block
// where it fits; the byte after it is saved and put back on the next call).
// As with fgets, a line that holds a zero byte ends there as a string, but
// the file position moves past the whole line, and length() tells how far.
// Lines of at most 255 characters come out exactly as fgets with a 256-byte
// buffer reads them, byte for byte and with the same end-of-file flag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include <atomic>

class LineReader {
  public:
    static constexpr std::size_t BLOCK = 1u << 20; // bytes per read

    enum Status { LINE_READ, END_OF_FILE, READ_ERROR };

    // Reads from `file` (not owned) in blocks of `block` bytes. Throws
    // std::bad_alloc if the block cannot be allocated.
    explicit LineReader(std::FILE* file, std::size_t block = BLOCK);

    // Reads the regular file open as `fd` (not owned) from byte `offset` on,
    // with pread: the file's own position is neither used nor moved, so
    // several readers can read one open file at different places at once.
    LineReader(int fd, std::uint64_t offset, std::size_t block = BLOCK);

    // Reads the next line. On END_OF_FILE and READ_ERROR, line() keeps the
    // previous line, as fgets leaves its buffer alone when it fails. Throws
    // std::bad_alloc when a line longer than the block does not fit in
    // memory.
    Status next();

    // The current line, zero-terminated; "" before the first line. Valid
    // until the next call of next() or block_rest(). A line handed out by
    // took() is not zero-terminated: length() tells where it ends.
    const char* line() const { return line_; }

    // The unread bytes of the block, for a reader that takes lines straight
    // from it (numscan.h, scan_plain_row): they end in a zero byte, followed
    // by at least 16 readable bytes. A line that runs into the zero is not
    // all there yet and must be read with next(). Null when the next line
    // is not in the block (the rest of a long line is being gathered) or
    // after a read error. The current line is no longer zero-terminated
    // after this call, until next() fails and puts its zero back.
    const char* block_rest() {
        if (!long_.empty() || error_ != 0) return nullptr;
        // term_ stays, so that a next() that fails terminates the current
        // line again, as fgets leaves its buffer.
        if (term_ != nullptr) *term_ = saved_;
        *end_ = '\0'; // the bytes after end_ may be left from an earlier block
        return pos_;
    }

    // Hands out the line from block_rest() up to `next` (after its line
    // feed), which the caller has read, as next() would have. No zero is
    // written after it: a store just before the bytes a scan is about to
    // read stalls that scan.
    void took(const char* next) {
        line_ = pos_;
        line_len_ = static_cast<std::size_t>(next - pos_);
        term_ = nullptr;
        pos_ = const_cast<char*>(next);
    }

    // The length of the current line in bytes, zero bytes and the line feed
    // included: how far the line moved the file position.
    std::size_t length() const { return line_len_; }

    // As feof after fgets: a read met the end of the file (the line just
    // read is a last line without a line feed, or no line was left).
    bool at_end() const { return at_end_; }

    // The errno value of the failed read after READ_ERROR.
    int error() const { return error_; }

    // The first bytes of the file, without consuming them: the first block
    // is read if nothing has been read yet, and the following next() calls
    // hand out these bytes as usual (nothing is sought, so pipes and
    // standard input work alike). Call it before the first next().
    // `whole` tells whether the bytes are all the file holds.
    std::string_view peek(bool& whole);

  private:
    void refill();
    std::size_t read_more(char* to, std::size_t want);
    Status hand_out(std::size_t len);

    std::FILE* file_;
    int fd_ = -1;              // read with pread when not -1
    std::uint64_t offset_ = 0; // where the next pread starts
    std::size_t cap_;
    std::unique_ptr<char[]> buf_; // cap_ bytes, one for a terminating zero, padding
    char* pos_;                   // start of the unread bytes
    char* end_;                   // end of the bytes read so far
    char* term_ = nullptr;        // where the current line's zero stands in the block
    char saved_ = 0;              // the byte the zero replaced
    std::string held_;            // the current line when it is not in the block
    std::string long_;            // the start of a line longer than the block
    const char* line_;            // the current line
    std::size_t line_len_ = 0;
    bool more_ = true; // the file may hold more bytes
    bool at_end_ = false;
    int error_ = 0;
};

// Where a regular file's `count`-th row line ends, counting lines from the
// start of the file as LineReader cuts them. A row line is any line but a
// comment line (its first byte "!"), a blank line (white space only) and a
// "#" line (its first byte that is not white space "#"), all bytes of the
// line up to its line feed counted, zero bytes included; a UTF-8 byte order
// mark that begins the file is not part of its first line. `offset` is the
// byte after that line (after its line feed; the end of the file for a last
// line without one), `lines` the number of lines up to and including it,
// every line counted.
struct LinePosition {
    std::uint64_t offset = 0;
    std::uint64_t lines = 0;
};

// Finds that place in the file open as `fd`, reading it with pread (its
// position is not moved). Returns false when the file holds fewer row
// lines, on a read error, or as soon as `stop` is set.
bool find_line_end(int fd, std::uint64_t count, LinePosition& at, const std::atomic<bool>& stop);

// The first byte of a line that is surely a row line (as above), known at a
// glance, both here and by the reading of rows: no white space, no "!", no
// "#" (nor '"' or a control byte, which the slow way looks at); digits,
// signs, points, letters.
inline constexpr unsigned char SURE_ROW_BYTE = '$';

inline bool sure_row_byte(char c) {
    return static_cast<unsigned char>(c) >= SURE_ROW_BYTE;
}
