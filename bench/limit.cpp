// The limit kernel: the least work any reader of these inputs must do.
// Reads each whole file into memory, finds line ends with memchr, converts
// every number with std::from_chars and stores the rows in a table of
// 48-byte rows. No comment handling, no checks beyond a failed conversion.
//
//   limit -4 FOUR | limit -2 CH1 CH2 CH3 | limit -1 TIME V1 V2 V3
//
// Prints the row count and a checksum, so that nothing is optimised away.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "rows.h"

using namespace bench;

namespace {

[[noreturn]] void bad(const char* what) {
    std::fprintf(stderr, "limit: bad line in %s\n", what);
    std::exit(1);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: limit -4 FILE | -2 F1 F2 F3 | -1 TIME F1 F2 F3\n");
        return 2;
    }
    const std::string mode = argv[1];
    std::vector<Text> files;
    for (int i = 2; i < argc; ++i)
        files.emplace_back(argv[i]);

    std::vector<Row> rows;
    rows.reserve(655360);
    const char* first;
    const char* last;
    for (;;) {
        Row row{};
        if (mode == "-4") {
            if (!files[0].line(first, last)) break;
            const char* p = first;
            if (!number(p, last, row.ch[0].time)) bad(argv[2]);
            for (int c = 0; c < 3; ++c) {
                if (!number(p, last, row.ch[c].data)) bad(argv[2]);
            }
        } else if (mode == "-2") {
            bool done = false;
            for (int c = 0; c < 3 && !done; ++c) {
                if (!files[c].line(first, last)) {
                    done = true;
                    break;
                }
                const char* p = first;
                if (!number(p, last, row.ch[c].time) || !number(p, last, row.ch[c].data)) {
                    bad(argv[2 + c]);
                }
            }
            if (done) break;
        } else {
            if (!files[0].line(first, last)) break;
            double t;
            const char* p = first;
            if (!number(p, last, t)) bad(argv[2]);
            bool done = false;
            for (int c = 0; c < 3; ++c) {
                if (!files[c + 1].line(first, last)) {
                    done = true;
                    break;
                }
                p = first;
                row.ch[c].time = t;
                if (!number(p, last, row.ch[c].data)) bad(argv[3 + c]);
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
