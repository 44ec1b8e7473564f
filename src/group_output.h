// The output file of a group (group_output.cpp), on top of libavq's output
// files (<avq/output.h>), and the messages of its failures.
//
// The blocks are written as the group is read, but the header line before
// them is settled only at the end, since a comment line may stand anywhere
// in a file. So the blocks go:
// - where the output may be replaced, into a temporary file beside it that
//   begins with the header the first rows give; at the end the settled
//   header is put in its place (the blocks move within the file by the
//   difference in length when they differ, which needs no room beyond it)
//   and the file is renamed over the target;
// - where the output is written in place (standard output, a device, a
//   FIFO, an existing file in a directory that may not be written), into a
//   spool in TMPDIR, unlinked from the start; at the end the output is
//   opened and given the settled header and the spool's bytes. A group that
//   fails thus writes nothing to such an output, as it leaves a replaced
//   output as it was.
// A group has one temporary file at a time.
//
// Failures are returned with the messages velkor prints:
//   "Can't open output file NAME: reason"  when the output cannot be opened;
//   "Error writing file NAME: reason"      when a write, the close or the
//                                          rename fails;
//   "Out of memory writing file NAME"      when a buffer cannot be had;
//   "Can't make a temporary file in DIR for NAME: reason" and
//   "Error writing a temporary file in DIR for NAME: reason" for the spool.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <avq/output.h>

#include "error.h"

class GroupOutput {
  public:
    // Makes the temporary file beside the output `name`, or the spool.
    static Status open(const char* name, std::unique_ptr<GroupOutput>& out);

    // Where the blocks go (their first byte at blocks_at()), once begin()
    // has written the header that the first rows give (the line, and the
    // byte that ends it).
    int descriptor() const;
    std::uint64_t blocks_at() const { return blocks_at_; }
    void begin(const std::string& first_header);

    // The failure `error` (an errno value) of a write into descriptor().
    Error write_error(int error) const;

    // Puts the settled header in place before the `blocks` bytes of blocks
    // written, or opens the output and writes the header and the blocks to
    // it. On a failure, `failed_at` is the offset in the blocks' bytes of the
    // first byte that could not be written, or -1 when the failure came
    // before them (the output could not be opened, or given its header).
    Status settle(const std::string& header, std::uint64_t blocks, std::int64_t& failed_at);
    // Closes the output and renames a temporary file over the target.
    Status finish();

  private:
    GroupOutput() = default;
    Error failure(const avq::OutputError& e) const;

    std::string name_;
    std::unique_ptr<avq::OutputFile> file_; // the temporary file, or the output in place
    std::unique_ptr<avq::Spool> spool_;
    std::uint64_t blocks_at_ = 0; // the length of the first header, in a temporary file
};
