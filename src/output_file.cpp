// Output files of both writers: see output_file.h.
#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fatal.h"
#include "velkor.h"

namespace {

constexpr std::size_t BUFFER_SIZE = std::size_t{1} << 20; // written in chunks of 1 MiB

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
// (and truncate) when the descriptor is a regular file, and the progress
// lines on standard output would then overwrite the data.
int named_descriptor(const std::string& n) {
    if (names_standard_stream(n.c_str()) || n == "/dev/stdout") return 1;
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

// The temporary file being written, for the signal handler below: a run
// stopped by SIGINT, SIGTERM or SIGHUP removes it before it ends. (SIGKILL
// cannot be caught; the previous output survives that too, only a stray
// ".velkor-" file is left. SIGPIPE is ignored for the whole run.)
char pending_temp[PATH_MAX + 1];
constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void remove_pending_temp(int sig) {
    if (pending_temp[0] != '\0') ::unlink(pending_temp);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void watch_temp(const std::string& temp) {
    if (temp.size() > PATH_MAX) return;
    std::memcpy(pending_temp, temp.c_str(), temp.size() + 1);
    for (int sig : CLEANUP_SIGNALS) {
        struct sigaction old {};
        ::sigaction(sig, nullptr, &old);
        if (old.sa_handler == SIG_IGN) continue; // keep what the caller chose
        struct sigaction sa {};
        sa.sa_handler = remove_pending_temp;
        sigemptyset(&sa.sa_mask);
        ::sigaction(sig, &sa, nullptr);
    }
}

void unwatch_temp() {
    for (int sig : CLEANUP_SIGNALS) {
        struct sigaction old {};
        ::sigaction(sig, nullptr, &old);
        if (old.sa_handler == remove_pending_temp) std::signal(sig, SIG_DFL);
    }
    pending_temp[0] = '\0';
}

} // namespace

bool special_output_name(const char* name) {
    return names_standard_stream(name) || special_name(name);
}

OutputFile::OutputFile(const char* name)
    : name_(name), target_(name), buffer_(new char[BUFFER_SIZE]), capacity_(BUFFER_SIZE) {
    // Progress lines already printed come before the data when both go to
    // the same place.
    std::fflush(stdout);
    if (const int fd = named_descriptor(name_); fd >= 0) {
        fd_ = ::dup(fd);
        if (fd_ < 0) fatal("Can't open output file %s: %s\n", name, std::strerror(errno));
        return;
    }
    if (special_name(name)) {
        open_in_place(name_, O_CREAT);
        return;
    }
    target_ = link_destination(name_);
    struct stat st {};
    const bool exists = ::stat(target_.c_str(), &st) == 0;
    if (exists ? !S_ISREG(st.st_mode) : errno != ENOENT) {
        // Devices, FIFOs, terminals; a path that cannot be looked at comes
        // back from open with its reason.
        open_in_place(name_, O_CREAT);
        return;
    }
    // Replacing a file that may not be written must fail as writing into it
    // would.
    if (exists && ::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) {
        fatal("Can't open output file %s: %s\n", name, std::strerror(errno));
    }
    if (!open_temp(exists ? &st : nullptr)) {
        // The directory may not be written but the file may: it is
        // rewritten in place.
        open_in_place(target_, 0);
    }
}

void OutputFile::open_in_place(const std::string& path, int flags) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_TRUNC | flags, 0666);
    if (fd_ < 0) fatal("Can't open output file %s: %s\n", name_.c_str(), std::strerror(errno));
}

// Makes the temporary file beside the target, with the permission bits (and,
// where the system lets us, the owner) of the file it replaces. Returns false
// when an existing target's directory may not be written.
bool OutputFile::open_temp(const struct stat* existing) {
    std::string tmpl = directory_of(target_) + "/.velkor-XXXXXX";
    fd_ = ::mkstemp(tmpl.data());
    if (fd_ < 0) {
        if (existing != nullptr && (errno == EACCES || errno == EPERM)) return false;
        fatal("Can't open output file %s: %s\n", name_.c_str(), std::strerror(errno));
    }
    temp_ = tmpl;
    watch_temp(temp_);
    mode_t mode = 0;
    if (existing != nullptr) {
        mode = existing->st_mode & 07777;
        if ((existing->st_uid != ::geteuid() || existing->st_gid != ::getegid()) &&
            ::fchown(fd_, existing->st_uid, existing->st_gid) != 0 &&
            ::fchown(fd_, static_cast<uid_t>(-1), existing->st_gid) != 0) {
            // Best effort only: the file then belongs to this user.
        }
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(fd_, mode) != 0) fail(errno);
    return true;
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
    unwatch_temp();
}

void OutputFile::fail(int error) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
    unwatch_temp();
    fatal("Error writing file %s: %s\n", name_.c_str(), std::strerror(error));
}

void OutputFile::flush() {
    const char* p = buffer_.get();
    std::size_t left = used_;
    while (left > 0) {
        const ssize_t n = ::write(fd_, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        if (n == 0) fail(ENOSPC);
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    used_ = 0;
}

char* OutputFile::reserve(std::size_t n) {
    if (capacity_ - used_ < n) {
        flush();
        if (capacity_ < n) {
            buffer_.reset(new char[n]);
            capacity_ = n;
        }
    }
    return buffer_.get() + used_;
}

void OutputFile::write(const void* data, std::size_t n) {
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

void OutputFile::finish() {
    flush();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail(errno);
    if (!temp_.empty()) {
        if (::rename(temp_.c_str(), target_.c_str()) != 0) fail(errno);
        temp_.clear();
        unwatch_temp();
    }
}
