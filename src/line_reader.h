// Block line reader for the input files.
//
// Input lines are read in pieces exactly as fgets with a 256-byte buffer
// reads them: a piece ends after a line feed or after 255 characters,
// whichever comes first, and the rest of a longer line is the next piece.
// Stored files and their conversions rely on that, so the pieces must stay
// byte for byte the same; only the way they are fetched differs: the file is
// read in large blocks and split here, with no library call per line.
//
// A piece is handed out as a zero-terminated string in place in the block
// (the byte after it is saved and put back on the next call). As with fgets,
// a piece that holds a zero byte ends there as a string, but the file
// position moves past the whole piece.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

class LineReader {
  public:
    static constexpr std::size_t PIECE = 255;      // characters per piece at most
    static constexpr std::size_t BLOCK = 1u << 20; // bytes per read

    enum Status { PIECE_READ, END_OF_FILE, READ_ERROR };

    // Reads from `file` (not owned) in blocks of `block` bytes (at least
    // PIECE). Throws std::bad_alloc if the block cannot be allocated.
    explicit LineReader(std::FILE* file, std::size_t block = BLOCK);

    // Reads the next piece. On END_OF_FILE and READ_ERROR, line() keeps the
    // previous piece, as fgets leaves its buffer alone when it fails.
    Status next();

    // The current piece, zero-terminated; "" before the first piece. Valid
    // until the next call of next().
    const char* line() const { return line_; }

    // The length of the current piece in bytes, zero bytes included: how far
    // the piece moved the file position.
    std::size_t length() const { return line_len_; }

    // As feof after fgets: a read met the end of the file (the piece just
    // read is a last line without a line feed, or no piece was left).
    bool at_end() const { return at_end_; }

    // The errno value of the failed read after READ_ERROR.
    int error() const { return error_; }

    // For a regular file: an upper bound of the number of pieces the whole
    // file holds, counted without moving the read position (the reader's
    // block serves as scratch, so call it before the first next()). Returns
    // 0 when the count cannot be known (a pipe, a device, a read error).
    std::size_t piece_bound();

  private:
    void refill();

    std::FILE* file_;
    std::size_t cap_;
    std::unique_ptr<char[]> buf_; // cap_ bytes, one for a terminating zero, padding
    char* pos_;                   // start of the unread bytes
    char* end_;                   // end of the bytes read so far
    char* term_ = nullptr;        // where the current piece's zero stands
    char saved_ = 0;              // the byte the zero replaced
    const char* line_;            // the current piece
    std::size_t line_len_ = 0;
    bool more_ = true; // the file may hold more bytes
    bool at_end_ = false;
    int error_ = 0;
    char spare_[PIECE + 1] = {}; // the current piece while the block is refilled
};
