// logfile: the invocation log, one line per run appended to a text file.
//
// A line is the local date and time ("%x %X" in the LC_TIME locale of the
// environment), then every argument after one space. An argument that holds
// a space, a comma or an asterisk is set in double quotes, with a backslash
// before each double quote and backslash inside them; for "--name=value" only
// the value is quoted. Other arguments go out unchanged.
//
// Runs in the same directory share the log and take no lock. Each line is
// therefore built whole in memory and appended with a single write to a file
// opened in append mode, so that lines of runs that end at the same moment
// never interleave. A log that cannot be opened, or a line that cannot be
// written whole, costs one message on standard error and nothing else.
#include <fcntl.h>
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
    return ::open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
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

    std::size_t length = std::strlen(stamp) + 1; // the stamp and the line feed
    for (int i = 0; i < argc; ++i)
        length += entry_length(entry_at(argv, i));

    char* line = static_cast<char*>(alloc(length));
    if (line == nullptr) {
        // Without memory for the line there is no entry to write.
        std::fputs("No logfile entry\n", stderr);
        return;
    }
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
        written = write_all(fd, line, static_cast<std::size_t>(out - line));
        written = ::close(fd) == 0 && written;
    }
    if (!written) std::fputs("No logfile entry\n", stderr);
    std::free(line);
}

} // namespace argutil_internal

void flogfile(const char* name, int argc, const char* const* argv) {
    argutil_internal::flogfile_hooked(name, argc, argv, argutil_internal::log_hooks{});
}

void logfile(int argc, const char* const* argv) {
    flogfile("logfile", argc, argv);
}
