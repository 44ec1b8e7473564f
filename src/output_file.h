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
// removes it before it ends, and so does a run that ends with an error.
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

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Whether the output name stands for standard output or a special file of
// the system ("-", /dev/..., /proc/..., or a link to one): such outputs are
// written in place and never compared with the inputs.
bool special_output_name(const char* name);

// The bytes that OutputFile and FileWriter gather before they write them.
inline constexpr std::size_t OUTPUT_BUFFER = std::size_t{1} << 20;

class OutputFile {
  public:
    // Opens the output `name` for writing, or ends the process.
    explicit OutputFile(const char* name);
    // Opens the output `name` through a temporary file, or returns null,
    // having written nothing and said nothing, when it would be written in
    // place or cannot be opened.
    static std::unique_ptr<OutputFile> replacing(const char* name);
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

    // For an output opened by replacing(), with nothing buffered:
    int descriptor() const { return fd_; }
    // A second temporary file beside the first, or -1; it is removed when
    // the output is (or by remove_part).
    int make_part();
    int part_descriptor() const { return part_fd_; }
    void remove_part();
    // Appends the first `size` bytes of the part to the output at `offset`
    // and removes the part. Returns 0, or the errno value of a failure and,
    // in `failed_at`, the output's offset where it happened.
    int append_part(std::uint64_t offset, std::uint64_t size, std::uint64_t& failed_at);
    // Replaces the first `old_length` bytes of the output, of `size` bytes,
    // by `header`. Returns 0, or the errno value of a failure and, in
    // `failed_at`, the offset in the new output where it happened.
    int replace_start(std::size_t old_length, const std::string& header, std::uint64_t size,
                      std::uint64_t& failed_at);
    // Ends the process with "Error writing file NAME: reason", removing the
    // temporary files first.
    [[noreturn]] void fail(int error);

  private:
    OutputFile() = default;
    bool find_target(struct stat& st, bool& exists);
    void take_mode(const struct stat* existing);
    int new_temp(std::string& path, bool& made) const;
    bool open_temp(const struct stat* existing);
    void open_in_place(const std::string& path, int flags);
    void flush();

    std::string name_;   // the name as given, for messages
    std::string target_; // the file that is replaced (a symbolic link resolved)
    std::string temp_;   // the temporary file, empty when writing in place
    std::string part_;   // the second temporary file, when there is one
    int part_fd_ = -1;
    mode_t mode_ = 0;    // the permission bits the temporary files get
    bool owner_ = false; // and the owner they get, when it is another
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t used_ = 0;
};

// Writes bytes into an open file from a given offset on, through a buffer
// of OUTPUT_BUFFER bytes (pwrite, so that several writers can fill one file
// at different places). A write error is kept: what follows it is dropped,
// and the caller reports it when it is its turn.
class FileWriter {
  public:
    FileWriter(int fd, std::uint64_t offset);
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    char* reserve(std::size_t n);
    void commit(char* end) { used_ = static_cast<std::size_t>(end - buffer_.get()); }
    void write(const void* data, std::size_t n);
    void flush();

    // The offset after the last byte given to the writer.
    std::uint64_t end() const { return offset_ + used_; }
    // The errno value of the first write that failed (0 for none), and the
    // file offset of the first byte it could not write.
    int error() const { return error_; }
    std::uint64_t error_offset() const { return error_offset_; }

  private:
    int fd_;
    std::uint64_t offset_; // where the buffered bytes go
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    int error_ = 0;
    std::uint64_t error_offset_ = 0;
};

// Copies `size` bytes of the file `from` at `from_offset` to the file `to`
// at `to_offset`, in the kernel where it can. Returns 0, or the errno value
// of a failure and, in `failed_at`, the offset in `to` where it happened.
int copy_range(int from, std::uint64_t from_offset, int to, std::uint64_t to_offset,
               std::uint64_t size, std::uint64_t& failed_at);
