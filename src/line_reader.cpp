// Block line reader: see line_reader.h for what it reproduces.
#include "line_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && !defined(VELKOR_NO_SIMD)
#include <emmintrin.h>
#define VELKOR_SSE2 1
#else
#define VELKOR_SSE2 0
#endif

namespace {

// Line feeds are searched for 16 bytes at a time with SSE2 where the
// machine has it (every x86-64 does); elsewhere the C library's memchr and a
// plain count serve. The block has SIMD_PAD readable bytes after its end, so
// that the last partial group of 16 can be loaded whole and the bytes beyond
// the end masked off.
constexpr std::size_t SIMD_PAD = 16;

// The first line feed in [p, limit), or nullptr. Bytes up to SIMD_PAD past
// `limit` may be read but are never taken.
inline const char* find_line_feed(const char* p, const char* limit) {
#if VELKOR_SSE2
    const __m128i nl = _mm_set1_epi8('\n');
    for (; p < limit; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl)));
        if (limit - p < 16) m &= (1u << (limit - p)) - 1;
        if (m != 0) return p + std::countr_zero(m);
    }
    return nullptr;
#else
    return static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(limit - p)));
#endif
}

std::size_t count_line_feeds(const char* p, const char* limit) {
    std::size_t n = 0;
#if VELKOR_SSE2
    // Each match subtracts -1 from its byte lane; 255 rounds at most before
    // the lanes are summed, so that no lane overflows.
    const __m128i nl = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    while (limit - p >= 16) {
        const std::size_t rounds = std::min<std::size_t>((limit - p) / 16, 255);
        __m128i acc = zero;
        for (std::size_t i = 0; i < rounds; ++i, p += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            acc = _mm_sub_epi8(acc, _mm_cmpeq_epi8(v, nl));
        }
        const __m128i sums = _mm_sad_epu8(acc, zero);
        n += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
    }
#endif
    for (; p < limit; ++p)
        n += *p == '\n';
    return n;
}

} // namespace

LineReader::LineReader(std::FILE* file, std::size_t block)
    : file_(file), cap_(std::max(block, PIECE)), buf_(new char[cap_ + 1 + SIMD_PAD]()),
      pos_(buf_.get()), end_(buf_.get()), line_(spare_) {}

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
