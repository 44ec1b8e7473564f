// The straightforward reader: fgets into a 256-byte buffer and sscanf per
// line, storing the rows in the same table of 48-byte rows as the limit
// kernel. This is how such a converter is usually first written.
//
//   naive -4 FOUR | naive -2 CH1 CH2 CH3 | naive -1 TIME V1 V2 V3
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "rows.h"

using bench::Row;

namespace {

[[noreturn]] void bad(const char* what) {
    std::fprintf(stderr, "naive: bad line in %s\n", what);
    std::exit(1);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: naive -4 FILE | -2 F1 F2 F3 | -1 TIME F1 F2 F3\n");
        return 2;
    }
    const std::string mode = argv[1];
    std::vector<std::FILE*> files;
    for (int i = 2; i < argc; ++i) {
        std::FILE* f = std::fopen(argv[i], "r");
        if (f == nullptr) {
            std::perror(argv[i]);
            return 1;
        }
        files.push_back(f);
    }

    std::vector<Row> rows;
    rows.reserve(655360);
    char line[256];
    for (;;) {
        Row row{};
        if (mode == "-4") {
            if (std::fgets(line, sizeof line, files[0]) == nullptr) break;
            if (std::sscanf(line, "%lf %lf %lf %lf", &row.ch[0].time, &row.ch[0].data,
                            &row.ch[1].data, &row.ch[2].data) != 4) {
                bad(argv[2]);
            }
        } else if (mode == "-2") {
            bool done = false;
            for (int c = 0; c < 3; ++c) {
                if (std::fgets(line, sizeof line, files[c]) == nullptr) {
                    done = true;
                    break;
                }
                if (std::sscanf(line, "%lf %lf", &row.ch[c].time, &row.ch[c].data) != 2) {
                    bad(argv[2 + c]);
                }
            }
            if (done) break;
        } else {
            if (std::fgets(line, sizeof line, files[0]) == nullptr) break;
            double t;
            if (std::sscanf(line, "%lf", &t) != 1) bad(argv[2]);
            bool done = false;
            for (int c = 0; c < 3; ++c) {
                if (std::fgets(line, sizeof line, files[c + 1]) == nullptr) {
                    done = true;
                    break;
                }
                row.ch[c].time = t;
                if (std::sscanf(line, "%lf", &row.ch[c].data) != 1) bad(argv[3 + c]);
            }
            if (done) break;
        }
        rows.push_back(row);
    }
    double sum = 0;
    for (const Row& r : rows)
        sum += r.ch[0].time + r.ch[0].data + r.ch[1].data + r.ch[2].data;
    std::printf("%zu rows, checksum %.17g\n", rows.size(), sum);
    return 0;
}
