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

#include "numfmt.h"
#include "numscan.h"

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

void BM_scan_numbers(benchmark::State& state) {
    const int columns = static_cast<int>(state.range(0));
    const Lines& l = lines(columns);
    double v[4];
    std::size_t i = 0;
    for (auto _ : state) {
        int r = scan_numbers(l.text[i].c_str(), v, columns);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(v);
        i = (i + 1) & 4095;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_sscanf(benchmark::State& state) {
    const int columns = static_cast<int>(state.range(0));
    const Lines& l = lines(columns);
    static const char* const formats[] = {"", "%lf", "%lf %lf", "", "%lf %lf %lf %lf"};
    double v[4];
    std::size_t i = 0;
    for (auto _ : state) {
        int r = std::sscanf(l.text[i].c_str(), formats[columns], &v[0], &v[1], &v[2], &v[3]);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(v);
        i = (i + 1) & 4095;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_bare_from_chars(benchmark::State& state) {
    const int columns = static_cast<int>(state.range(0));
    const Lines& l = lines(columns);
    double v[4];
    std::size_t i = 0;
    for (auto _ : state) {
        const char* p = l.text[i].c_str();
        const char* end = p + l.length[i];
        for (int k = 0; k < columns; ++k) {
            while (*p == ' ')
                ++p;
            p = std::from_chars(p, end, v[k]).ptr;
        }
        benchmark::DoNotOptimize(p);
        benchmark::DoNotOptimize(v);
        i = (i + 1) & 4095;
    }
    state.SetItemsProcessed(state.iterations());
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

void BM_format_g14(benchmark::State& state) {
    const std::vector<double>& v = values();
    char buf[FORMAT_MAX];
    std::size_t i = 0;
    for (auto _ : state) {
        char* end = format_g14(buf, v[i]);
        benchmark::DoNotOptimize(end);
        benchmark::ClobberMemory();
        i = i + 1 == v.size() ? 0 : i + 1;
    }
}

void BM_snprintf_g14(benchmark::State& state) {
    const std::vector<double>& v = values();
    char buf[FORMAT_MAX];
    std::size_t i = 0;
    for (auto _ : state) {
        int n = std::snprintf(buf, sizeof buf, "%.14g", v[i]);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
        i = i + 1 == v.size() ? 0 : i + 1;
    }
}

void BM_to_chars_g14(benchmark::State& state) {
    const std::vector<double>& v = values();
    char buf[FORMAT_MAX];
    std::size_t i = 0;
    for (auto _ : state) {
        char* end = std::to_chars(buf, buf + sizeof buf, v[i], std::chars_format::general, 14).ptr;
        benchmark::DoNotOptimize(end);
        benchmark::ClobberMemory();
        i = i + 1 == v.size() ? 0 : i + 1;
    }
}

} // namespace

BENCHMARK(BM_format_g14);
BENCHMARK(BM_snprintf_g14);
BENCHMARK(BM_to_chars_g14);
BENCHMARK(BM_scan_numbers)->Arg(4)->Arg(2)->Arg(1);
BENCHMARK(BM_sscanf)->Arg(4)->Arg(2)->Arg(1);
BENCHMARK(BM_bare_from_chars)->Arg(4)->Arg(2)->Arg(1);

// N passes over the lines with one method; kept out of line so that
// callgrind can count its instructions alone.
[[gnu::noinline]] double run_passes(const Lines& l, int method, int columns, long passes) {
    static const char* const formats[] = {"", "%lf", "%lf %lf", "", "%lf %lf %lf %lf"};
    double sum = 0, v[4] = {};
    for (long pass = 0; pass < passes; ++pass) {
        for (std::size_t i = 0; i < l.text.size(); ++i) {
            const char* p = l.text[i].c_str();
            if (method == 0) {
                scan_numbers(p, v, columns);
            } else if (method == 1) {
                std::sscanf(p, formats[columns], &v[0], &v[1], &v[2], &v[3]);
            } else {
                const char* end = p + l.length[i];
                for (int k = 0; k < columns; ++k) {
                    while (*p == ' ')
                        ++p;
                    p = std::from_chars(p, end, v[k]).ptr;
                }
            }
            sum += v[0] + v[columns - 1];
        }
    }
    return sum;
}

// N passes of formatting over the values with one method, likewise.
[[gnu::noinline]] std::size_t run_format_passes(int method, long passes) {
    const std::vector<double>& v = values();
    char buf[FORMAT_MAX];
    std::size_t total = 0;
    for (long pass = 0; pass < passes; ++pass) {
        for (double x : v) {
            if (method == 0) {
                total += static_cast<std::size_t>(format_g14(buf, x) - buf);
            } else if (method == 1) {
                total += static_cast<std::size_t>(std::snprintf(buf, sizeof buf, "%.14g", x));
            } else {
                total += static_cast<std::size_t>(
                    std::to_chars(buf, buf + sizeof buf, x, std::chars_format::general, 14).ptr -
                    buf);
            }
        }
    }
    return total;
}

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--format-passes") == 0) {
        const long passes = std::atol(argv[2]);
        const int method = std::strcmp(argv[3], "format_g14") == 0 ? 0
                           : std::strcmp(argv[3], "snprintf") == 0 ? 1
                                                                   : 2;
        values();
        std::printf("%ld values, %zu characters\n", passes * static_cast<long>(values().size()),
                    run_format_passes(method, passes));
        return 0;
    }
    if (argc == 5 && std::strcmp(argv[1], "--passes") == 0) {
        const long passes = std::atol(argv[2]);
        const int method = std::strcmp(argv[3], "scan_numbers") == 0 ? 0
                           : std::strcmp(argv[3], "sscanf") == 0     ? 1
                                                                     : 2;
        const int columns = std::atoi(argv[4]);
        if (columns != 1 && columns != 2 && columns != 4) return 2;
        const Lines& l = lines(columns);
        std::printf("%ld lines, checksum %g\n", passes * static_cast<long>(l.text.size()),
                    run_passes(l, method, columns, passes));
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
