// Block line reader: see line_reader.h.
#include "line_reader.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "numscan.h"

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

// The characters fgets reads at most into a 256-byte buffer.
constexpr std::size_t FGETS_PIECE = 255;

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

} // namespace

LineReader::LineReader(std::FILE* file, std::size_t block)
    : file_(file), cap_(std::max<std::size_t>(block, 1)), buf_(new char[cap_ + 1 + SIMD_PAD]()),
      pos_(buf_.get()), end_(buf_.get()), line_(held_.c_str()) {}

LineReader::LineReader(int fd, std::uint64_t offset, std::size_t block)
    : LineReader(nullptr, block) {
    fd_ = fd;
    offset_ = offset;
}

LineReader::Status LineReader::next() {
    // The byte after the current line is put back for the search; a failed
    // read puts the zero back, since the current line stays readable.
    if (term_ != nullptr) *term_ = saved_;
    for (;;) {
        const char* nl = find_line_feed(pos_, end_);
        if (nl != nullptr) return hand_out(static_cast<std::size_t>(nl - pos_) + 1);
        if (more_) {
            refill();
            continue;
        }
        if (error_ != 0) {
            // fgets fails on a read error even when it has read part of a
            // line; the part is lost.
            if (term_ != nullptr) *term_ = '\0';
            return READ_ERROR;
        }
        // The line ran into the end of the file. fgets with a 256-byte
        // buffer stops after 255 characters without looking further, so it
        // notices the end of the file only with its next read when the last
        // line is exactly that long; the flag follows it there too.
        const std::size_t len = static_cast<std::size_t>(end_ - pos_) + long_.size();
        if (len == 0) {
            at_end_ = true;
            if (term_ != nullptr) *term_ = '\0';
            return END_OF_FILE;
        }
        at_end_ = len != FGETS_PIECE;
        return hand_out(static_cast<std::size_t>(end_ - pos_));
    }
}

LineReader::Status LineReader::hand_out(std::size_t len) {
    if (long_.empty()) {
        line_ = pos_;
        line_len_ = len;
        term_ = pos_ + len;
        saved_ = *term_;
        *term_ = '\0';
    } else {
        // The rest of a line longer than the block: it joins its start.
        long_.append(pos_, len);
        held_.swap(long_);
        long_.clear();
        line_ = held_.c_str();
        line_len_ = held_.size();
        term_ = nullptr;
    }
    pos_ += len;
    return LINE_READ;
}

void LineReader::refill() {
    // The caller may still look at the current line if this refill finds
    // nothing more, so a line in the block (handed out by next() or taken)
    // moves out of the way of the new bytes.
    if (line_ != held_.c_str()) {
        held_.assign(line_, line_len_);
        line_ = held_.c_str();
        term_ = nullptr;
    }
    std::size_t avail = static_cast<std::size_t>(end_ - pos_);
    if (avail == cap_) {
        // A whole block without a line feed: the start of a long line.
        long_.append(pos_, avail);
        avail = 0;
    }
    std::memmove(buf_.get(), pos_, avail);
    pos_ = buf_.get();
    end_ = pos_ + avail;
    const std::size_t want = cap_ - avail;
    const std::size_t got = read_more(end_, want);
    end_ += got;
    if (got < want) more_ = false;
}

// Reads up to `want` bytes; fewer only at the end of the file or on a read
// error, which is kept in error_.
std::size_t LineReader::read_more(char* to, std::size_t want) {
    errno = 0;
    if (fd_ < 0) {
        std::size_t got = std::fread(to, 1, want, file_);
        // An interrupted read is no error: it is made again.
        while (got < want && std::ferror(file_) && errno == EINTR) {
            std::clearerr(file_);
            errno = 0;
            got += std::fread(to + got, 1, want - got, file_);
        }
        if (got < want && std::ferror(file_)) error_ = errno != 0 ? errno : EIO;
        return got;
    }
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n = ::pread(fd_, to + got, want - got, static_cast<off_t>(offset_));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error_ = errno;
            break;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
        offset_ += static_cast<std::uint64_t>(n);
    }
    return got;
}

std::string_view LineReader::peek(bool& whole) {
    if (pos_ == end_ && more_ && long_.empty()) refill();
    whole = !more_ && error_ == 0 && long_.empty();
    return {pos_, static_cast<std::size_t>(end_ - pos_)};
}

namespace {

// The line feeds in [p, end); `sure` tells whether every line that begins
// in it after a line feed (before `end`) begins with a sure row byte. When
// it does not, the count is not needed and stops early.
std::size_t count_lines_checking_starts(const char* p, const char* end, bool& sure) {
    std::size_t n = 0;
    bool bad = false;
#if VELKOR_SSE2
    // Each line feed subtracts -1 from its byte lane; 255 rounds at most
    // before the lanes are summed, so that no lane overflows. The bytes
    // after them are the same lanes of the 16 bytes loaded one byte further
    // on, which must all be sure row bytes. The last group is left to the
    // loop below, so that no byte at or past `end` is looked at.
    const __m128i nl = _mm_set1_epi8('\n');
    const __m128i least = _mm_set1_epi8(static_cast<char>(SURE_ROW_BYTE));
    const __m128i zero = _mm_setzero_si128();
    while (end - p > 16 && !bad) {
        const std::size_t rounds =
            std::min<std::size_t>(static_cast<std::size_t>(end - p - 1) / 16, 255);
        __m128i acc = zero;
        __m128i unsure = zero;
        for (std::size_t i = 0; i < rounds; ++i, p += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
            const __m128i feeds = _mm_cmpeq_epi8(v, nl);
            acc = _mm_sub_epi8(acc, feeds);
            // A lane of `after` at or above the least sure byte equals its
            // maximum with it.
            const __m128i sure_after = _mm_cmpeq_epi8(_mm_max_epu8(after, least), after);
            unsure = _mm_or_si128(unsure, _mm_andnot_si128(sure_after, feeds));
        }
        const __m128i sums = _mm_sad_epu8(acc, zero);
        n += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
        bad = _mm_movemask_epi8(unsure) != 0;
    }
#endif
    // The byte at p, if it follows a line feed, has been looked at already.
    for (bool after_feed = false; p < end && !bad; ++p) {
        bad = after_feed && !sure_row_byte(*p);
        after_feed = *p == '\n';
        n += after_feed ? 1 : 0;
    }
    sure = !bad;
    return n;
}

// The state of a scan for row lines across chunks of a file.
struct LineScan {
    std::uint64_t count;     // row lines to pass
    std::uint64_t lines = 0; // lines ended so far
    std::uint64_t rows = 0;  // of them, row lines
    // The line under way: nothing of it seen yet, only white space, or
    // known to be a row line or not.
    enum class State { start, blank, row, other } state = State::start;

    bool decided() const { return state == State::row || state == State::other; }

    // Looks at the line under way from `p` on until it is known what it is.
    void decide(const char* p, const char* end) {
        for (; p < end && !decided(); ++p) {
            const char c = *p;
            if (c == '\n') return; // a blank line
            if (state == State::start && c == '!') {
                state = State::other;
            } else if (is_space(c)) {
                state = State::blank;
            } else {
                state = c == '#' ? State::other : State::row;
            }
        }
    }

    // Goes through [p, end), which lies in the chunk at `chunk`, byte
    // `offset` of the file, line by line. Returns true, with `at` set, when
    // the count is reached.
    bool lines_in(const char* p, const char* end, const char* chunk, std::uint64_t offset,
                  LinePosition& at) {
        while (p < end) {
            decide(p, end);
            const char* nl = find_line_feed(p, end);
            if (nl == nullptr) return false;
            ++lines;
            const bool row = state == State::row;
            state = State::start;
            p = nl + 1;
            if (row && ++rows == count) {
                at = {offset + static_cast<std::uint64_t>(p - chunk), lines};
                return true;
            }
        }
        return false;
    }

    // The same for a chunk in which every line is known to be a row line
    // at a glance, when the count is not reached in it: line feeds are only
    // counted. Returns false when the chunk needs lines_in().
    bool skim(const char* p, const char* end) {
        if (state == State::blank || (state == State::start && !sure_row_byte(*p))) return false;
        bool sure = false;
        const std::size_t feeds = count_lines_checking_starts(p, end, sure);
        if (!sure) return false;
        // Only the line under way, begun in an earlier chunk, may be no row.
        const bool first_row = state != State::other;
        const std::uint64_t ended_rows = feeds == 0 ? 0 : feeds - (first_row ? 0 : 1);
        if (rows + ended_rows >= count) return false;
        lines += feeds;
        rows += ended_rows;
        if (end[-1] == '\n') {
            state = State::start;
        } else if (feeds > 0 || first_row) {
            state = State::row;
        }
        return true;
    }
};

bool begins_with_bom(const char* p, const char* end) {
    return end - p >= 3 && p[0] == '\xEF' && p[1] == '\xBB' && p[2] == '\xBF';
}

} // namespace

bool find_line_end(int fd, std::uint64_t count, LinePosition& at, const std::atomic<bool>& stop) {
    if (count == 0) {
        at = {};
        return true;
    }
    constexpr std::size_t CHUNK = std::size_t{1} << 20;
    const std::unique_ptr<char[]> chunk(new (std::nothrow) char[CHUNK + SIMD_PAD]());
    if (chunk == nullptr) return false;
    LineScan scan{count};
    std::uint64_t offset = 0;
    while (!stop.load(std::memory_order_relaxed)) {
        const ssize_t got = pread(fd, chunk.get(), CHUNK, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) {
            // A last line without a line feed is a line too.
            if (scan.state != LineScan::State::row || scan.rows + 1 != count) return false;
            at = {offset, scan.lines + 1};
            return true;
        }
        const char* p = chunk.get();
        const char* end = p + got;
        if (offset == 0 && begins_with_bom(p, end)) p += 3;
        if (p < end && !scan.skim(p, end)) {
            if (scan.lines_in(p, end, chunk.get(), offset, at)) return true;
        }
        offset += static_cast<std::uint64_t>(got);
    }
    return false;
}
