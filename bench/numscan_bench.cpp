// Micro benchmark of the number components. Data-line scanning:
// scan_numbers against one sscanf call per line and against a bare
// std::from_chars loop (the limit: it knows the line end and does no checks),
// on realistic lines of the three layouts. Formatting: format_g14 against
// snprintf "%.14g" and std::to_chars with precision 14.
//   numscan_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
// Timing on a busy machine is noisy; instruction counts are not:
//   numscan_bench --passes N METHOD COLUMNS   (METHOD: scan_numbers, sscanf, from_chars)
// runs N passes over the 4096 lines in a function of its own, and
//   numscan_bench --format-passes N METHOD   (METHOD: format_g14, snprintf, to_chars)
// formats the 12288 values of those lines N times, for
//   valgrind --tool=callgrind --toggle-collect='*run_*passes*' numscan_bench ...
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <avq/writer.h>

#include "numscan.h"

using avq::FORMAT_MAX;

namespace {

// Times 1700000000.00 upward in steps of 0.01 s, values with 6 to 8
// significant digits, as recorded data holds them.
struct Lines {
    std::vector<std::string> text;
    std::vector<std::size_t> length;
};

const Lines& lines(int columns) {
    static Lines cache[5];
    Lines& l = cache[columns];
    if (!l.text.empty()) return l;
    std::mt19937_64 rng(42);
    for (int i = 0; i < 4096; ++i) {
        char buf[256];
        int n = 0;
        if (columns != 1) n += std::snprintf(buf, sizeof buf, "%.2f", 1700000000.0 + i * 0.01);
        const int values = columns == 4 ? 3 : 1;
        for (int k = 0; k < values; ++k) {
            const int sig = 6 + static_cast<int>(rng() % 3);
            long long m = static_cast<long long>(rng() % 90000000 + 10000000);
            for (int d = 8; d > sig; --d)
                m /= 10;
            const int decimals = static_cast<int>(rng() % static_cast<unsigned>(sig + 3));
            double v = static_cast<double>(m);
            for (int d = 0; d < decimals; ++d)
                v /= 10;
            if (rng() % 2) v = -v;
            n += std::snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), "%s%.*f",
                               n ? " " : "", decimals, v);
        }
        n += std::snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), "\n");
        l.text.emplace_back(buf);
        l.length.push_back(static_cast<std::size_t>(n));
    }
    return l;
}

// The ways of scanning a data line of `length` bytes into `v`; each returns
// something that depends on the work, for DoNotOptimize.
int by_scan_numbers(const char* line, std::size_t, double* v, int columns) {
    return scan_numbers(line, v, columns);
}

int by_sscanf(const char* line, std::size_t, double* v, int columns) {
    static const char* const formats[] = {"", "%lf", "%lf %lf", "", "%lf %lf %lf %lf"};
    return std::sscanf(line, formats[columns], &v[0], &v[1], &v[2], &v[3]);
}

int by_from_chars(const char* line, std::size_t length, double* v, int columns) {
    const char* p = line;
    const char* end = line + length;
    for (int k = 0; k < columns; ++k) {
        while (*p == ' ')
            ++p;
        p = std::from_chars(p, end, v[k]).ptr;
    }
    return static_cast<int>(p - line);
}

template <auto Scan> void BM_scan(benchmark::State& state) {
    const int columns = static_cast<int>(state.range(0));
    const Lines& l = lines(columns);
    double v[4];
    std::size_t i = 0;
    for (auto _ : state) {
        int r = Scan(l.text[i].c_str(), l.length[i], v, columns);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(v);
        i = (i + 1) & 4095;
    }
    state.SetItemsProcessed(state.iterations());
}

// N passes over the lines with one method; kept out of line so that
// callgrind can count its instructions alone.
template <auto Scan> [[gnu::noinline]] double run_passes(const Lines& l, int columns, long passes) {
    double sum = 0, v[4] = {};
    for (long pass = 0; pass < passes; ++pass) {
        for (std::size_t i = 0; i < l.text.size(); ++i) {
            Scan(l.text[i].c_str(), l.length[i], v, columns);
            sum += v[0] + v[columns - 1];
        }
    }
    return sum;
}

// Values as the ASCII writer meets them: 6 to 8 significant digits.
const std::vector<double>& values() {
    static std::vector<double> v;
    if (v.empty()) {
        const Lines& l = lines(4);
        for (const std::string& line : l.text) {
            double x[4];
            scan_numbers(line.c_str(), x, 4);
            v.insert(v.end(), x + 1, x + 4);
        }
    }
    return v;
}

// The ways of formatting a value with 14 significant digits into `buf` (of
// FORMAT_MAX bytes); each returns the length of the text.
std::size_t by_format_g14(char* buf, double x) {
    return static_cast<std::size_t>(avq::format_g14(buf, x) - buf);
}

std::size_t by_snprintf(char* buf, double x) {
    return static_cast<std::size_t>(std::snprintf(buf, FORMAT_MAX, "%.14g", x));
}

std::size_t by_to_chars(char* buf, double x) {
    return static_cast<std::size_t>(
        std::to_chars(buf, buf + FORMAT_MAX, x, std::chars_format::general, 14).ptr - buf);
}

template <auto Format> void BM_format(benchmark::State& state) {
    const std::vector<double>& v = values();
    char buf[FORMAT_MAX];
    std::size_t i = 0;
    for (auto _ : state) {
        std::size_t n = Format(buf, v[i]);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
        i = i + 1 == v.size() ? 0 : i + 1;
    }
}

// N passes of formatting over the values with one method, likewise.
template <auto Format> [[gnu::noinline]] std::size_t run_format_passes(long passes) {
    const std::vector<double>& v = values();
    char buf[FORMAT_MAX];
    std::size_t total = 0;
    for (long pass = 0; pass < passes; ++pass) {
        for (double x : v)
            total += Format(buf, x);
    }
    return total;
}

// The methods: their names on the command line and as benchmarks, the
// benchmark and the passes for callgrind.
template <class Passes> struct Method {
    const char* name;
    const char* bench;
    void (*benchmark)(benchmark::State&);
    Passes* passes;
};
using ScanMethod = Method<double(const Lines&, int columns, long passes)>;
using FormatMethod = Method<std::size_t(long passes)>;

const ScanMethod SCANS[] = {
    {"scan_numbers", "BM_scan_numbers", BM_scan<by_scan_numbers>, run_passes<by_scan_numbers>},
    {"sscanf", "BM_sscanf", BM_scan<by_sscanf>, run_passes<by_sscanf>},
    {"from_chars", "BM_bare_from_chars", BM_scan<by_from_chars>, run_passes<by_from_chars>},
};
const FormatMethod FORMATS[] = {
    {"format_g14", "BM_format_g14", BM_format<by_format_g14>, run_format_passes<by_format_g14>},
    {"snprintf", "BM_snprintf_g14", BM_format<by_snprintf>, run_format_passes<by_snprintf>},
    {"to_chars", "BM_to_chars_g14", BM_format<by_to_chars>, run_format_passes<by_to_chars>},
};

// The method named `name`; the last one for any other name.
template <class M, std::size_t N> const M& method(const M (&table)[N], const char* name) {
    for (const M& m : table)
        if (std::strcmp(m.name, name) == 0) return m;
    return table[N - 1];
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--format-passes") == 0) {
        const long passes = std::atol(argv[2]);
        const FormatMethod& m = method(FORMATS, argv[3]);
        values();
        std::printf("%ld values, %zu characters\n", passes * static_cast<long>(values().size()),
                    m.passes(passes));
        return 0;
    }
    if (argc == 5 && std::strcmp(argv[1], "--passes") == 0) {
        const long passes = std::atol(argv[2]);
        const ScanMethod& m = method(SCANS, argv[3]);
        const int columns = std::atoi(argv[4]);
        if (columns != 1 && columns != 2 && columns != 4) return 2;
        const Lines& l = lines(columns);
        std::printf("%ld lines, checksum %g\n", passes * static_cast<long>(l.text.size()),
                    m.passes(l, columns, passes));
        return 0;
    }
    for (const FormatMethod& m : FORMATS)
        benchmark::RegisterBenchmark(m.bench, m.benchmark);
    for (const ScanMethod& m : SCANS)
        benchmark::RegisterBenchmark(m.bench, m.benchmark)->Arg(4)->Arg(2)->Arg(1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
