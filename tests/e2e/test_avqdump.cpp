// avqdump against velkor: what velkor writes, avqdump reads back (within the
// 16-bit truncation of the binary form, exactly in the ASCII form), in every
// input layout; the --info summary; and avqdump's errors and exit status.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

const std::string AVQDUMP = (std::filesystem::path(VELKOR_BIN).parent_path() / "avqdump").string();

struct Row {
    double time;
    std::string text[3]; // the values as written into the inputs
    double value[3];     // and as read back from that text
};

// Rows of plausible data with times 1700000012.25 s upward in steps of 0.01 s.
// Channel 1 swings beyond the 16-bit range once scaled by 2.5; channels 2
// and 3 hold small values with fractions of either sign.
std::vector<Row> make_rows(int n, double gap_after = -1) {
    std::vector<Row> rows(n);
    for (int i = 0; i < n; ++i) {
        Row& r = rows[i];
        r.time = 1700000012.25 + i * 0.01 + (gap_after >= 0 && i > gap_after ? 100.0 : 0.0);
        const double v[3] = {16000.0 * std::sin(i / 40.0), 12.9 * std::cos(i / 7.0) - 0.3,
                             -(i % 97) / 8.0};
        for (int c = 0; c < 3; ++c) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.10g", v[c]);
            r.text[c] = buf;
            r.value[c] = std::strtod(buf, nullptr);
        }
    }
    return rows;
}

std::string time_text(double t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", t);
    return buf;
}

// A column of `rows` as the input layouts hold them.
std::string two_column(const std::vector<Row>& rows, int c) {
    std::string s = "!station test\n";
    for (const Row& r : rows)
        s += time_text(r.time) + " " + r.text[c] + "\n";
    return s;
}
std::string one_column(const std::vector<Row>& rows, int c) {
    std::string s = "!station test\n";
    for (const Row& r : rows)
        s += r.text[c] + "\n";
    return s;
}
std::string time_column(const std::vector<Row>& rows) {
    std::string s;
    for (const Row& r : rows)
        s += time_text(r.time) + "\n";
    return s;
}
std::string four_column(const std::vector<Row>& rows) {
    std::string s = "!station test\n";
    for (const Row& r : rows)
        s += time_text(r.time) + " " + r.text[0] + " " + r.text[1] + " " + r.text[2] + "\n";
    return s;
}

std::vector<std::vector<std::string>> rows_of(const std::string& text) {
    std::vector<std::vector<std::string>> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream l(line);
        std::vector<std::string> cols;
        for (std::string f; l >> f;)
            cols.push_back(f);
        out.push_back(cols);
    }
    return out;
}

std::int16_t expected_sample(double v) {
    if (v > 32767.0) return 32767;
    if (v < -32768.0) return -32768;
    return static_cast<std::int16_t>(v);
}

class Avqdump : public e2e::VelkorTest {
  protected:
    e2e::Result avqdump(const std::vector<std::string>& args) {
        return e2e::run_program(AVQDUMP, args, dir());
    }

    // Writes the inputs of `layout` ("1", "2" or "4") and returns the
    // arguments that convert them into `out`.
    std::vector<std::string> inputs(const std::string& layout, const std::vector<Row>& rows,
                                    const std::string& out) {
        if (layout == "4") {
            write("q.txt", four_column(rows));
            return {"-4", "q.txt", out};
        }
        if (layout == "1") {
            write("t.txt", time_column(rows));
            for (int c = 0; c < 3; ++c)
                write("v" + std::to_string(c) + ".txt", one_column(rows, c));
            return {"-t", "t.txt", "v0.txt", "v1.txt", "v2.txt", out};
        }
        for (int c = 0; c < 3; ++c)
            write("c" + std::to_string(c) + ".txt", two_column(rows, c));
        return {"c0.txt", "c1.txt", "c2.txt", out};
    }

    void check_binary_round_trip(const std::string& layout) {
        SCOPED_TRACE("layout " + layout);
        const int n = 1300; // two whole blocks and a zero-filled third
        const auto rows = make_rows(n);
        auto args = inputs(layout, rows, "out.avq");
        args.insert(args.begin(), "--scale=2.5");
        ASSERT_EQ(velkor(args).status, 0);

        const auto r = avqdump({"out.avq"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const auto dumped = rows_of(r.out);
        ASSERT_EQ(dumped.size(), 3u * 512);
        int clipped = 0;
        for (std::size_t i = 0; i < dumped.size(); ++i) {
            const auto& d = dumped[i];
            ASSERT_EQ(d.size(), 7u) << "row " << i;
            EXPECT_EQ(d[0], std::to_string(i / 512));
            EXPECT_EQ(d[1], std::to_string(i % 512));
            // The block time: channel 1's time of the block's first row,
            // whole seconds, as minute of the UTC day and second.
            const std::time_t t = static_cast<std::time_t>(rows[i / 512 * 512].time);
            std::tm tm{};
            gmtime_r(&t, &tm);
            EXPECT_EQ(d[2], std::to_string(tm.tm_hour * 60 + tm.tm_min)) << "row " << i;
            EXPECT_EQ(d[3], std::to_string(tm.tm_sec)) << "row " << i;
            for (int c = 0; c < 3; ++c) {
                const int want = i < rows.size() ? expected_sample(rows[i].value[c] * 2.5) : 0;
                ASSERT_EQ(d[4 + c], std::to_string(want)) << "row " << i << " channel " << c + 1;
                if (i < rows.size() && std::abs(rows[i].value[c] * 2.5) > 32767) ++clipped;
            }
        }
        EXPECT_GT(clipped, 100); // the data did reach the limits
    }

    void check_ascii_round_trip(const std::string& layout) {
        SCOPED_TRACE("layout " + layout);
        const int n = 1300;
        const auto rows = make_rows(n);
        auto args = inputs(layout, rows, "out.txt");
        args.insert(args.begin(), "--ascii");
        ASSERT_EQ(velkor(args).status, 0);

        const auto r = avqdump({"out.txt"});
        ASSERT_EQ(r.status, 0) << r.err;
        const auto dumped = rows_of(r.out);
        ASSERT_EQ(dumped.size(), 3u * 512);
        for (std::size_t i = 0; i < dumped.size(); ++i) {
            const auto& d = dumped[i];
            ASSERT_EQ(d.size(), 7u);
            const double t = rows[i / 512 * 512].time;
            EXPECT_EQ(std::strtod(d[2].c_str(), nullptr), std::floor(t / 60)) << "row " << i;
            EXPECT_NEAR(std::strtod(d[3].c_str(), nullptr), std::fmod(t, 60), 1e-9) << "row " << i;
            for (int c = 0; c < 3; ++c) {
                const double want = i < rows.size() ? rows[i].value[c] : 0.0;
                ASSERT_EQ(std::strtod(d[4 + c].c_str(), nullptr), want)
                    << "row " << i << " channel " << c + 1 << ": " << d[4 + c];
            }
        }
    }
};

TEST_F(Avqdump, BinaryRoundTripTwoColumnFiles) {
    check_binary_round_trip("2");
}
TEST_F(Avqdump, BinaryRoundTripTimeFileAndOneColumnFiles) {
    check_binary_round_trip("1");
}
TEST_F(Avqdump, BinaryRoundTripFourColumnFile) {
    check_binary_round_trip("4");
}
TEST_F(Avqdump, AsciiRoundTripTwoColumnFiles) {
    check_ascii_round_trip("2");
}
TEST_F(Avqdump, AsciiRoundTripTimeFileAndOneColumnFiles) {
    check_ascii_round_trip("1");
}
TEST_F(Avqdump, AsciiRoundTripFourColumnFile) {
    check_ascii_round_trip("4");
}

TEST_F(Avqdump, InfoSummarisesABinaryFile) {
    const auto rows = make_rows(1024);
    write("q.txt", four_column(rows));
    ASSERT_EQ(velkor({"-4", "-s", "2.5", "q.txt", "out.avq"}).status, 0);
    int at_max = 0, at_min = 0;
    for (const Row& r : rows) {
        at_max += expected_sample(r.value[0] * 2.5) == 32767;
        at_min += expected_sample(r.value[0] * 2.5) == -32768;
    }
    ASSERT_GT(at_max, 0);
    ASSERT_GT(at_min, 0);

    const auto r = avqdump({"--info", "out.avq"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string expected =
        "file: out.avq\n"
        "form: binary (header line ends in a carriage return)\n"
        "header: !station test\n"
        "blocks: 2\n"
        "samples per channel: 1024\n"
        "time form: minute of the day and second (the values fit a minute of the day and a "
        "second)\n"
        "first block time: 1333 32 (22:13:32 UTC)\n"
        "last block time: 1333 37 (22:13:37 UTC)\n"
        "block times: regular, one block every 5 s\n"
        "16-bit limits ch1: " +
        std::to_string(at_max) + " at 32767, " + std::to_string(at_min) +
        " at -32768\n"
        "16-bit limits ch2: 0 at 32767, 0 at -32768\n"
        "16-bit limits ch3: 0 at 32767, 0 at -32768\n";
    EXPECT_EQ(r.out, expected);
}

TEST_F(Avqdump, InfoReadsUnixTimeHeaders) {
    const auto rows = make_rows(1024);
    write("q.txt", four_column(rows).substr(std::string("!station test\n").size()));
    ASSERT_EQ(velkor({"-4", "--unixtime", "q.txt", "out.avq"}).status, 0);
    // The built header begins with "!U": the words are the two halves of
    // the seconds since the epoch.
    const auto r = avqdump({"--info", "out.avq"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::uint32_t s = 1700000012u;
    EXPECT_NE(r.out.find("time form: 32-bit seconds since 1970-01-01 UTC (the header begins "
                         "with \"!U\")\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("first block time: " + std::to_string(s & 0xFFFF) + " " +
                         std::to_string(s >> 16) + " (1700000012 s: 2023-11-14 22:13:32 UTC)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("block times: regular"), std::string::npos) << r.out;
}

TEST_F(Avqdump, InfoSummarisesAnAsciiFileAndSeesGaps) {
    write("q.txt", four_column(make_rows(1536, 1000)));
    ASSERT_EQ(velkor({"-4", "--ascii", "q.txt", "out.txt"}).status, 0);
    const auto r = avqdump({"--info", "out.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("form: ASCII (header line ends in a line feed)\nheader: !station test\n"
                         "blocks: 3\nsamples per channel: 1536\n"
                         "first block time: 28333333 32.25 (2023-11-14 22:13:32.25 UTC)\n"),
              std::string::npos)
        << r.out;
    // Block 2 starts 100 s later than the steps of 5.12 s would have it.
    EXPECT_NE(r.out.find("block times: irregular, steps from 5.12 to 105.12 s; block 2 is the "
                         "first whose step differs from the first step (5.12 s)\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("16-bit"), std::string::npos);
}

TEST_F(Avqdump, DamagedFilesAreRefusedWithStatusOne) {
    write("q.txt", four_column(make_rows(512)));
    ASSERT_EQ(velkor({"-4", "q.txt", "good.avq"}).status, 0);
    const std::string good = read("good.avq");
    write("cut.avq", good.substr(0, good.size() - 10));

    auto r = avqdump({"cut.avq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, ""); // refused before anything is printed
    EXPECT_EQ(r.err, "avqdump: cut.avq: binary data after the header is 3074 bytes, not a whole "
                     "number of 3084-byte records (0 whole records and 3074 bytes left over)\n");

    ASSERT_EQ(velkor({"-4", "--ascii", "q.txt", "good.txt"}).status, 0);
    std::string text = read("good.txt");
    text.erase(text.rfind(' '), 2); // drop the last value of channel 3
    write("short.txt", text);
    r = avqdump({"--info", "short.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "avqdump: short.txt: line 4 (block 0, channel 3): 513 fields, expected 514 "
                     "(minute, second and 512 values)\n");

    r = avqdump({"missing.avq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "avqdump: missing.avq: cannot open: No such file or directory\n");

    // A bad file among good ones: the others are still read, the status is 1.
    r = avqdump({"--info", "good.avq", "cut.avq", "good.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("file: good.avq\n"), std::string::npos);
    EXPECT_NE(r.out.find("file: good.txt\n"), std::string::npos);
    EXPECT_NE(r.err.find("cut.avq"), std::string::npos);
}

TEST_F(Avqdump, SeveralFilesAreLabelled) {
    write("q.txt", four_column(make_rows(512)));
    ASSERT_EQ(velkor({"-4", "q.txt", "a.avq"}).status, 0);
    ASSERT_EQ(velkor({"-4", "--ascii", "q.txt", "b.txt"}).status, 0);
    const auto r = avqdump({"a.avq", "b.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = rows_of(r.out);
    ASSERT_EQ(rows.size(), 2u + 2 * 512);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"#", "a.avq"}));
    EXPECT_EQ(rows[513], (std::vector<std::string>{"#", "b.txt"}));
    // A single file has no label line.
    EXPECT_EQ(rows_of(avqdump({"a.avq"}).out).size(), 512u);
}

TEST_F(Avqdump, CommandLine) {
    auto r = avqdump({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: avqdump [options] FILE...\n", 0), 0u);
    r = avqdump({"-V"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("avqdump (velkor) ", 0), 0u);

    r = avqdump({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "avqdump: no AVQ file named\nTry 'avqdump --help' for more information.\n");
    r = avqdump({"--bogus", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Try 'avqdump --help'"), std::string::npos);
    EXPECT_EQ(r.out, "");
}

TEST_F(Avqdump, OutputThatCannotBeWrittenIsAnError) {
    write("q.txt", four_column(make_rows(512)));
    ASSERT_EQ(velkor({"-4", "q.txt", "a.avq"}).status, 0);
    const auto r =
        e2e::run_program("/bin/sh", {"-c", "exec \"$0\" a.avq > /dev/full", AVQDUMP}, dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("avqdump: error writing standard output"), std::string::npos) << r.err;
}

} // namespace
