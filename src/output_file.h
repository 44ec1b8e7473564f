// Output files of both writers: libavq's output file (<avq/output.h>), whose
// failures end the run with velkor's messages.
//
// A run must never leave an incomplete AVQ file behind, nor destroy the
// previous output of the same name when it fails or is killed half-way:
// the output is written through a temporary file in the target's directory
// and renamed over it once complete, or in place where that cannot be done
// (standard output, devices, FIFOs, an existing file in a directory that may
// not be written); <avq/output.h> says how.
//
// A conversion that streams its rows into the output (stream.cpp) writes
// only through a temporary file, at known offsets, from more than one
// thread: it opens the output with replacing(), writes with FileWriter,
// which keeps a write error for the caller instead of ending the process,
// and may write a part of the output into a second temporary file beside the
// first, appended at the end. The header may be replaced once all is
// written.
//
// Errors end the process with status 1:
//   "Can't open output file NAME: reason"  when the output cannot be opened;
//   "Error writing file NAME: reason"      when a write, the close or the
//                                          rename fails; the temporary file
//                                          is removed first.
#pragma once

#include <avq/output.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

using avq::copy_range;
using avq::FileWriter;
using avq::OUTPUT_BUFFER;
using avq::special_output_name;

class OutputFile {
  public:
    // Opens the output `name` for writing, or ends the process.
    explicit OutputFile(const char* name);
    // Opens the output `name` through a temporary file, or returns null,
    // having written nothing and said nothing, when it would be written in
    // place or cannot be opened.
    static std::unique_ptr<OutputFile> replacing(const char* name);

    // Appends bytes to the output.
    void write(const void* data, std::size_t n) {
        file_->write(data, n);
        check();
    }
    // Returns room for at least `n` bytes at the end of the buffered output;
    // the caller fills a part of it and passes the end to commit().
    char* reserve(std::size_t n) {
        char* room = file_->buffer().reserve(n);
        check();
        return room;
    }
    void commit(char* end) { file_->buffer().commit(end); }

    // Writes what is buffered, closes the file and, for a temporary file,
    // renames it over the target. Ends the process on any error.
    void finish();

    // For an output opened by replacing(), with nothing buffered: see
    // <avq/output.h>.
    int descriptor() const { return file_->descriptor(); }
    int make_part() { return file_->make_part(); }
    int part_descriptor() const { return file_->part_descriptor(); }
    void remove_part() { file_->remove_part(); }
    int append_part(std::uint64_t offset, std::uint64_t size, std::uint64_t& failed_at) {
        return file_->append_part(offset, size, failed_at);
    }
    int replace_start(std::size_t old_length, const std::string& header, std::uint64_t size,
                      std::uint64_t& failed_at) {
        return file_->replace_start(old_length, header, size, failed_at);
    }
    // Ends the process with "Error writing file NAME: reason", removing the
    // temporary files first.
    [[noreturn]] void fail(int error);

  private:
    explicit OutputFile(std::unique_ptr<avq::OutputFile> file) : file_(std::move(file)) {}
    void check() {
        if (const avq::OutputError e = file_->error()) fail(e.error);
    }

    std::unique_ptr<avq::OutputFile> file_;
};
