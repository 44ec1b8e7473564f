// Benchmark data generator: writes one group of realistic station data in
// each of the three input layouts.
//
//   gen DIR ROWS
//
// DIR/four.txt                 time and three values (four columns)
// DIR/ch1.txt ch2.txt ch3.txt  time and value of one channel each
// DIR/time.txt                 the times alone
// DIR/v1.txt v2.txt v3.txt     the values of one channel each
//
// Times run from 1700000000.00 upward in steps of 0.01 s (100 Hz); values
// carry 6 to 8 significant digits, as digitisers write them. The files hold
// no comment lines, so that the limit kernel and the straightforward reader
// can read them too.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace {

struct Out {
    std::FILE* f;
    std::string buf;
    explicit Out(const std::string& name) : f(std::fopen(name.c_str(), "w")) {
        if (f == nullptr) {
            std::perror(name.c_str());
            std::exit(1);
        }
    }
    void flush_if_big() {
        if (buf.size() > (1u << 20)) flush();
    }
    void flush() {
        if (std::fwrite(buf.data(), 1, buf.size(), f) != buf.size()) {
            std::perror("write");
            std::exit(1);
        }
        buf.clear();
    }
    ~Out() {
        flush();
        std::fclose(f);
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: gen DIR ROWS\n");
        return 2;
    }
    const std::string dir = argv[1];
    const long rows = std::atol(argv[2]);
    Out four(dir + "/four.txt");
    Out two[3] = {Out(dir + "/ch1.txt"), Out(dir + "/ch2.txt"), Out(dir + "/ch3.txt")};
    Out time(dir + "/time.txt");
    Out one[3] = {Out(dir + "/v1.txt"), Out(dir + "/v2.txt"), Out(dir + "/v3.txt")};

    std::mt19937_64 rng(20240601);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::uniform_int_distribution<int> digits(6, 8);
    std::uniform_int_distribution<int> decade(-2, 3);
    char t[32];
    char v[3][32];
    for (long i = 0; i < rows; ++i) {
        const std::int64_t hundredths = INT64_C(170000000000) + i;
        std::snprintf(t, sizeof t, "%" PRId64 ".%02d", hundredths / 100,
                      static_cast<int>(hundredths % 100));
        for (int c = 0; c < 3; ++c) {
            // A slow swell plus noise, at magnitudes from 0.01 to 1000.
            const double x = std::sin(i * 1e-4 * (c + 1)) * 0.5 + noise(rng) * 0.5;
            const double value = x * std::pow(10.0, decade(rng));
            std::snprintf(v[c], sizeof v[c], "%.*g", digits(rng), value);
        }
        four.buf += t;
        for (int c = 0; c < 3; ++c) {
            four.buf += ' ';
            four.buf += v[c];
        }
        four.buf += '\n';
        for (int c = 0; c < 3; ++c) {
            two[c].buf += t;
            two[c].buf += '\t';
            two[c].buf += v[c];
            two[c].buf += '\n';
            one[c].buf += v[c];
            one[c].buf += '\n';
        }
        time.buf += t;
        time.buf += '\n';
        if ((i & 1023) == 0) {
            for (Out* o : {&four, &two[0], &two[1], &two[2], &time, &one[0], &one[1], &one[2]}) {
                o->flush_if_big();
            }
        }
    }
    return 0;
}
