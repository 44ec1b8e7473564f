// The reference ASCII writer: reads a four-column file as the limit kernel
// does and writes the ASCII AVQ form (a header line, then per block of 512
// rows three lines of minute, second and 512 values) through an
// std::ostream with precision 14, the usual way of writing such a file.
//
//   ostream_writer FOUR OUT
#include <cmath>
#include <cstdio>
#include <fstream>
#include <vector>

#include "rows.h"

using namespace bench;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ostream_writer FOUR OUT\n");
        return 2;
    }
    Text text(argv[1]);
    std::vector<Row> rows;
    rows.reserve(655360);
    const char* first;
    const char* last;
    while (text.line(first, last)) {
        Row row{};
        const char* p = first;
        bool ok = number(p, last, row.ch[0].time);
        for (int c = 0; c < 3; ++c)
            ok = ok && number(p, last, row.ch[c].data);
        if (!ok) {
            std::fprintf(stderr, "ostream_writer: bad line\n");
            return 1;
        }
        rows.push_back(row);
    }
    while (rows.size() % 512 != 0)
        rows.push_back(Row{});

    std::ofstream out(argv[2]);
    out << "reference header\n";
    for (std::size_t b = 0; b < rows.size(); b += 512) {
        const double t = rows[b].ch[0].time;
        const double m = std::floor(t / 60);
        const double s = std::fmod(t, 60);
        for (int c = 0; c < 3; ++c) {
            out.setf(std::ios::fixed, std::ios::floatfield);
            out.precision(0);
            out << m;
            out.unsetf(std::ios::floatfield);
            out.precision(14);
            out << ' ' << s;
            for (std::size_t j = b; j < b + 512; ++j)
                out << ' ' << rows[j].ch[c].data;
            out << '\n';
        }
    }
    return 0;
}
