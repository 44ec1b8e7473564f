// Writing an output file so that a failure never leaves half a file behind
// (libavq, <avq/output.h>). velkor writes its AVQ files through it and
// avqdump its pictures; any program may.
//
// Where the output may be replaced, it is: the data go to a temporary file
// ".velkor-XXXXXX" in the target's directory, which is renamed over the
// target only once everything has been written and closed, so that whoever
// looks at the target finds the previous file or the whole new one. That is
// the case for a regular file and for a name that does not exist yet. An
// existing target's permission bits are kept (and its owner and group, where
// the system lets the program set them); a new file gets 0666 less the
// umask. A symbolic link is followed, even when what it points to does not
// exist yet: the file is made where it points, and the link stays.
//
// Written in place instead (truncated and written, as a plain program
// would):
//   - "-" (standard output), /dev/stdout, /dev/stderr, /dev/fd/N and
//     /proc/self/fd/N, through a duplicate of the descriptor, so that the
//     data follow what the program has written there already;
//   - other names under /dev/ and /proc/, or links to them, and anything
//     that is not a regular file (a device such as /dev/null, a FIFO);
//   - an existing file that may be written in a directory that may not (no
//     temporary file can be made beside it).
// Before a write to standard output, stdio's buffer of stdout is flushed, so
// that what the program printed comes first.
//
// Temporary files are removed when their OutputFile is destroyed unfinished,
// when the process exits (exit, or a return from main), and when a signal
// whose default action ends the process arrives (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT, SIGXFSZ, SIGALRM, ...): the handler removes them and the signal
// then takes its default action. Handlers are set only while a temporary
// file exists, and only for signals whose disposition is the default one, so
// that a handler or SIG_IGN the program chose stays. Only SIGKILL can leave
// a ".velkor-" file behind. A program that ignores SIGXFSZ gets a write past
// the file size limit back as the error EFBIG instead of being ended by it.
// Opening, finishing and destroying outputs must happen on one thread, which
// holds signals back while it makes a temporary file; the bytes may be
// written from any (an OutputBuffer each, at its own offsets). A program
// that runs other threads while it opens an output should have them block
// the signals above, or a signal taken by one of them at that moment may
// leave the new file behind.
//
// A Spool holds data that must wait before they go to an output written in
// place (an AVQ file's blocks, until its header is settled): a temporary
// file in TMPDIR without a name, which nothing can leave behind.
//
// Errors are returned as values: an OutputError says which step failed
// (opening the output, or writing, closing or renaming it) and the errno
// value that says why. An output that failed to be written has had its
// temporary files removed and leaves any earlier file of its name as it was.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace avq {

// The step of an output that failed.
enum class OutputStep {
    none,  // nothing failed
    open,  // the output (or its temporary file) could not be made or opened
    write, // a write, the close or the rename failed
};

struct OutputError {
    OutputStep step = OutputStep::none;
    int error = 0; // the errno value
    explicit operator bool() const { return step != OutputStep::none; }
};

// The bytes that an OutputBuffer gathers before it writes them.
inline constexpr std::size_t OUTPUT_BUFFER = std::size_t{1} << 20;

// Gathers bytes for an open file and writes them in large pieces: at the
// file's position (write), or from a given offset on (pwrite, so that
// several buffers can fill one file at different places at once). The file
// is not owned. The first write error is kept; what follows it is dropped,
// and the owner reports it when it is its turn. Writes resume after a short
// write or an interruption (EINTR). The buffer's memory is allocated by the
// constructor and grows for a reservation larger than it (std::bad_alloc
// when there is none).
class OutputBuffer {
  public:
    // Writes at the position of `fd`.
    explicit OutputBuffer(int fd);
    // Writes to `fd` from `offset` on.
    OutputBuffer(int fd, std::uint64_t offset);
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;

    // Room for at least `n` bytes at the end of the gathered bytes (writing
    // out what is gathered first when it must); the caller fills a part of it
    // and passes the end to commit().
    char* reserve(std::size_t n);
    void commit(char* end) { used_ = static_cast<std::size_t>(end - buffer_.get()); }
    void write(const void* data, std::size_t n);
    // Writes out what is gathered. False once a write has failed.
    bool flush();

    // The offset after the last byte given to the buffer (with pwrite), or
    // the number of bytes given (at the file's position).
    std::uint64_t end() const { return offset_ + used_; }
    // The errno value of the first write that failed (0 for none), and the
    // offset (as end() counts) of the first byte it could not write.
    int error() const { return error_; }
    std::uint64_t error_offset() const { return error_offset_; }

  private:
    int fd_;
    bool at_position_;
    std::uint64_t offset_; // where the gathered bytes go
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_;
    std::size_t used_ = 0;
    int error_ = 0;
    std::uint64_t error_offset_ = 0;
};

// Whether the output name stands for standard output or a special file of
// the system ("-", /dev/..., /proc/..., or a link to one): such outputs are
// written in place.
bool special_output_name(const char* name);

// Whether writing `name` would write to a terminal: "-" or a name of a
// descriptor (above) that is one, or a terminal device.
bool output_is_terminal(const char* name);

class OutputFile {
  public:
    // Opens the output `name` for writing, through a temporary file where
    // it may be replaced. Null, with `error` set, when that fails.
    static std::unique_ptr<OutputFile> open(const char* name, OutputError& error);
    // Opens the output `name` through a temporary file, or returns null,
    // having written nothing and set nothing, when it would be written in
    // place or cannot be opened.
    static std::unique_ptr<OutputFile> replacing(const char* name);
    // Removes the temporary files of an output that was never finished.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // The name as given.
    const std::string& name() const { return name_; }

    // The buffer that writes the output in order (allocated on first use).
    // After a write has failed, what follows is dropped and error() tells
    // the failure.
    OutputBuffer& buffer();
    // Appends bytes to the output; false once a write has failed.
    bool write(const void* data, std::size_t n);
    // The first write that failed, or none.
    OutputError error() const;

    // Writes what is buffered, closes the file and, for a temporary file,
    // renames it over the target. On an error the temporary files are
    // removed first.
    OutputError finish();
    // Gives the output up: closes it and removes the temporary files.
    void abandon();

    // For an output opened by replacing(), with nothing buffered: its
    // descriptor, for writing at known offsets (an OutputBuffer of one's
    // own).
    int descriptor() const { return fd_; }
    // For an output opened by replacing() whose first `old_length` bytes, of
    // `size` written, are a header: puts `header` in their place, moving the
    // bytes after them within the file by the difference in length (from
    // the end backwards when the header grew, from the front forwards and
    // then truncating when it shrank; with `old_length` and `size` 0, it
    // writes the first header). The file needs room for the difference only.
    // Returns 0, or the errno value of a failure and, in `failed_at`, the
    // offset in the new output where it happened.
    int rewrite_start(std::size_t old_length, std::string_view header, std::uint64_t size,
                      std::uint64_t& failed_at);
    // Appends `size` bytes of the file `from` at `offset` to the output,
    // after what the buffer holds: in the kernel where it can
    // (copy_file_range, sendfile), else through a buffer. Returns 0, or the
    // errno value of a failure and, in `failed_at`, the number of bytes the
    // output had been given (buffer().end()) where it happened.
    int append_from(int from, std::uint64_t offset, std::uint64_t size, std::uint64_t& failed_at);

  private:
    OutputFile() = default;
    OutputError open_named(const char* name);
    bool find_target(struct stat& st, bool& exists);
    void take_mode(const struct stat* existing);
    int new_temp(std::string& path, bool& made) const;
    OutputError open_temp(const struct stat* existing, bool& in_place);
    OutputError open_in_place(const std::string& path, int flags);
    OutputError failed(int error);

    std::string name_;   // the name as given
    std::string target_; // the file that is replaced (a symbolic link resolved)
    std::string temp_;   // the temporary file, empty when writing in place
    mode_t mode_ = 0;    // the permission bits the temporary files get
    bool owner_ = false; // and the owner they get, when it is another
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    int fd_ = -1;
    std::unique_ptr<OutputBuffer> buffer_;
    OutputError error_; // a failure of the close or the rename
};

// A temporary file for data that must wait (the blocks of an output written
// in place, whose header comes first but is settled last): made in the
// directory that $TMPDIR names (/tmp when it names none) and unlinked at
// once (or made without a name, O_TMPFILE), so that nothing is left of it
// whatever ends the program. Written and read with pwrite and pread.
class Spool {
  public:
    // The directory spools are made in: $TMPDIR, or /tmp when it is unset
    // or empty.
    static std::string directory_for();
    // Null, with the errno value in `error`, when no such file can be made.
    static std::unique_ptr<Spool> make(int& error);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;
    int descriptor() const { return fd_; }
    // The directory it was made in.
    const std::string& directory() const { return directory_; }

  private:
    Spool(int fd, std::string directory) : fd_(fd), directory_(std::move(directory)) {}
    int fd_;
    std::string directory_;
};

} // namespace avq
