// Output files written through a temporary file and renamed: see
// <avq/output.h>.
#include <avq/output.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace avq {

namespace {

bool is_dash(const char* name) {
    return name[0] == '-' && name[1] == '\0';
}

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool starts_with(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// Names of the system's special files (/dev/stdout, /dev/fd/N, /proc/...)
// stand for open files or devices even where they lead to a regular file:
// they are always written in place.
bool special_name(const char* name) {
    const std::string n = name;
    if (starts_with(n, "/dev/") || starts_with(n, "/proc/")) return true;
    char link[PATH_MAX];
    const ssize_t len = ::readlink(name, link, sizeof link - 1);
    if (len <= 0) return false;
    link[len] = '\0';
    return starts_with(link, "/dev/") || starts_with(link, "/proc/");
}

// The descriptor that "-", /dev/stdout, /dev/stderr, /dev/fd/N or
// /proc/self/fd/N names, or -1. Such an output is written through a
// duplicate of the descriptor: opening the name anew would start at offset 0
// (and truncate) when the descriptor is a regular file, and what the program
// printed on standard output would then be overwritten by the data.
int named_descriptor(const std::string& n) {
    if (is_dash(n.c_str()) || n == "/dev/stdout") return 1;
    if (n == "/dev/stderr") return 2;
    for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        if (!starts_with(n, prefix)) continue;
        const std::string digits = n.substr(std::strlen(prefix));
        if (digits.empty() || digits.size() > 9 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return -1;
        }
        return std::atoi(digits.c_str());
    }
    return -1;
}

// Where the symbolic link `name` leads, through a chain of links, up to the
// first path that is not a link; that path need not exist. `name` itself
// when it is no link. A chain that loops is given up after MAX_HOPS links,
// and opening what is left then fails with its reason.
std::string link_destination(const std::string& name) {
    constexpr int MAX_HOPS = 40;
    std::string path = name;
    for (int hops = 0; hops < MAX_HOPS; ++hops) {
        struct stat lst {};
        if (::lstat(path.c_str(), &lst) != 0 || !S_ISLNK(lst.st_mode)) break;
        char link[PATH_MAX];
        const ssize_t len = ::readlink(path.c_str(), link, sizeof link - 1);
        if (len <= 0) break;
        link[len] = '\0';
        // A relative link is resolved from the directory that holds it.
        path = link[0] == '/' ? std::string(link) : directory_of(path) + "/" + link;
    }
    return path;
}

// ---------------------------------------------------------------------------
// Temporary files removed on exit and on signals
// ---------------------------------------------------------------------------

// The temporary files being written, for the handlers below. Slots are
// taken and given back on one thread; a handler only reads them. A
// temporary file beyond the slots is removed by its owner only.
constexpr int MAX_PENDING = 8;
char pending_temp[MAX_PENDING][PATH_MAX + 1];

// Calls f(sig) for every signal whose default action ends the process and
// that can be caught.
template <class F> void for_each_ending_signal(F f) {
    static constexpr int listed[] = {
        SIGHUP,    SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
        SIGFPE,    SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
        SIGXCPU,   SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGPOLL
        SIGPOLL,
#endif
#ifdef SIGPWR
        SIGPWR,
#endif
#ifdef SIGSTKFLT
        SIGSTKFLT,
#endif
    };
    for (const int sig : listed)
        f(sig);
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        f(sig);
#endif
}

extern "C" void remove_pending_temps() {
    for (char* path : pending_temp) {
        if (path[0] != '\0') ::unlink(path);
    }
}

// Removes the temporary files, then lets the signal take its default action.
extern "C" void remove_pending_temps_on(int sig) {
    remove_pending_temps();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

bool any_pending() {
    for (const char* path : pending_temp) {
        if (path[0] != '\0') return true;
    }
    return false;
}

void watch_temp(const std::string& temp) {
    if (temp.size() > PATH_MAX) return;
    static const bool at_exit = std::atexit(remove_pending_temps) == 0;
    (void)at_exit;
    const bool first = !any_pending();
    for (char* path : pending_temp) {
        if (path[0] != '\0') continue;
        std::memcpy(path, temp.c_str(), temp.size() + 1);
        break;
    }
    if (!first) return;
    for_each_ending_signal([](int sig) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) return;
        struct sigaction sa {};
        sa.sa_handler = remove_pending_temps_on;
        sigemptyset(&sa.sa_mask);
        ::sigaction(sig, &sa, nullptr);
    });
}

void unwatch_temp(const std::string& temp) {
    for (char* path : pending_temp) {
        if (temp == path) path[0] = '\0';
    }
    if (any_pending()) return;
    for_each_ending_signal([](int sig) {
        struct sigaction old {};
        ::sigaction(sig, nullptr, &old);
        if (old.sa_handler == remove_pending_temps_on) std::signal(sig, SIG_DFL);
    });
}

// Removes the temporary file `path` (if any) and forgets it.
void drop_temp(std::string& path) {
    if (path.empty()) return;
    ::unlink(path.c_str());
    unwatch_temp(path);
    path.clear();
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

// Writes the `n` bytes at `p` to `fd`, with pwrite from `offset` on, or at
// the file's position when `offset` is negative, resuming after a short
// write or an interruption. Returns 0, or the errno value of the write that
// failed (ENOSPC for one that wrote nothing); `done` counts the bytes
// written.
int write_fully(int fd, const char* p, std::size_t n, off_t offset, std::size_t& done) {
    for (done = 0; done < n;) {
        const ssize_t w = offset < 0
                              ? ::write(fd, p + done, n - done)
                              : ::pwrite(fd, p + done, n - done, offset + static_cast<off_t>(done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return w < 0 ? errno : ENOSPC;
        done += static_cast<std::size_t>(w);
    }
    return 0;
}

// Reads `n` bytes of `fd` at `offset` into `p`, resuming after a short read
// or an interruption. Returns 0, or the errno value of the read that failed
// (EIO for a file that ends before them).
int read_fully(int fd, char* p, std::size_t n, off_t offset) {
    for (std::size_t done = 0; done < n;) {
        const ssize_t r = ::pread(fd, p + done, n - done, offset + static_cast<off_t>(done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return r < 0 ? errno : EIO;
        done += static_cast<std::size_t>(r);
    }
    return 0;
}

// Moves `n` bytes of the file `fd` from offset `from` to offset `to`, in
// pieces of OUTPUT_BUFFER bytes taken from the end backwards when they move
// up (so that no piece overwrites bytes not moved yet) and from the front
// forwards when they move down. Returns 0, or the errno value of a failure
// and, in `failed_at`, the offset it was to be written at.
int move_within(int fd, std::uint64_t from, std::uint64_t to, std::uint64_t n,
                std::uint64_t& failed_at) {
    if (n == 0) return 0;
    const std::unique_ptr<char[]> buffer(new (std::nothrow) char[OUTPUT_BUFFER]);
    if (buffer == nullptr) return ENOMEM;
    for (std::uint64_t moved = 0; moved < n;) {
        const auto piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(OUTPUT_BUFFER, n - moved));
        const std::uint64_t at = to > from ? n - moved - piece : moved;
        std::size_t done = 0;
        int e = read_fully(fd, buffer.get(), piece, static_cast<off_t>(from + at));
        if (e == 0) e = write_fully(fd, buffer.get(), piece, static_cast<off_t>(to + at), done);
        if (e != 0) {
            failed_at = to + at + done;
            return e;
        }
        moved += piece;
    }
    return 0;
}

// Whether copy_file_range cannot copy between these files (other file
// systems, no such call, a pipe or device, an output opened for appending).
bool not_in_kernel(int error) {
    return error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP ||
           error == EBADF;
}

// Copies `size` bytes of `from` at `offset` to `to` at its position, in the
// kernel where it can, else through a buffer; every step resumes after an
// interruption. Returns 0, or the errno value of the failure, with `done`
// counting the bytes copied.
int copy_to_position(int from, std::uint64_t offset, int to, std::uint64_t size,
                     std::uint64_t& done) {
    enum class Way { kernel_copy, send, buffer } way = Way::kernel_copy;
    std::unique_ptr<char[]> buffer;
    auto in = static_cast<off_t>(offset);
    for (done = 0; done < size;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, 1u << 30));
        ssize_t n = -1;
        if (way == Way::kernel_copy) {
            n = ::copy_file_range(from, &in, to, nullptr, want, 0);
            if (n < 0 && not_in_kernel(errno)) {
                way = Way::send;
                continue;
            }
        } else if (way == Way::send) {
            n = ::sendfile(to, from, &in, want);
            if (n < 0 && (errno == EINVAL || errno == ENOSYS)) {
                way = Way::buffer;
                continue;
            }
        } else {
            if (buffer == nullptr) buffer.reset(new (std::nothrow) char[OUTPUT_BUFFER]);
            if (buffer == nullptr) return ENOMEM;
            const std::size_t piece = std::min(want, OUTPUT_BUFFER);
            std::size_t written = 0;
            int e = read_fully(from, buffer.get(), piece, in);
            if (e == 0) e = write_fully(to, buffer.get(), piece, -1, written);
            done += written;
            if (e != 0) return e;
            in += static_cast<off_t>(piece);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO; // the source is shorter than it was written
        done += static_cast<std::uint64_t>(n);
    }
    return 0;
}

} // namespace

bool special_output_name(const char* name) {
    return is_dash(name) || special_name(name);
}

bool output_is_terminal(const char* name) {
    if (const int fd = named_descriptor(name); fd >= 0) return ::isatty(fd) == 1;
    struct stat st {};
    if (::stat(name, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    // Only an open device can say whether it is a terminal.
    const int fd = ::open(name, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool terminal = ::isatty(fd) == 1;
    ::close(fd);
    return terminal;
}

std::unique_ptr<OutputFile> OutputFile::open(const char* name, OutputError& error) {
    std::unique_ptr<OutputFile> out(new OutputFile());
    error = out->open_named(name);
    if (error) return nullptr;
    return out;
}

OutputError OutputFile::open_named(const char* name) {
    name_ = target_ = name;
    // What the program printed comes before the data when both go to the
    // same place.
    std::fflush(stdout);
    if (const int fd = named_descriptor(name_); fd >= 0) {
        fd_ = ::dup(fd);
        if (fd_ < 0) return {OutputStep::open, errno};
        return {};
    }
    if (special_name(name)) return open_in_place(name_, O_CREAT);
    struct stat st {};
    bool exists = false;
    if (!find_target(st, exists)) {
        // Devices, FIFOs, terminals; a path that cannot be looked at comes
        // back from open with its reason.
        return open_in_place(name_, O_CREAT);
    }
    bool in_place = false;
    const OutputError error = open_temp(exists ? &st : nullptr, in_place);
    // The directory may not be written but the file may: it is rewritten in
    // place.
    if (in_place) return open_in_place(target_, 0);
    return error;
}

// Resolves the target of the name (not a special one) and looks at it.
// Returns true when it may be replaced through a temporary file: a regular
// file (`exists`, its status in `st`) or nothing yet.
bool OutputFile::find_target(struct stat& st, bool& exists) {
    target_ = link_destination(name_);
    exists = ::stat(target_.c_str(), &st) == 0;
    return exists ? S_ISREG(st.st_mode) : errno == ENOENT;
}

OutputError OutputFile::open_in_place(const std::string& path, int flags) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_TRUNC | flags, 0666);
    if (fd_ < 0) return {OutputStep::open, errno};
    return {};
}

// The permission bits (and, where the system lets us, the owner) that the
// temporary files get: those of the file they replace, or 0666 less the
// umask for a new one.
void OutputFile::take_mode(const struct stat* existing) {
    if (existing != nullptr) {
        mode_ = existing->st_mode & 07777;
        owner_ = existing->st_uid != ::geteuid() || existing->st_gid != ::getegid();
        uid_ = existing->st_uid;
        gid_ = existing->st_gid;
        return;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode_ = 0666 & ~mask;
}

// Makes a temporary file beside the target with those bits. Returns its
// descriptor and name, or -1 with errno set; `made` tells whether the file
// had been made (and is removed again) when setting its bits failed.
int OutputFile::new_temp(std::string& path, bool& made) const {
    std::string tmpl = directory_of(target_) + "/.velkor-XXXXXX";
    made = false;
    // A signal between the making of the file and its registration would
    // leave it behind: signals wait on this thread until it is registered.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &before);
    const int fd = ::mkstemp(tmpl.data());
    const int mkstemp_error = errno;
    if (fd >= 0) {
        path = tmpl;
        watch_temp(path);
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (fd < 0) {
        errno = mkstemp_error;
        return -1;
    }
    made = true;
    if (owner_ && ::fchown(fd, uid_, gid_) != 0 &&
        ::fchown(fd, static_cast<uid_t>(-1), gid_) != 0) {
        // Best effort only: the file then belongs to this user.
    }
    if (::fchmod(fd, mode_) != 0) {
        const int error = errno;
        ::close(fd);
        drop_temp(path);
        errno = error;
        return -1;
    }
    return fd;
}

// Makes the temporary file that replaces the target; fails when an existing
// target may not be written. Sets `in_place`, and returns no error, when an
// existing target's directory may not be written.
OutputError OutputFile::open_temp(const struct stat* existing, bool& in_place) {
    // Replacing a file that may not be written must fail as writing into it
    // would.
    if (existing != nullptr && ::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) {
        return {OutputStep::open, errno};
    }
    take_mode(existing);
    bool made = false;
    fd_ = new_temp(temp_, made);
    if (fd_ >= 0) return {};
    const int error = errno;
    if (made) return failed(error);
    if (existing != nullptr && (error == EACCES || error == EPERM)) {
        in_place = true;
        return {};
    }
    return {OutputStep::open, error};
}

std::unique_ptr<OutputFile> OutputFile::replacing(const char* name) {
    if (special_output_name(name)) return nullptr;
    std::unique_ptr<OutputFile> out(new OutputFile());
    out->name_ = name;
    struct stat st {};
    bool exists = false;
    bool in_place = false;
    if (!out->find_target(st, exists) || out->open_temp(exists ? &st : nullptr, in_place) ||
        in_place) {
        return nullptr;
    }
    // What the program printed comes before the data when both go to the
    // same place.
    std::fflush(stdout);
    return out;
}

int OutputFile::rewrite_start(std::size_t old_length, std::string_view header, std::uint64_t size,
                              std::uint64_t& failed_at) {
    const std::uint64_t rest = size - old_length;
    failed_at = 0;
    int error = 0;
    if (header.size() != old_length) {
        error = move_within(fd_, old_length, header.size(), rest, failed_at);
        if (error == 0 && header.size() < old_length &&
            ::ftruncate(fd_, static_cast<off_t>(header.size() + rest)) != 0) {
            error = errno;
            failed_at = header.size() + rest;
        }
    }
    std::size_t done = 0;
    if (error == 0) error = write_fully(fd_, header.data(), header.size(), 0, done);
    if (error != 0 && failed_at == 0) failed_at = done;
    return error;
}

int OutputFile::append_from(int from, std::uint64_t offset, std::uint64_t size,
                            std::uint64_t& failed_at) {
    OutputBuffer& out = buffer();
    int error = 0;
    std::uint64_t done = 0;
    if (!out.flush()) {
        error = out.error();
        failed_at = out.error_offset();
    } else {
        error = copy_to_position(from, offset, fd_, size, done);
        failed_at = out.end() + done;
    }
    if (error != 0) failed(error);
    return error;
}

std::string Spool::directory_for() {
    const char* tmpdir = std::getenv("TMPDIR");
    return tmpdir != nullptr && tmpdir[0] != '\0' ? tmpdir : "/tmp";
}

std::unique_ptr<Spool> Spool::make(int& error) {
    const std::string dir = directory_for();
#ifdef O_TMPFILE
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return std::unique_ptr<Spool>(new Spool(fd, dir));
        // Where the file system cannot make a file without a name, one is
        // made with a name and unlinked at once.
#endif
    std::string path = dir + "/velkor-spool-XXXXXX";
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &before);
    const int named = ::mkostemp(path.data(), O_CLOEXEC);
    error = errno;
    if (named >= 0) ::unlink(path.c_str());
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (named < 0) return nullptr;
    return std::unique_ptr<Spool>(new Spool(named, dir));
}

Spool::~Spool() {
    ::close(fd_);
}

OutputFile::~OutputFile() {
    abandon();
}

void OutputFile::abandon() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    drop_temp(temp_);
}

// Gives the output up after the failure `error` of a write, the close or
// the rename.
OutputError OutputFile::failed(int error) {
    abandon();
    error_ = {OutputStep::write, error};
    return error_;
}

OutputBuffer& OutputFile::buffer() {
    if (buffer_ == nullptr) buffer_ = std::make_unique<OutputBuffer>(fd_);
    return *buffer_;
}

bool OutputFile::write(const void* data, std::size_t n) {
    buffer().write(data, n);
    return buffer_->error() == 0;
}

OutputError OutputFile::error() const {
    if (error_) return error_;
    if (buffer_ != nullptr && buffer_->error() != 0) return {OutputStep::write, buffer_->error()};
    return {};
}

OutputError OutputFile::finish() {
    if (buffer_ != nullptr && !buffer_->flush()) return failed(buffer_->error());
    if (error_) return error_;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return failed(errno);
    if (!temp_.empty()) {
        if (::rename(temp_.c_str(), target_.c_str()) != 0) return failed(errno);
        unwatch_temp(temp_);
        temp_.clear();
    }
    return {};
}

OutputBuffer::OutputBuffer(int fd)
    : fd_(fd), at_position_(true), offset_(0), buffer_(new char[OUTPUT_BUFFER]),
      capacity_(OUTPUT_BUFFER) {}

OutputBuffer::OutputBuffer(int fd, std::uint64_t offset)
    : fd_(fd), at_position_(false), offset_(offset), buffer_(new char[OUTPUT_BUFFER]),
      capacity_(OUTPUT_BUFFER) {}

bool OutputBuffer::flush() {
    if (error_ == 0) {
        std::size_t done = 0;
        const off_t at = at_position_ ? -1 : static_cast<off_t>(offset_);
        error_ = write_fully(fd_, buffer_.get(), used_, at, done);
        if (error_ != 0) error_offset_ = offset_ + done;
    }
    offset_ += used_; // bytes dropped after an error still count in end()
    used_ = 0;
    return error_ == 0;
}

char* OutputBuffer::reserve(std::size_t n) {
    if (capacity_ - used_ < n) {
        flush();
        if (capacity_ < n) {
            buffer_.reset(new char[n]);
            capacity_ = n;
        }
    }
    return buffer_.get() + used_;
}

void OutputBuffer::write(const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        if (used_ == capacity_) flush();
        const std::size_t chunk = std::min(n, capacity_ - used_);
        std::memcpy(buffer_.get() + used_, p, chunk);
        used_ += chunk;
        p += chunk;
        n -= chunk;
    }
}

} // namespace avq
