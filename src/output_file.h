// Output files of both writers.
//
// A run must never leave an incomplete AVQ file behind, nor destroy the
// previous output of the same name when it fails or is killed half-way. So
// when the target is a regular file (or a symbolic link to one) or does not
// exist yet, the data go to a temporary file in the target's directory, which
// is renamed over the target only once everything has been written and
// closed; an existing target's permission bits are kept, a new file gets
// 0666 less the umask. Anything else (a device such as /dev/null or
// /dev/full, a FIFO, /dev/stdout) is written in place.
//
// A run stopped by SIGINT, SIGTERM, SIGHUP or SIGPIPE while a temporary file
// is open removes it before it ends.
//
// Errors end the process with status 1:
//   "Can't open output file NAME: reason"  when the output cannot be opened;
//   "Error writing file NAME: reason"      when a write, the close or the
//                                          rename fails; the temporary file
//                                          is removed first.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class OutputFile {
  public:
    // Opens the output `name` for writing, or ends the process.
    explicit OutputFile(const char* name);
    // Removes the temporary file of an output that was never finished.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Appends bytes to the output.
    void write(const void* data, std::size_t n);
    // Returns room for at least `n` bytes at the end of the buffered output;
    // the caller fills a part of it and passes the end to commit().
    char* reserve(std::size_t n);
    void commit(char* end) { used_ = static_cast<std::size_t>(end - buffer_.get()); }

    // Writes what is buffered, closes the file and, for a temporary file,
    // renames it over the target. Ends the process on any error.
    void finish();

  private:
    void flush();
    [[noreturn]] void fail(int error);

    std::string name_;   // the name as given, for messages
    std::string target_; // the file that is replaced (a symbolic link resolved)
    std::string temp_;   // the temporary file, empty when writing in place
    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t used_ = 0;
};
