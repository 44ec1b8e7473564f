// logfile: the invocation log, one line per run appended to a text file.
//
// A line is the local date and time ("%x %X" in the LC_TIME locale of the
// environment), then every argument after one space. An argument that holds
// a space, a comma or an asterisk is set in double quotes, with a backslash
// before each double quote and backslash inside them; for "--name=value" only
// the value is quoted. Other arguments go out unchanged.
//
// Runs in the same directory share the log. Each line is built whole in
// memory and appended with a single write to a file opened in append mode,
// so that lines of runs that end at the same moment never interleave. A log
// that cannot be opened, or a line that cannot be written whole, costs one
// message on standard error and nothing else.
//
// The part of a line that a full disk or a file size limit cut short stays
// without its line feed; the next run that finds the log so begins its line
// with one, so that the cut costs one entry and not the next one too. A line
// that another run is appending at that moment looks the same (the file
// grows a page at a time), so the look at the end and the write are made
// under an exclusive lock of the log (flock), which every run takes. Where
// the lock cannot be had within a second or two (a file system without
// locks), the line is appended without the look, as before.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "argutil.h"
#include "argutil_internal.h"

namespace {

// Arguments holding one of these are written in double quotes.
constexpr const char* QUOTE_CHARS = " ,*";

// Attempts at opening the log, one straight after the other.
constexpr int OPEN_ATTEMPTS = 11;

// The stamp holds at most 29 characters.
constexpr std::size_t STAMP_SIZE = 30;

// Written in place of a stamp that does not fit: the same local time in
// numbers, which always fits.
constexpr const char* FALLBACK_STAMP_FORMAT = "%Y-%m-%d %H:%M:%S";

bool needs_escape(char c) {
    return c == '"' || c == '\\';
}

std::size_t escaped_length(const char* s) {
    std::size_t n = 0;
    for (const char* p = s; *p != '\0'; ++p)
        n += needs_escape(*p) ? 2u : 1u;
    return n;
}

// Copies s with a backslash before each double quote and backslash; returns
// the end of what was written (no zero byte is added).
char* escape_into(char* out, const char* s) {
    for (const char* p = s; *p != '\0'; ++p) {
        if (needs_escape(*p)) *out++ = '\\';
        *out++ = *p;
    }
    return out;
}

// A newly allocated escaped copy of s (empty for a null or empty s), or a
// null pointer when there is no memory. The caller frees it.
char* quote_string(const char* s, void* (*alloc)(std::size_t)) {
    if (s == nullptr) s = "";
    char* copy = static_cast<char*>(alloc(escaped_length(s) + 1));
    if (copy == nullptr) return nullptr;
    *escape_into(copy, s) = '\0';
    return copy;
}

// Writes the escaped text of s at out, through an escaped copy. Without
// memory for the copy the text is escaped in place, so the line comes out the
// same either way.
char* put_quoted_text(char* out, const char* s, void* (*alloc)(std::size_t)) {
    char* copy = quote_string(s, alloc);
    if (copy == nullptr) return escape_into(out, s);
    const std::size_t n = std::strlen(copy);
    std::memcpy(out, copy, n);
    std::free(copy);
    return out + n;
}

// The three forms of an entry: unchanged, "--name=" then the quoted value,
// or quoted whole.
enum class Form { plain, option_value, quoted };

// For option_value, *value is set to the text after the first equals sign.
Form form_of(const char* e, const char** value) {
    if (std::strpbrk(e, QUOTE_CHARS) == nullptr) return Form::plain;
    if (e[0] == '-' && e[1] == '-') {
        const char* eq = std::strchr(e, '=');
        if (eq != nullptr) {
            *value = eq + 1;
            return Form::option_value;
        }
    }
    return Form::quoted;
}

// Length of the entry as written, its leading space included.
std::size_t entry_length(const char* e) {
    const char* value = nullptr;
    switch (form_of(e, &value)) {
    case Form::plain:
        return 1 + std::strlen(e);
    case Form::option_value:
        return 1 + static_cast<std::size_t>(value - e) + 2 + escaped_length(value);
    case Form::quoted:
        break;
    }
    return 1 + 2 + escaped_length(e);
}

char* put_entry(char* out, const char* e, void* (*alloc)(std::size_t)) {
    const char* value = nullptr;
    const Form form = form_of(e, &value);
    *out++ = ' ';
    if (form == Form::plain) {
        const std::size_t n = std::strlen(e);
        std::memcpy(out, e, n);
        return out + n;
    }
    if (form == Form::option_value) {
        // The name and its equals sign go out unchanged, even when the
        // characters that called for quoting stand in the name.
        const std::size_t n = static_cast<std::size_t>(value - e);
        std::memcpy(out, e, n);
        out += n;
        e = value;
    }
    *out++ = '"';
    out = put_quoted_text(out, e, alloc);
    *out++ = '"';
    return out;
}

// The current local time in the stamp's format.
void make_stamp(char (&stamp)[STAMP_SIZE], const char* format) {
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    if (local == nullptr) {
        std::strcpy(stamp, "-");
        return;
    }
    // strftime gives 0 when the text does not fit (the format "%x %X" always
    // gives at least its space, so 0 never means an empty stamp).
    if (std::strftime(stamp, STAMP_SIZE, format, local) == 0 &&
        std::strftime(stamp, STAMP_SIZE, FALLBACK_STAMP_FORMAT, local) == 0) {
        std::strcpy(stamp, "-");
    }
}

int open_for_append(const char* name, void*) {
    // Read access too, to see how the log ends; a log that may only be
    // written is appended to all the same.
    const int fd = ::open(name, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EACCES) return fd;
    return ::open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}

// Takes the lock of the log open at `fd`, waiting a little for other runs
// that hold it (each for one write). Returns false when it cannot be had.
bool lock_log(int fd) {
    constexpr int ATTEMPTS = 2000; // a millisecond apart
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        ::usleep(1000);
    }
    return false;
}

// Whether the log open at `fd` is a file whose last byte is not a line feed:
// the end of a line cut short. A log that cannot be read counts as whole.
bool ends_in_cut_line(int fd) {
    struct stat st {};
    char last = '\n';
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
           ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n';
}

// Writes all of buf, resuming after a short write or an interruption.
// Returns false when it could not (a full disk, a file size limit).
bool write_all(int fd, const char* buf, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, buf, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        buf += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

const char* entry_at(const char* const* argv, int i) {
    return argv[i] != nullptr ? argv[i] : "";
}

} // namespace

namespace argutil_internal {

void flogfile_hooked(const char* name, int argc, const char* const* argv, const log_hooks& hooks) {
    // The stamp is written the way the user's environment writes dates and
    // times; a locale that cannot be set leaves the category as it was.
    std::setlocale(LC_TIME, "");

    void* (*alloc)(std::size_t) = hooks.alloc != nullptr ? hooks.alloc : std::malloc;
    char stamp[STAMP_SIZE];
    make_stamp(stamp, hooks.stamp_format != nullptr ? hooks.stamp_format : "%x %X");

    // A line feed that may end a line cut short, the stamp, the entries and
    // the line feed.
    std::size_t length = 1 + std::strlen(stamp) + 1;
    for (int i = 0; i < argc; ++i)
        length += entry_length(entry_at(argv, i));

    char* buffer = static_cast<char*>(alloc(length));
    if (buffer == nullptr) {
        // Without memory for the line there is no entry to write.
        std::fputs("No logfile entry\n", stderr);
        return;
    }
    buffer[0] = '\n';
    char* line = buffer + 1;
    char* out = line;
    const std::size_t stamp_length = std::strlen(stamp);
    std::memcpy(out, stamp, stamp_length);
    out += stamp_length;
    for (int i = 0; i < argc; ++i)
        out = put_entry(out, entry_at(argv, i), alloc);
    *out++ = '\n';

    int (*open_log)(const char*, void*) =
        hooks.open_log != nullptr ? hooks.open_log : open_for_append;
    int fd = -1;
    for (int attempt = 0; attempt < OPEN_ATTEMPTS && fd < 0; ++attempt) {
        fd = open_log(name, hooks.data);
    }
    // A line that could not be written whole (the disk is full) is no entry
    // either, as the manual promises; the run goes on all the same.
    bool written = false;
    if (fd >= 0) {
        if (lock_log(fd) && ends_in_cut_line(fd)) line = buffer;
        written = write_all(fd, line, static_cast<std::size_t>(out - line));
        written = ::close(fd) == 0 && written;
    }
    if (!written) std::fputs("No logfile entry\n", stderr);
    std::free(buffer);
}

} // namespace argutil_internal

void flogfile(const char* name, int argc, const char* const* argv) {
    argutil_internal::flogfile_hooked(name, argc, argv, argutil_internal::log_hooks{});
}

void logfile(int argc, const char* const* argv) {
    flogfile("logfile", argc, argv);
}
