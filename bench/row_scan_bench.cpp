// Micro benchmark of the reading of data lines from a block: the usual way
// (LineReader::next, then read_data_line) against the fused row scan
// (scan_plain_row over a block laid out as LineReader holds it, the usual
// way for the lines it leaves), on the files of bench/gen.
//
//   row_scan_bench DIR [LINES [ROUNDS]]
// reads the first LINES lines (default 1000000) of DIR/four.txt, ch1.txt,
// time.txt and v1.txt into memory and times ROUNDS passes (default 11) of
// each way over each file, the ways alternating, and prints the median
// nanoseconds per line and the ratio of the scan to the usual way. Both
// ways take their bytes from the file in memory through the C library's
// stream (fmemopen) in blocks of LineReader::BLOCK bytes, so that both pay
// the same copy.
//
// Timing on a busy machine is noisy; instruction counts are not:
//   row_scan_bench --passes N METHOD FILE   (METHOD: usual, scan, next)
// runs N passes of one way over the file's lines in a function of its own
// ("next" splits the lines with LineReader::next and reads no number), for
//   valgrind --tool=callgrind --toggle-collect='*run_row_passes*' row_scan_bench ...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "data_line.h"
#include "line_reader.h"
#include "numscan.h"

namespace {

// A file of bench/gen: its name, the numbers of a line, and whether the
// first is a time.
struct Layout {
    const char* file;
    int count;
    bool time;
};

const Layout LAYOUTS[] = {
    {"four.txt", 4, true},
    {"ch1.txt", 2, true},
    {"time.txt", 1, true},
    {"v1.txt", 1, false},
};

struct Text {
    std::string bytes;
    long lines = 0;
};

// The first `lines` lines of the file at `path`.
Text load(const std::string& path, long lines) {
    Text t;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    char buf[4096];
    while (t.lines < lines && std::fgets(buf, sizeof buf, f) != nullptr) {
        t.bytes += buf;
        ++t.lines;
    }
    std::fclose(f);
    return t;
}

std::FILE* open_memory(const Text& t) {
    std::FILE* f = fmemopen(const_cast<char*>(t.bytes.data()), t.bytes.size(), "r");
    if (f == nullptr) {
        std::perror("fmemopen");
        std::exit(1);
    }
    return f;
}

// The sum of the numbers read, so that the work cannot be left out, and
// the lines read whole.
struct Sum {
    double value = 0;
    long lines = 0;
};

// The usual way: LineReader::next, then read_data_line without options.
Sum by_usual(const Text& t, const Layout& l) {
    std::FILE* f = open_memory(t);
    LineReader reader(f);
    const ReadOptions plain;
    LineWork work;
    DataLine d;
    Sum s;
    double v[4] = {};
    while (reader.next() == LineReader::LINE_READ) {
        if (read_data_line(reader.line(), v, l.count, l.time, plain, d, work) == l.count) {
            s.value += v[0] + v[l.count - 1];
            ++s.lines;
        }
    }
    std::fclose(f);
    return s;
}

// The lines alone: LineReader::next, no number read.
Sum by_next(const Text& t, const Layout&) {
    std::FILE* f = open_memory(t);
    LineReader reader(f);
    Sum s;
    while (reader.next() == LineReader::LINE_READ) {
        s.value += static_cast<double>(reader.length());
        ++s.lines;
    }
    std::fclose(f);
    return s;
}

// The fused scan over a block filled as LineReader fills its own (the
// unread rest moved to the front, the block topped up from the stream), a
// zero byte after the data and ROW_SCAN_PAD bytes after it. A line the scan
// leaves is cut at its line feed and read the usual way; a line that runs
// into the end of the block is read once the block holds it whole. (Lines
// longer than a block, which LineReader gathers apart, do not occur here.)
Sum by_scan(const Text& t, const Layout& l) {
    constexpr std::size_t BLOCK = LineReader::BLOCK;
    std::FILE* f = open_memory(t);
    const std::unique_ptr<char[]> buf(new char[BLOCK + 1 + ROW_SCAN_PAD]());
    char* p = buf.get();
    char* end = p;
    bool more = true;
    const ReadOptions plain;
    LineWork work;
    DataLine d;
    Sum s;
    double v[4] = {};
    for (;;) {
        if (const char* next = scan_plain_row(p, v, l.count, l.time)) [[likely]] {
            s.value += v[0] + v[l.count - 1];
            ++s.lines;
            p = const_cast<char*>(next);
            continue;
        }
        char* nl = static_cast<char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (nl == nullptr && more) {
            const auto rest = static_cast<std::size_t>(end - p);
            std::memmove(buf.get(), p, rest);
            p = buf.get();
            end = p + rest;
            const std::size_t got = std::fread(end, 1, BLOCK - rest, f);
            more = got == BLOCK - rest;
            end += got;
            *end = '\0';
            continue;
        }
        if (p == end) break;
        char* cut = nl != nullptr ? nl + 1 : end;
        const char saved = *cut;
        *cut = '\0';
        if (read_data_line(p, v, l.count, l.time, plain, d, work) == l.count) {
            s.value += v[0] + v[l.count - 1];
            ++s.lines;
        }
        *cut = saved;
        p = cut;
    }
    std::fclose(f);
    return s;
}

using Way = Sum(const Text&, const Layout&);

struct Method {
    const char* name;
    Way* way;
};

const Method METHODS[] = {{"usual", by_usual}, {"scan", by_scan}, {"next", by_next}};
constexpr int WAYS = sizeof METHODS / sizeof METHODS[0];

// N passes of one way; out of line, so that callgrind can count its
// instructions alone.
[[gnu::noinline]] Sum run_row_passes(Way* way, const Text& t, const Layout& l, long passes) {
    Sum total;
    for (long i = 0; i < passes; ++i) {
        const Sum s = way(t, l);
        total.value += s.value;
        total.lines += s.lines;
    }
    return total;
}

double seconds_of(Way* way, const Text& t, const Layout& l, Sum& s) {
    const auto start = std::chrono::steady_clock::now();
    s = way(t, l);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

const Layout& layout_of(const std::string& path) {
    const std::string base = path.substr(path.find_last_of('/') + 1);
    for (const Layout& l : LAYOUTS) {
        if (base == l.file) return l;
    }
    std::fprintf(stderr, "%s: not a file of bench/gen\n", path.c_str());
    std::exit(2);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--passes") == 0) {
        const long passes = std::atol(argv[2]);
        const Method* m = nullptr;
        for (const Method& x : METHODS) {
            if (std::strcmp(x.name, argv[3]) == 0) m = &x;
        }
        if (m == nullptr) return 2;
        const Layout& l = layout_of(argv[4]);
        const Text t = load(argv[4], 1L << 40);
        const Sum s = run_row_passes(m->way, t, l, passes);
        std::printf("%ld lines (%ld read whole), checksum %.17g\n", passes * t.lines, s.lines,
                    s.value);
        return 0;
    }
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: row_scan_bench DIR [LINES [ROUNDS]]\n"
                             "       row_scan_bench --passes N usual|scan|next FILE\n");
        return 2;
    }
    const std::string dir = argv[1];
    const long lines = argc > 2 ? std::atol(argv[2]) : 1000000;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 11;
    std::printf("%-9s %9s %10s %10s %10s %11s\n", "file", "lines", "usual ns", "scan ns", "next ns",
                "scan/usual");
    for (const Layout& l : LAYOUTS) {
        const Text t = load(dir + "/" + l.file, lines);
        std::vector<double> times[WAYS];
        Sum sums[WAYS];
        for (int r = 0; r < rounds; ++r) {
            for (int k = 0; k < WAYS; ++k)
                times[k].push_back(seconds_of(METHODS[k].way, t, l, sums[k]));
        }
        if (sums[0].lines != sums[1].lines || sums[0].value != sums[1].value) {
            std::fprintf(stderr, "%s: the ways differ (%ld lines, %.17g; %ld lines, %.17g)\n",
                         l.file, sums[0].lines, sums[0].value, sums[1].lines, sums[1].value);
            return 1;
        }
        double ns[WAYS];
        for (int k = 0; k < WAYS; ++k)
            ns[k] = median(times[k]) * 1e9 / static_cast<double>(t.lines);
        std::printf("%-9s %9ld %10.2f %10.2f %10.2f %11.3f\n", l.file, t.lines, ns[0], ns[1], ns[2],
                    ns[1] / ns[0]);
    }
    return 0;
}
