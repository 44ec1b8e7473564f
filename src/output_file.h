// Output files of both writers.
//
// A run must never leave an incomplete AVQ file behind, nor destroy the
// previous output of the same name when it fails or is killed half-way. So
// when the target is a regular file or does not exist yet, the data go to a
// temporary file in the target's directory, which is renamed over the target
// only once everything has been written and closed; an existing target's
// permission bits are kept, a new file gets 0666 less the umask. A symbolic
// link is followed, even when what it points to does not exist yet: the
// file is made where it points, and the link stays.
//
// Two cases are written in place instead (truncated and written, as a plain
// program would): an existing file that may be written in a directory that
// may not (no temporary file can be made beside it), and anything that is
// not a regular file (a device such as /dev/null or /dev/full, a FIFO,
// /dev/stdout, and "-", which names standard output).
//
// A run stopped by SIGINT, SIGTERM or SIGHUP while a temporary file is open
// removes it before it ends.
//
// Errors end the process with status 1:
//   "Can't open output file NAME: reason"  when the output cannot be opened;
//   "Error writing file NAME: reason"      when a write, the close or the
//                                          rename fails; the temporary file
//                                          is removed first.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <memory>
#include <string>

// Whether the output name stands for standard output or a special file of
// the system ("-", /dev/..., /proc/..., or a link to one): such outputs are
// written in place and never compared with the inputs.
bool special_output_name(const char* name);

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
    bool open_temp(const struct stat* existing);
    void open_in_place(const std::string& path, int flags);
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
