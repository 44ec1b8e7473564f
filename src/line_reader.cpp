// Block line reader: see line_reader.h for what it reproduces.
#include "line_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::uint64_t ones = 0x0101010101010101u;
constexpr std::uint64_t highs = 0x8080808080808080u;
constexpr std::uint64_t lows = 0x7f7f7f7f7f7f7f7fu;

// One bit (the high bit) per byte of `w` that equals `c`, exactly (no false
// matches from carries between bytes).
inline std::uint64_t byte_matches(std::uint64_t w, unsigned char c) {
    const std::uint64_t x = w ^ (ones * c);
    return ~(((x & lows) + lows) | x) & highs;
}

inline std::uint64_t load8(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// The first line feed in [p, limit), or nullptr. Eight bytes at a time on
// little-endian machines, where the lowest match bit is the first byte.
inline const char* find_line_feed(const char* p, const char* limit) {
    if constexpr (std::endian::native == std::endian::little) {
        for (; limit - p >= 8; p += 8) {
            const std::uint64_t m = byte_matches(load8(p), '\n');
            if (m != 0) return p + (std::countr_zero(m) >> 3);
        }
    }
    for (; p < limit; ++p) {
        if (*p == '\n') return p;
    }
    return nullptr;
}

std::size_t count_line_feeds(const char* p, const char* limit) {
    std::size_t n = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; limit - p >= 8; p += 8)
            n += std::popcount(byte_matches(load8(p), '\n'));
    }
    for (; p < limit; ++p)
        n += *p == '\n';
    return n;
}

} // namespace

LineReader::LineReader(std::FILE* file, std::size_t block)
    : file_(file), cap_(std::max(block, PIECE)), buf_(new char[cap_ + 1]()), pos_(buf_.get()),
      end_(buf_.get()), line_(spare_) {}

LineReader::Status LineReader::next() {
    // The byte after the current piece is put back for the search; a failed
    // read puts the zero back, since the current piece stays readable.
    if (term_ != nullptr) *term_ = saved_;
    for (;;) {
        const std::size_t avail = static_cast<std::size_t>(end_ - pos_);
        const char* nl = find_line_feed(pos_, pos_ + std::min(avail, PIECE));
        std::size_t len;
        if (nl != nullptr) {
            len = static_cast<std::size_t>(nl - pos_) + 1;
        } else if (avail >= PIECE) {
            len = PIECE;
        } else if (more_) {
            refill();
            continue;
        } else if (error_ != 0) {
            // fgets fails on a read error even when it has read part of a
            // piece; the part is lost.
            if (term_ != nullptr) *term_ = '\0';
            return READ_ERROR;
        } else {
            // The piece ran into the end of the file.
            at_end_ = true;
            if (avail == 0) {
                if (term_ != nullptr) *term_ = '\0';
                return END_OF_FILE;
            }
            len = avail;
        }
        line_ = pos_;
        line_len_ = len;
        term_ = pos_ + len;
        saved_ = *term_;
        *term_ = '\0';
        pos_ += len;
        return PIECE_READ;
    }
}

void LineReader::refill() {
    // The caller may still look at the current piece if this refill finds
    // nothing more, so it moves out of the way of the new bytes.
    if (line_ != spare_) {
        std::memcpy(spare_, line_, line_len_);
        spare_[line_len_] = '\0';
        line_ = spare_;
    }
    term_ = nullptr;
    const std::size_t avail = static_cast<std::size_t>(end_ - pos_);
    std::memmove(buf_.get(), pos_, avail);
    pos_ = buf_.get();
    end_ = pos_ + avail;
    const std::size_t want = cap_ - avail;
    errno = 0;
    const std::size_t got = std::fread(end_, 1, want, file_);
    end_ += got;
    if (got < want) {
        more_ = false;
        if (std::ferror(file_)) error_ = errno != 0 ? errno : EIO;
    }
}

std::size_t LineReader::piece_bound() {
    struct stat st {};
    const int fd = fileno(file_);
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t line_feeds = 0;
    std::uint64_t offset = 0;
    while (offset < size) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(cap_, size - offset));
        const ssize_t got = pread(fd, buf_.get(), want, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return 0;
        if (got == 0) break; // the file shrank: the bound still holds
        line_feeds += count_line_feeds(buf_.get(), buf_.get() + got);
        offset += static_cast<std::uint64_t>(got);
    }
    // A line of L bytes (its line feed included) is ceil(L / 255) pieces,
    // at most 1 + (L - 1) / 255; summed over the lines (the last one maybe
    // without a line feed) that is at most lines + size / 255.
    const std::uint64_t bound = line_feeds + 1 + size / PIECE;
    return static_cast<std::size_t>(bound);
}
