// Output files of both writers: see output_file.h.
#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fatal.h"

namespace {

constexpr std::size_t BUFFER_SIZE = std::size_t{1} << 20; // written in chunks of 1 MiB

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

} // namespace

OutputFile::OutputFile(const char* name)
    : name_(name), target_(name), buffer_(new char[BUFFER_SIZE]), capacity_(BUFFER_SIZE) {
    struct stat st {};
    const bool exists = ::stat(name, &st) == 0;
    const int stat_error = errno;

    if (exists && S_ISREG(st.st_mode)) {
        // Replacing a file that may not be written must fail as writing into
        // it would.
        if (::faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) != 0) {
            fatal("Can't open output file %s: %s\n", name, std::strerror(errno));
        }
        // Through a symbolic link the file it points to is replaced, not the
        // link.
        struct stat lst {};
        if (::lstat(name, &lst) == 0 && S_ISLNK(lst.st_mode)) {
            char resolved[PATH_MAX];
            if (::realpath(name, resolved) == nullptr) {
                fatal("Can't open output file %s: %s\n", name, std::strerror(errno));
            }
            target_ = resolved;
        }
    }

    if ((exists && S_ISREG(st.st_mode)) || (!exists && stat_error == ENOENT)) {
        std::string tmpl = directory_of(target_) + "/.velkor-XXXXXX";
        fd_ = ::mkstemp(tmpl.data());
        if (fd_ < 0) fatal("Can't open output file %s: %s\n", name, std::strerror(errno));
        temp_ = tmpl;
        mode_t mode = 0;
        if (exists) {
            mode = st.st_mode & 07777;
            // Keep the owner and group where the system lets us; a file
            // owned by someone else is still replaced.
            if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) &&
                ::fchown(fd_, st.st_uid, st.st_gid) != 0 &&
                ::fchown(fd_, static_cast<uid_t>(-1), st.st_gid) != 0) {
                // Best effort only: the file then belongs to this user.
            }
        } else {
            const mode_t mask = ::umask(0);
            ::umask(mask);
            mode = 0666 & ~mask;
        }
        if (::fchmod(fd_, mode) != 0) fail(errno);
        return;
    }

    // Devices, FIFOs, terminals: written in place. A missing directory and
    // similar faults come back from open with their reason.
    fd_ = ::open(name, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd_ < 0) fatal("Can't open output file %s: %s\n", name, std::strerror(errno));
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

void OutputFile::fail(int error) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
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
    }
}
