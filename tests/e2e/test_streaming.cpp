// Regular files stream into the output: every conversion of a group large
// enough to be read on two threads is compared with the same group read
// through pipes, which keeps its rows in the sample table: the same output
// bytes, standard output, standard error and exit status, in each layout,
// end mode and form, failing or not. The memory of a conversion does not
// grow with the group.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using e2e::Result;

// Where two texts part: their first line that differs ("" when they are
// equal), so that a long standard error fails readably.
std::string first_difference(const std::string& a, const std::string& b) {
    std::size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at])
        ++at;
    if (at == a.size() && at == b.size()) return "";
    const std::size_t start = a.rfind('\n', at == 0 ? 0 : at - 1);
    const std::size_t from = start == std::string::npos || at == 0 ? 0 : start + 1;
    return "after " + std::to_string(from) + " bytes:\n" + a.substr(from, a.find('\n', at) - from) +
           "\n" + b.substr(from, b.find('\n', at) - from);
}

// Rows of a station, from which each test's files are made: times in steps
// of 0.01 s with one gap and one repeated time, values within +-10 with a
// spike of 99 every 9973 rows (clipped at a scale of 1000).
struct Station {
    std::string time(std::size_t i) const {
        const double t = 1700000000.0 + 0.01 * static_cast<double>(i) + (i > 30000 ? 5.0 : 0.0);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.2f", i == 20000 ? t - 0.01 : t);
        return buf;
    }
    std::string value(std::size_t i, int c) const {
        if (i % 9973 == 7) return "99";
        char buf[32];
        const long v = static_cast<long>((i * 7 + static_cast<std::size_t>(c) * 13) % 2000) - 1000;
        std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(v) / 100.0);
        return buf;
    }
};

class Streaming : public e2e::VelkorTest {
  protected:
    static constexpr std::size_t ROWS = 80300; // split near row 42,496, a partial last block

    void SetUp() override {
        VelkorTest::SetUp();
        ::mkdir(path("files").c_str(), 0755);
        ::mkdir(path("pipes").c_str(), 0755);
    }

    // The lines of each input of a layout; edit(slot, row, line) may change
    // a row's line of the file in input slot `slot` (0 the time file, 1-3
    // channels 1-3; the four-column file is slot 1), or put lines before it.
    template <class Edit>
    std::vector<std::vector<std::string>> make(int layout, Edit edit, std::size_t rows = ROWS) {
        const Station s;
        const int files = layout == 4 ? 1 : layout == 2 ? 3 : 4;
        std::vector<std::vector<std::string>> lines(static_cast<std::size_t>(files));
        for (std::size_t i = 0; i < rows; ++i) {
            for (int f = 0; f < files; ++f) {
                std::string l;
                if (layout == 4) {
                    l = s.time(i) + " " + s.value(i, 0) + " " + s.value(i, 1) + " " + s.value(i, 2);
                } else if (layout == 2) {
                    l = s.time(i) + "\t" + s.value(i, f);
                } else {
                    l = f == 0 ? s.time(i) : s.value(i, f - 1);
                }
                edit(layout == 1 ? f : f + 1, i, l);
                lines[static_cast<std::size_t>(f)].push_back(l);
            }
        }
        return lines;
    }

    // Writes the inputs into files/ and makes pipes of the same names in
    // pipes/. Returns the arguments that name them.
    std::vector<std::string> inputs(int layout,
                                    const std::vector<std::vector<std::string>>& lines) {
        static const char* const names[3][4] = {
            {"t.txt", "v1.txt", "v2.txt", "v3.txt"}, {"a.txt", "b.txt", "c.txt"}, {"all.txt"}};
        const int which = layout == 1 ? 0 : layout == 2 ? 1 : 2;
        std::vector<std::string> args = {layout == 1 ? "-t" : layout == 2 ? "-2" : "-4"};
        names_.clear();
        for (std::size_t f = 0; f < lines.size(); ++f) {
            std::string text;
            for (const std::string& l : lines[f])
                text += l + "\n";
            const std::string name = names[which][f];
            write("files/" + name, text);
            ::unlink(path("pipes/" + name).c_str());
            ::mkfifo(path("pipes/" + name).c_str(), 0600);
            names_.push_back(name);
            args.push_back(name);
        }
        return args;
    }

    // Converts the group streamed (from files/) and through pipes (in
    // pipes/), into out.avq of each directory, with `before` run first in
    // the shell (a limit). Expects both runs to give the same results;
    // returns the streamed run.
    Result both(std::vector<std::string> args, const std::string& before = "") {
        args.push_back("out.avq");
        const std::string velkor = VELKOR_BIN;
        std::string feed;
        for (const std::string& n : names_)
            feed += "cat ../files/" + n + " > " + n + " & ";
        const auto run = [&](const std::string& where, const std::string& start) {
            std::vector<std::string> sh = {"-c", before + start + "exec \"$0\" \"$@\"", velkor};
            sh.insert(sh.end(), args.begin(), args.end());
            return e2e::run_program("/bin/sh", sh, path(where));
        };
        const Result streamed = run("files", "");
        const Result piped = run("pipes", feed);
        EXPECT_EQ(streamed.status, piped.status);
        EXPECT_EQ(streamed.out, piped.out);
        EXPECT_EQ(first_difference(streamed.err, piped.err), "");
        const bool made = exists("files/out.avq");
        EXPECT_EQ(made, exists("pipes/out.avq"));
        if (made) {
            EXPECT_TRUE(read("files/out.avq") == read("pipes/out.avq"));
        }
        for (const char* d : {"files", "pipes"}) {
            for (const std::string& entry : testfiles::list_dir(path(d)))
                EXPECT_NE(entry.rfind(".velkor-", 0), 0u) << d << "/" << entry;
        }
        ::unlink(path("files/out.avq").c_str());
        ::unlink(path("pipes/out.avq").c_str());
        return streamed;
    }

    std::vector<std::string> names_;
};

// Per layout: comments that settle the header only after the first block
// (so the header first written is replaced), warnings in both parts of the
// group, a gap, a time that does not increase.
void add_features(int layout, int slot, std::size_t i, std::string& line) {
    if (layout == 4 && i == 45000) line = "!station deep in the file\n" + line;
    if (layout == 2) {
        if (i == 0) line = "!station A\n" + line;
        if (slot == 2 && i == 50000) line = "!station B\n" + line;
        // Times of channel 3, then of channel 2, 0.9 s ahead.
        if (slot == 3 && i >= 100 && i < 110) line.replace(line.find('.') + 1, 1, "9");
        if (slot == 2 && i >= 60000 && i < 60003) line.replace(line.find('.') + 1, 1, "9");
    }
    if (layout == 1) {
        if (slot == 0 && i == 0) line = "!time file\n" + line;
        if (slot == 2 && i == 60000) line = "!" + std::string(300, 'c') + "\n" + line;
    }
}

TEST_F(Streaming, SameAsThroughPipesInEveryLayoutEndModeAndForm) {
    for (int layout : {4, 2, 1}) {
        const auto lines = make(layout, [layout](int f, std::size_t i, std::string& l) {
            add_features(layout, f, i, l);
        });
        const std::vector<std::string> group = inputs(layout, lines);
        for (const char* form : {"--binary", "--ascii"}) {
            for (const char* end : {"--zero", "--mirror", "--truncate"}) {
                SCOPED_TRACE(std::string("layout ") + std::to_string(layout) + " " + form + " " +
                             end);
                std::vector<std::string> args = {form, end, "-s", "1000"};
                args.insert(args.end(), group.begin(), group.end());
                const Result r = both(args);
                EXPECT_EQ(r.status, 0) << r.err;
            }
        }
    }
}

TEST_F(Streaming, FailuresAtAnyRowAsThroughPipes) {
    // A warning in the first part, then an error in the second.
    auto lines = make(2, [](int slot, std::size_t i, std::string& l) {
        if (slot == 3 && i == 200) l = "1700000002.50 1";
        if (slot == 2 && i == 60000) l = "1,5";
    });
    Result r = both(inputs(2, lines));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("time difference between ch3 and ch1\n"), std::string::npos) << r.err;
    EXPECT_NE(
        r.err.find("Not 2 columns in file b.txt. Rerun with -t timefile\n  line 60001: 1,5\n"),
        std::string::npos)
        << r.err;

    // An error in the first part; the second part's warning is never said.
    lines = make(4, [](int, std::size_t i, std::string& l) {
        if (i == 30000) l = "1700000300 1 2";
        if (i == 70000) l = "!" + std::string(400, 'x') + "\n" + l;
    });
    r = both(inputs(4, lines));
    EXPECT_EQ(r.err, "Not 4 columns in file all.txt\n  line 30001: 1700000300 1 2\n");

    // A block time without a calendar date (row 51,201 begins block 100):
    // after block completion, before anything is written.
    lines = make(4, [](int, std::size_t i, std::string& l) {
        if (i == 51200) l = "1e300 1 2 3";
    });
    r = both(inputs(4, lines));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(
        r.err.find("Filling with zeroes\nError: the time of row 51201, 1.0000000000000001e+300, "
                   "is not a valid UTC date\n"),
        std::string::npos)
        << r.err;
}

TEST_F(Streaming, WriteErrorsComeWhereTheTablesWriterMeetsThem) {
    // Every block clips; the output may not grow beyond 1.5 MiB, which the
    // table's writer meets with its second buffer of 1 MiB: the clipping
    // lines of the blocks written before it come first.
    const auto lines = make(
        4, [](int, std::size_t, std::string& l) { l = l.substr(0, l.find(' ')) + " 40 40 40"; },
        400000);
    const std::vector<std::string> group = inputs(4, lines);
    std::vector<std::string> args = {"-s", "1000"};
    args.insert(args.end(), group.begin(), group.end());
    const std::string limit = "ulimit -f 3072; trap '' XFSZ; ";
    Result r = both(args, limit);
    EXPECT_EQ(r.status, 1);
    const std::string clipped = "Warning: scale out of range. 1536 values cliped.\n";
    EXPECT_NE(r.err.find(clipped + "Error writing file out.avq: File too large\n"),
              std::string::npos);
    args.insert(args.begin(), "--ascii");
    r = both(args, limit);
    EXPECT_EQ(r.status, 1);
}

TEST_F(Streaming, MemoryDoesNotGrowWithTheGroup) {
    // More rows than the sample table's first reservation (655,360), on two
    // threads.
    std::string text;
    text.reserve(40000000);
    const Station s;
    for (std::size_t i = 0; i < 1000000; ++i)
        text += s.time(i) + " " + s.value(i, 0) + " " + s.value(i, 1) + " " + s.value(i, 2) + "\n";
    write("big.txt", text);
    const Result r = velkor({"-4", "big.txt", "out.avq"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string out = read("out.avq");
    EXPECT_EQ(out.size(), out.find('\r') + 1 + 1954 * 3084u);
    EXPECT_GT(r.peak_kib, 0);
#if !defined(__SANITIZE_ADDRESS__) // its shadow memory is many times the program's
    EXPECT_LT(r.peak_kib, 32 * 1024);
#endif
}

} // namespace
