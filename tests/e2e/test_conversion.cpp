// Whole conversions: reference outputs made independently of the program,
// round trips through both AVQ forms, the messages of a group in order, the
// example data, how output files fail, and exports (spreadsheets, loggers,
// scripts) read as the very bytes of their plain twins.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "../text_util.h"
#include "harness.h"

namespace {

using e2e::source_path;
using e2e::VelkorTest;

constexpr std::size_t RECORD = 3084; // bytes of one binary block
constexpr std::size_t CHANNEL_RECORD = 1028;

class Conversion : public VelkorTest {
  protected:
    std::vector<std::string> entries() const { return testfiles::list_dir(dir()); }
};

std::uint16_t le16(const std::string& f, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(f[at]) |
                                      (static_cast<unsigned char>(f[at + 1]) << 8));
}

// Rows of a four-column input file: time and three values.
struct Row {
    double t;
    double v[3];
};

std::vector<Row> parse_4col(const std::string& text) {
    std::vector<Row> rows;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '!') continue;
        Row r{};
        char* p = line.data();
        r.t = std::strtod(p, &p);
        for (double& v : r.v)
            v = std::strtod(p, &p);
        rows.push_back(r);
    }
    return rows;
}

TEST_F(Conversion, ReferenceOutputsByteForByte) {
    // Expected files computed by tests/data/make_reference.py from the
    // description of the forms, not by this program.
    const std::string d = source_path("tests/data/");
    const std::string c1 = d + "ref-ch1.txt", c2 = d + "ref-ch2.txt", c3 = d + "ref-ch3.txt";
    struct Case {
        std::vector<std::string> args;
        const char* expected;
    };
    const Case cases[] = {
        {{"-4", "-s", "100", d + "ref-4col.txt", "out"}, "ref-4col.avq"},
        {{"-4", "--ascii", "-s", "100", d + "ref-4col.txt", "out"}, "ref-4col-ascii.txt"},
        {{"--mirror", "--unixtime", c1, c2, c3, "out"}, "ref-2col-mirror-unix.avq"},
        {{"--ascii", "--mirror", "--minutes-in-day", c1, c2, c3, "out"}, "ref-2col-mirror-day.txt"},
        {{"--truncate", c1, c2, c3, "out"}, "ref-2col-truncate.avq"},
    };
    for (const Case& c : cases) {
        const auto r = velkor(c.args);
        ASSERT_EQ(r.status, 0) << c.expected << "\n" << r.err;
        EXPECT_TRUE(read("out") == e2e::read_file(d + c.expected)) << c.expected;
    }
    const auto r = velkor({"-4", "-s", "100", d + "ref-4col.txt", "out"});
    EXPECT_EQ(r.err, "Warning: no comments in file " + d + "ref-4col.txt\n" +
                         "Best guess at samplingfrequency is 20\n"
                         "Warning: length of file not multiple of 512\n"
                         "Filling with zeroes\n"
                         "Warning: scale out of range. 2 values cliped.\n"
                         "Warning: scale out of range. 1 values cliped.\n");
}

TEST_F(Conversion, ThousandRowsUnderEachEndMode) {
    std::string text;
    for (int i = 0; i < 1000; ++i) {
        text +=
            std::to_string(100 + i) + " " + std::to_string(i) + " " + std::to_string(-i) + " 7\n";
    }
    write("in", text);
    const std::string header = "!S512Tidserier sampfrek: 1 gain: 1 station: x date: 1970-01-01 "
                               "time: 00:01:40\r";
    const std::string start = "Warning: no comments in file in\n"
                              "Best guess at samplingfrequency is 1\n"
                              "Warning: length of file not multiple of 512\n";
    struct Case {
        const char* option;
        const char* err;
        std::size_t blocks;
    };
    const Case cases[] = {{"--zero", "Filling with zeroes\n", 2},
                          {"--mirror", "Filling with mirror\n", 2},
                          {"--truncate", "", 1}};
    for (const Case& c : cases) {
        const auto r = velkor({"-4", c.option, "in", "out.avq"});
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.out, std::string("option ") + (c.option + 2) + "\nin->out.avq\n");
        EXPECT_EQ(r.err, start + c.err) << c.option;
        const std::string f = read("out.avq");
        ASSERT_EQ(f.size(), header.size() + c.blocks * RECORD) << c.option;
        EXPECT_EQ(f.substr(0, header.size()), header);
        if (c.blocks != 2) continue;
        // Last sample of channel 1 (row 1023): 0 with zeroes, row 975 with
        // the mirror. Row 999 is the last row read.
        const std::size_t second = header.size() + RECORD;
        const auto last = static_cast<std::int16_t>(le16(f, second + 4 + 2 * 511));
        const auto at999 = static_cast<std::int16_t>(le16(f, second + 4 + 2 * 487));
        EXPECT_EQ(at999, 999);
        EXPECT_EQ(last, std::string(c.option) == "--zero" ? 0 : 975);
        // Second block time 612 s: minute 10, second 12.
        EXPECT_EQ(le16(f, second), 10);
        EXPECT_EQ(le16(f, second + 2), 12);
    }
}

TEST_F(Conversion, CommentsSettledWithWarningsInOrder) {
    write("a", "!A\n1 1\n");
    write("b", "!B\n1 2\n");
    write("c", "!A\n1 3\n");
    auto r = velkor({"a", "b", "c", "out.avq"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning: comments disagree:\n!A\n!B\n!A\n"
                     "Warning: length of file not multiple of 512\n"
                     "Filling with zeroes\n");
    EXPECT_EQ(read("out.avq").substr(0, 3), "!A\r");

    // Without comments: three warnings, the estimate, then completion.
    write("a", "1 1\n2 1\n");
    write("b", "1 2\n2 2\n");
    write("c", "1 3\n2 3\n");
    r = velkor({"--ascii", "--truncate", "a", "b", "c", "out.txt"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning: no comments in file a\nWarning: no comments in file b\n"
                     "Warning: no comments in file c\n"
                     "Best guess at samplingfrequency is 1\n"
                     "Warning: length of file not multiple of 512\n");
    EXPECT_EQ(read("out.txt"),
              "!S512Tidserier sampfrek: 1 gain: 1 station: x date: 1970-01-01 time: 00:00:01\n");
}

TEST_F(Conversion, RoundTripThroughBothForms) {
    // The example data: 2200 rows at 20 Hz, values of a fraction of a
    // pascal with four decimals.
    const std::string input = source_path("examples/station-4col.txt");
    const std::vector<Row> rows = parse_4col(e2e::read_file(input));
    ASSERT_EQ(rows.size(), 2200u);

    // ASCII: every value and every block time comes back exactly.
    auto r = velkor({"-4", "--ascii", input, "out.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = split(read("out.txt"), '\n');
    ASSERT_EQ(lines.size(), 1 + 5 * 3 + 1u);
    for (std::size_t l = 1; l < 16; ++l) {
        const std::size_t block = (l - 1) / 3;
        const int c = static_cast<int>((l - 1) % 3);
        const auto fields = split(lines[l], ' ');
        ASSERT_EQ(fields.size(), 514u);
        const double t =
            std::strtod(fields[0].c_str(), nullptr) * 60 + std::strtod(fields[1].c_str(), nullptr);
        EXPECT_NEAR(t, rows[block * 512].t, 1e-6) << "line " << l;
        for (std::size_t j = 0; j < 512; ++j) {
            const std::size_t row = block * 512 + j;
            const double v = std::strtod(fields[2 + j].c_str(), nullptr);
            ASSERT_EQ(v, row < rows.size() ? rows[row].v[c] : 0.0) << "row " << row;
        }
    }

    // Binary, stored in millipascal: each sample is the value times 1000
    // truncated toward zero; each block time is that of its first row.
    r = velkor({"-4", "-s", "1000", "--mirror", input, "out.avq"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string f = read("out.avq");
    const std::size_t h = f.find('\r') + 1;
    ASSERT_EQ(f.size(), h + 5 * RECORD);
    for (std::size_t block = 0; block < 5; ++block) {
        const auto whole = static_cast<long long>(rows[block * 512].t);
        for (std::size_t c = 0; c < 3; ++c) {
            const std::size_t rec = h + block * RECORD + c * CHANNEL_RECORD;
            EXPECT_EQ(le16(f, rec), whole % 86400 / 60);
            EXPECT_EQ(le16(f, rec + 2), whole % 60);
            for (std::size_t j = 0; j < 512; ++j) {
                std::size_t row = block * 512 + j;
                if (row >= rows.size()) row = 2 * (rows.size() - 1) - row; // mirror
                const auto expect = static_cast<std::int16_t>(std::trunc(rows[row].v[c] * 1000));
                ASSERT_EQ(static_cast<std::int16_t>(le16(f, rec + 4 + 2 * j)), expect)
                    << "block " << block << " ch " << c << " j " << j;
            }
        }
    }
}

TEST_F(Conversion, ExampleCommandsConvert) {
    const std::string e = source_path("examples/");
    const std::vector<std::vector<std::string>> runs = {
        {"-4", e + "station-4col.txt", "example.avq"},
        {"-s", "1000", e + "station-ch1.txt", e + "station-ch2.txt", e + "station-ch3.txt",
         "example-mpa.avq"},
        {"--ascii", "-t", e + "station-time.txt", e + "station-v1.txt", e + "station-v2.txt",
         e + "station-v3.txt", "example.txt"},
    };
    for (const auto& args : runs) {
        const auto r = velkor(args);
        EXPECT_EQ(r.status, 0) << r.err;
    }
    const std::string built =
        "!S512Tidserier sampfrek: 20 gain: 1 station: x date: 2026-01-02 time: 00:00:00";
    EXPECT_EQ(read("example.avq").size(), built.size() + 1 + 5 * RECORD);
    EXPECT_EQ(read("example.avq").substr(0, built.size() + 1), built + "\r");
    EXPECT_EQ(read("example-mpa.avq").rfind("! station IS99 elements H1 H2 H3", 0), 0u);
    EXPECT_EQ(read("example.txt").rfind(built + "\n29455200 0 ", 0), 0u);
}

TEST_F(Conversion, UnwritableOutputsFailWithStatusOne) {
    write("in", "!c\n1 1 2 3\n");
    auto r = velkor({"-4", "in", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Warning: length of file not multiple of 512\nFilling with zeroes\n"
                     "Error writing file /dev/full: No space left on device\n");
    r = velkor({"--ascii", "-4", "in", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error writing file /dev/full: No space left on device\n"),
              std::string::npos);

    // The first group is written; the second stops the run.
    r = velkor({"-4", "in", "first.avq", "-4", "in", "missing/second.avq", "in", "third.avq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Can't open output file missing/second.avq: No such file or directory\n"),
              std::string::npos);
    EXPECT_TRUE(exists("first.avq"));
    EXPECT_FALSE(exists("third.avq"));

    r = velkor({"-4", "in", "/dev/null"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(entries(), (std::vector<std::string>{"first.avq", "in", "logfile"}));

    // An output written in place waits in TMPDIR for the settled header.
    r = velkor({"--ascii", "-4", "in", "-"}, {"TMPDIR=no/such/dir"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "option ascii\nin->-\nCan't make a temporary file in no/such/dir for -: No "
                     "such file or directory\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(Conversion, StandardOutputIsWrittenInPlace) {
    // The harness's standard output is a regular (unlinked) file: the name
    // /dev/stdout must still reach it, not be replaced by a renamed file,
    // and the data follow the progress lines instead of being overwritten
    // by them.
    write("in", "!c\n1 1 2 3\n");
    const auto r = velkor({"--ascii", "-4", "in", "/dev/stdout"});
    EXPECT_EQ(r.status, 0);
    std::string zeros;
    for (int i = 0; i < 511; ++i)
        zeros += " 0";
    EXPECT_EQ(r.out, "option ascii\nin->/dev/stdout\n!c\n0 1 1" + zeros + "\n0 1 2" + zeros +
                         "\n0 1 3" + zeros + "\n")
        << r.out.substr(0, 200);
    EXPECT_EQ(entries(), (std::vector<std::string>{"in", "logfile"}));
}

TEST_F(Conversion, StandardInputAndOutputByDash) {
    // "-" as the input reads standard input, "-" as the output writes
    // standard output; the progress line and acknowledgements then go to
    // standard error, so standard output holds the AVQ file alone.
    const std::string input = source_path("examples/station-4col.txt");
    std::string binary;
    for (const char* form : {"--binary", "--ascii"}) {
        ASSERT_EQ(velkor({"-4", form, input, "ref.out"}).status, 0);
        if (binary.empty()) binary = read("ref.out");
        const auto r = shell("cat \"$1\" | exec \"$0\" -4 \"$2\" - -", {input, form});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.out == read("ref.out")) << form;
        EXPECT_EQ(r.err.substr(0, r.err.find("Warning")),
                  std::string("option ") + (form + 2) + "\n-->-\n");
    }
    EXPECT_EQ(entries(), (std::vector<std::string>{"logfile", "ref.out"}));
    // The log records "-" as given.
    EXPECT_NE(read("logfile").find(" -4 --ascii - -\n"), std::string::npos);

    // "-" as a channel input of a two-column group, and the codes of
    // ignored options on standard error with "-o -".
    const std::string e = source_path("examples/station-ch");
    ASSERT_EQ(velkor({e + "1.txt", e + "2.txt", e + "3.txt", "ref.out"}).status, 0);
    auto r = shell("exec \"$0\" \"$1\"1.txt - \"$1\"3.txt out.avq < \"$1\"2.txt", {e});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, e + "1.txt+-+" + e + "3.txt->out.avq\n");
    EXPECT_EQ(read("out.avq"), read("ref.out"));
    r = shell("exec \"$0\" -e1 -o - \"$1\"1.txt - \"$1\"3.txt < \"$1\"2.txt", {e});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == read("ref.out"));
    EXPECT_EQ(r.err.substr(0, r.err.find('>') + 3),
              "?? getopt returned character code 101 ??\n" + e + "1.txt+-+" + e + "3.txt->-\n");

    // Standard input once per group at most, refused before anything is read.
    write("out.avq", "previous");
    for (const auto& args : {std::vector<std::string>{"-", "-", e + "3.txt", "out.avq"},
                             {"-t", "-", "-", e + "2.txt", e + "3.txt", "out.avq"}}) {
        r = velkor(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "Error: standard input (\"-\") is given as more than one input of a group\n");
    }
    EXPECT_EQ(read("out.avq"), "previous");
    // and once per run: a later group would find nothing left there.
    r = shell("exec \"$0\" -4 - o1.avq - out.avq < \"$1\"", {input});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "-->o1.avq\n-->out.avq\n");
    EXPECT_NE(r.err.find("\nError: standard input (\"-\") was read by an earlier group; it can be "
                         "read only once\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(read("o1.avq"), binary);
    EXPECT_EQ(read("out.avq"), "previous");
}

TEST_F(Conversion, FailedWriteKeepsThePreviousOutput) {
    std::string text;
    for (int i = 0; i < 5000; ++i)
        text += std::to_string(i) + " 1 2 3\n";
    write("in", text);
    write("out.avq", "!previous\n");
    ASSERT_EQ(::chmod(path("out.avq").c_str(), 0640), 0);
    // A file size limit of 8 blocks of 512 bytes makes the write fail
    // part-way; SIGXFSZ is ignored so that the write returns an error.
    const auto r = e2e::run_program(
        "/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 8; exec \"$0\" -4 in out.avq", VELKOR_BIN},
        dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error writing file out.avq: File too large\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(read("out.avq"), "!previous\n");
    EXPECT_EQ(entries(), (std::vector<std::string>{"in", "logfile", "out.avq"}));

    // A successful run replaces it and keeps its permission bits.
    ASSERT_EQ(velkor({"-4", "in", "out.avq"}).status, 0);
    const std::string f = read("out.avq");
    EXPECT_EQ(f.size(), f.find('\r') + 1 + 10 * RECORD);
    struct stat st {};
    ASSERT_EQ(::stat(path("out.avq").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(entries(), (std::vector<std::string>{"in", "logfile", "out.avq"}));
}

TEST_F(Conversion, TimeWithoutCalendarDateIsRefused) {
    write("out.avq", "!previous\n");
    write("nan", "nan 1 2 3\n");
    auto r = velkor({"-4", "nan", "out.avq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error: the time of the first row, nan, is not a valid UTC date\n"),
              std::string::npos)
        << r.err;
    // With a comment no header is built, but the binary block time is
    // still refused; the ASCII form writes the time as it is (printf "%.0f"
    // of floor(1e300 / 60)).
    write("big", "!c\n1e300 1 2 3\n");
    r = velkor({"-4", "big", "out.avq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error: the time of row 1, 1.0000000000000001e+300, is not a valid UTC "
                         "date\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(read("out.avq"), "!previous\n");
    r = velkor({"-4", "--ascii", "big", "out.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read("out.txt").substr(0, 40), "!c\n1666666666666666754174600425340700414");

    // The time of a later block, in either time form.
    for (const char* bad : {"nan", "-inf", "1e19", "1e300"}) {
        std::string rows = "!c\n";
        for (int i = 0; i < 600; ++i)
            rows += (i == 512 ? std::string(bad) : std::to_string(i)) + " 1 2 3\n";
        write("late", rows);
        for (const char* form : {"--normaltime", "--unixtime"}) {
            r = velkor({"-4", form, "late", "out.avq"});
            EXPECT_EQ(r.status, 1);
            char want[100];
            std::snprintf(want, sizeof want,
                          "Error: the time of row 513, %.17g, is not a valid UTC date\n",
                          std::strtod(bad, nullptr));
            EXPECT_EQ(r.err.substr(r.err.find("Error")), want) << form;
            EXPECT_EQ(read("out.avq"), "!previous\n");
        }
    }
    EXPECT_EQ(entries(),
              (std::vector<std::string>{"big", "late", "logfile", "nan", "out.avq", "out.txt"}));
}

TEST_F(Conversion, BuiltHeaderCarriesStationAndGain) {
    write("in", "1 1 2 3\n2 1 2 3\n");
    write("given", "!given\n1 1 2 3\n");
    const std::string time = " date: 1970-01-01 time: 00:00:01";
    const struct {
        std::vector<std::string> args;
        std::string header;
    } cases[] = {
        {{"-4", "in"}, "!S512Tidserier sampfrek: 1 gain: 1 station: x" + time},
        {{"--station=IS99", "--gain=0.5", "-4", "in"},
         "!S512Tidserier sampfrek: 1 gain: 0.5 station: IS99" + time},
        {{"--unixtime", "--gain", "-2.5e3", "--station", "I53H1_BDF~" + std::string(22, 'x'), "-4",
          "in"},
         "!U512Tidserier sampfrek: 1 gain: -2.5e3 station: I53H1_BDF~" + std::string(22, 'x') +
             time},
        // A header comment given is never changed.
        {{"--station=IS99", "--gain=2", "-4", "given"}, "!given"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back("out.avq");
        const auto r = velkor(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read("out.avq").substr(0, c.header.size() + 1), c.header + "\r");
    }
}

TEST_F(Conversion, BlockTimesJustBelowASecondAreStoredAsThatSecond) {
    // Minutes written to six decimals at 20 Hz: block b begins at 25.6 b s,
    // which the text holds to some microseconds, above or below. Block 5
    // begins at 127.99998 s: second 128, not 127 (and the file regular).
    std::string text = "!c\n";
    for (int i = 0; i < 6 * 512; ++i) {
        char row[64];
        std::snprintf(row, sizeof row, "%.6f 1 2 3\n", i / 1200.0);
        text += row;
    }
    write("min.txt", text);
    ASSERT_EQ(velkor({"-4", "--minutes", "min.txt", "out.avq"}).status, 0);
    const std::string f = read("out.avq");
    ASSERT_EQ(f.size(), 3 + 6 * RECORD);
    for (std::size_t b = 0; b < 6; ++b) {
        const std::size_t second = 256 * b / 10; // 25.6 b truncated
        EXPECT_EQ(le16(f, 3 + b * RECORD), second / 60) << b;
        EXPECT_EQ(le16(f, 3 + b * RECORD + 2), second % 60) << b;
    }
    const struct {
        std::vector<std::string> options;
        std::string block5;
    } ascii[] = {{{}, "2 8 1 "}, {{"--unixtime"}, "0 128 1 "}};
    for (const auto& a : ascii) {
        std::vector<std::string> args = {"-4", "--ascii", "--minutes", "min.txt", "out.txt"};
        args.insert(args.begin(), a.options.begin(), a.options.end());
        ASSERT_EQ(velkor(args).status, 0);
        const auto lines = split(read("out.txt"), '\n');
        ASSERT_GT(lines.size(), 16u);
        EXPECT_EQ(lines[16].substr(0, a.block5.size()), a.block5);
    }
    // The built header's start time is the first block's: 0.1 ms below
    // midnight is midnight, of the next day. 1 ms below stays where it is.
    const struct {
        const char* first;
        const char* start;
    } starts[] = {{"1767311999.9999", "date: 2026-01-02 time: 00:00:00"},
                  {"1767311999.999", "date: 2026-01-01 time: 23:59:59"},
                  {"1767311999.5", "date: 2026-01-01 time: 23:59:59"}};
    for (const auto& st : starts) {
        write("one.txt", std::string(st.first) + " 1 2 3\n");
        ASSERT_EQ(velkor({"-4", "one.txt", "out.avq"}).status, 0);
        const std::string h = read("out.avq");
        EXPECT_EQ(h.substr(h.find("date:"), 31), st.start) << st.first;
    }
}

// An export and its plain twin: the export's files (named e1, e2, ... in
// the order given) are converted with `args` before them, the twin's (p1,
// p2, ...) with `twin_args` (by default the layout option that begins
// `args`); both into the ASCII form, which keeps every value to 14
// digits. The export's run says exactly `err` and gives the twin's bytes.
struct Twin {
    std::vector<std::string> args;
    std::vector<std::string> files;
    std::string err;
    std::vector<std::string> twin;
    std::vector<std::string> twin_args = {};
};

const std::string FILLING = "Warning: length of file not multiple of 512\nFilling with zeroes\n";

class Exports : public Conversion {
  protected:
    void expect_twins(const std::vector<Twin>& cases) {
        for (const Twin& c : cases) {
            SCOPED_TRACE(::testing::PrintToString(c.args) + " " + c.files[0].substr(0, 40));
            const auto run = [this](std::vector<std::string> args, const char* prefix,
                                    const std::vector<std::string>& files, const char* out) {
                args.insert(args.begin(), "--ascii");
                for (std::size_t i = 0; i < files.size(); ++i) {
                    const std::string name = prefix + std::to_string(i + 1);
                    write(name, files[i]);
                    // A time file is named in the arguments already.
                    if (std::find(args.begin(), args.end(), name) == args.end()) {
                        args.push_back(name);
                    }
                }
                args.push_back(out);
                return velkor(args);
            };
            const auto want =
                run(c.twin_args.empty() ? std::vector<std::string>{c.args[0]} : c.twin_args, "p",
                    c.twin, "want.avq");
            ASSERT_EQ(want.status, 0) << want.err;
            const auto got = run(c.args, "e", c.files, "got.avq");
            EXPECT_EQ(got.status, 0);
            EXPECT_EQ(got.err, c.err);
            EXPECT_TRUE(read("got.avq") == read("want.avq")) << read("got.avq").substr(0, 200);
        }
    }
};

// Four-column rows with a comment (the header) and their lines as written.
const std::string ROWS4 = "!c\n1767312000.00 0.25 -1.5 3\n1767312000.05 1e3 2 -3.25\n";

// The warnings of the reading, as velkor words them.
std::string more_columns(const std::string& name, int columns, const std::string& line) {
    const std::string n = std::to_string(columns);
    return "Warning: " + name + " has more columns than the -" + (columns == 1 ? "1" : n) +
           " layout reads; only the first " + n + " of each line are read\n  line " + line + "\n" +
           (columns == 1 ? "  (files of time and value are read without -t)\n" : "");
}

std::string heading(const std::string& name, const std::string& line) {
    return "Warning: " + name + ": line " + line.substr(0, line.find(':')) +
           " taken for a heading and skipped\n  line " + line + "\n";
}

// The lines of a header built from one row of `names` (the last holds the
// times) at line `line`.
std::string built_from_one_row(const std::vector<std::string>& names, int line) {
    std::string s;
    for (std::size_t i = 0; i < names.size() && (names.size() == 1 || i < 3); ++i)
        s += "Warning: no comments in file " + names[i] + "\n";
    return s +
           "Best guess at samplingfrequency is 0\nWarning: sampling frequency estimate 0 is not "
           "a positive finite number: " +
           names.back() + " has one data row only (line " + std::to_string(line) + ")\n";
}

TEST_F(Exports, MoreColumnsThanTheLayoutReadsAreReadWithOneWarningPerFile) {
    const std::string rows2 = "!c\n1 5\n2 6\n", values = "!c\n10\n11\n", tv = "!c\n10 5\n11 6\n";
    expect_twins({
        {{"-4"},
         {"!c\n1767312000.00 0.25 -1.5 3 ok\n1767312000.05 1e3 2 -3.25 7 8\n"},
         more_columns("e1", 4, "2: 1767312000.00 0.25 -1.5 3 ok") + FILLING,
         {ROWS4}},
        // A number glued after the last one read is a column too.
        {{"-4"},
         {"!c\n1767312000.00 0.25 -1.5 3-4\n"},
         more_columns("e1", 4, "2: 1767312000.00 0.25 -1.5 3-4") + FILLING,
         {"!c\n1767312000.00 0.25 -1.5 3\n"}},
        {{"-2"},
         {"!c\n1 5 a\n2 6\n", "!c\n1 5\n2 6 b\n", rows2},
         more_columns("e1", 2, "2: 1 5 a") + more_columns("e2", 2, "3: 2 6 b") + FILLING,
         {rows2, rows2, rows2}},
        // Files of time and value given with -t: their times are read as
        // the values, as before, and the warning says so.
        {{"-t", "e4"},
         {tv, tv, tv, "1\n2\n"},
         more_columns("e1", 1, "2: 10 5") + more_columns("e2", 1, "2: 10 5") +
             more_columns("e3", 1, "2: 10 5") + FILLING,
         {values, values, values, "1\n2\n"},
         {"-t", "p4"}},
    });
}

TEST_F(Exports, ByteOrderMarkIsSkipped) {
    const std::string bom = "\xEF\xBB\xBF", row = "1767312000.00 0.25 -1.5 3\n";
    expect_twins({
        {{"-4"}, {bom + ROWS4}, FILLING, {ROWS4}},
        // Before a data line, and before a heading.
        {{"-4"}, {bom + row}, built_from_one_row({"e1"}, 1) + FILLING, {row}},
        {{"-2"},
         {bom + "t v\n1 5\n", bom + "!c\n1 5\n", "!c\n1 5\n"},
         heading("e1", "1: t v") + "Warning: no comments in file e1\n" + FILLING,
         {"1 5\n", "!c\n1 5\n", "!c\n1 5\n"}},
    });
    // And in argument files.
    write("args", bom + "--ascii\r\n-4\r\n");
    write("in", ROWS4);
    EXPECT_EQ(velkor({"@args", "in", "out.avq"}).err, FILLING);
    EXPECT_EQ(read("out.avq").substr(0, 19), "!c\n29455200 0 0.25 ");
}

TEST_F(Exports, BlankLinesAreSkippedWhereverTheyStand) {
    const std::string rows2 = "!c\n1 5\n2 6\n";
    expect_twins({
        // One at the end, very common; others with blanks, tabs, CR.
        {{"-4"}, {ROWS4 + "\n"}, FILLING, {ROWS4}},
        {{"-4"},
         {"\n!c\n \t\r\n1767312000.00 0.25 -1.5 3\r\n\r\n1767312000.05 1e3 2 -3.25\n\n\n"},
         FILLING,
         {ROWS4}},
        // In one file of three, where the files hold the same rows.
        {{"-2"}, {"!c\n1 5\n\n2 6\n\n", rows2, rows2}, FILLING, {rows2, rows2, rows2}},
    });
    // Line numbers still count every line.
    write("gap.txt", "!c\n\n1767312000 1 2 3\n\n1767312000 1 2\n");
    const auto r = velkor({"-4", "gap.txt", "out.avq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Not 4 columns in file gap.txt\n  line 5: 1767312000 1 2\n");
    EXPECT_FALSE(exists("out.avq"));
}

TEST_F(Exports, HashCommentsAndHeadingsAreSkipped) {
    const std::string title = "TIMESERIES XX_STA__BHZ_R, 635 samples, 40 sps, "
                              "2026-01-02T00:00:00.000000, SLIST, FLOAT, Pa";
    const std::string pairs = "1767312000 5\n1767312000.025 6\n",
                      row = "1767312000.00 0.25 -1.5 3\n";
    expect_twins({
        // "#" lines anywhere; a heading after them.
        {{"-4"},
         {"# exported 2026-01-02\n!c\n  # units: Pa\ntime ch1 ch2 ch3\n1767312000.00 0.25 -1.5 "
          "3\n#\n1767312000.05 1e3 2 -3.25\n"},
         heading("e1", "4: time ch1 ch2 ch3") + FILLING,
         {ROWS4}},
        // A "#" line never becomes the header.
        {{"-4"}, {"# station IS99\n" + row}, built_from_one_row({"e1"}, 2) + FILLING, {row}},
        // The title line seismology tools write above time/value pairs.
        {{"-2"},
         {title + "\n2026-01-02T00:00:00.000000 5\n2026-01-02T00:00:00.025000 6\n", "!c\n" + pairs,
          "!c\n" + pairs},
         heading("e1", "1: " + title.substr(0, 80)) + "Warning: no comments in file e1\n" + FILLING,
         {pairs, "!c\n" + pairs, "!c\n" + pairs}},
        // Column names of a time file and of value files; "nan" and "inf"
        // are values, not names.
        {{"-t", "e4"},
         {"ch1\nnan\n", "ch2\n-inf\n", "ch3\n1\n", "time\n1767312000\n"},
         heading("e4", "1: time") + heading("e1", "1: ch1") + heading("e2", "1: ch2") +
             heading("e3", "1: ch3") + built_from_one_row({"e1", "e2", "e3", "e4"}, 2) + FILLING,
         {"nan\n", "-inf\n", "1\n", "1767312000\n"},
         {"-t", "p4"}},
    });
}

TEST_F(Exports, DelimitersAndDecimalCommasReadAsThePlainTwin) {
    expect_twins({
        // Semicolons and decimal commas (a European spreadsheet), a heading
        // and the empty fields of trailing delimiters.
        {{"-4", "--delimiter=;", "--decimal-comma"},
         {"!c\ntime;ch1;ch2;ch3\n1767312000,00;0,25;-1,5;3;;\n1767312000,05 ; 1e3 ; 2 ; "
          "-3,25\n"},
         heading("e1", "2: time;ch1;ch2;ch3") + FILLING,
         {ROWS4}},
        // Commas, blanks around them, an ISO time with a blank in it.
        {{"-4", "--delimiter=,"},
         {"!c\n2026-01-02 00:00:00.00, 0.25 ,-1.5,3\n2026-01-02 00:00:00.05,1e3,2,-3.25\n"},
         FILLING,
         {ROWS4}},
        {{"-4", "--delimiter=tab"},
         {"!c\n1767312000.00\t0.25\t-1.5\t3\n2026-01-02 00:00:00.05\t1e3\t2\t-3.25\n"},
         FILLING,
         {ROWS4}},
        // A decimal comma between blanks; every digit of a long value kept.
        {{"-2", "--decimal-comma"},
         {"!c\n1767312000,05 0,123456789012345678\n", "!c\n1767312000,05 -7,5e-3\n",
          "!c\n1767312000,05 1,5\n"},
         FILLING,
         {"!c\n1767312000.05 0.123456789012345678\n", "!c\n1767312000.05 -7.5e-3\n",
          "!c\n1767312000.05 1.5\n"}},
        {{"-t", "e4", "--decimal-comma"},
         {"-0,5\n", "2,25\n", "1e-3\n", "1767312000,5\n"},
         built_from_one_row({"e1", "e2", "e3", "e4"}, 1) + FILLING,
         {"-0.5\n", "2.25\n", "1e-3\n", "1767312000.5\n"},
         {"-t", "p4"}},
    });
}

} // namespace
