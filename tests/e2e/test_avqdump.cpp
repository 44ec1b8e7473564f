// avqdump against velkor: what velkor writes, avqdump reads back (within the
// 16-bit truncation of the binary form, exactly in the ASCII form), in every
// input layout; the --info summary, as text and JSON; CSV rows; the SVG
// picture, rendered and looked at; standard input; and avqdump's errors and
// exit status.
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
    std::vector<Row> rows(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        Row& r = rows[static_cast<std::size_t>(i)];
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
    // Writes `rows` into the four-column q.txt (without its comment line
    // unless `comment`) and converts it with `options` into `out`.
    void convert(const std::vector<Row>& rows, std::vector<std::string> options,
                 const std::string& out, bool comment = true) {
        const std::string text = four_column(rows);
        write("q.txt", comment ? text : text.substr(text.find('\n') + 1));
        options.insert(options.begin(), "-4");
        options.insert(options.end(), {"q.txt", out});
        ASSERT_EQ(velkor(options).status, 0);
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
            for (unsigned c = 0; c < 3; ++c) {
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
            for (unsigned c = 0; c < 3; ++c) {
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
        "runs: 1, at 100 samples per second (fitted to the block times)\n"
        "run 1: block 0, 22:13:32Z (no date)\n"
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
    // Block 2 starts 100 s later than the steps of 5.12 s would have it: a
    // second run.
    EXPECT_NE(r.out.find("block times: irregular, steps from 5.12 to 105.12 s; block 2 is the "
                         "first whose step differs from the first step (5.12 s)\n"
                         "runs: 2, at 100 samples per second (fitted to the block times)\n"
                         "run 1: block 0, 2023-11-14T22:13:32.25Z\n"
                         "run 2: block 2, 2023-11-14T22:15:22.49Z\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("16-bit"), std::string::npos);
    const std::string json = avqdump({"--json", "out.txt"}).out;
    EXPECT_NE(json.find("\"sampling_frequency\":{\"hz\":100.0,\"from\":\"block_times\"},"
                        "\"dated\":true,\"run_count\":2,\"runs\":[{\"first_block\":0,\"blocks\":2,"
                        "\"start\":1700000012.25,\"utc\":\"2023-11-14T22:13:32.25Z\"},"
                        "{\"first_block\":2,\"blocks\":1,\"start\":1700000122.49,"
                        "\"utc\":\"2023-11-14T22:15:22.49Z\"}]}"),
              std::string::npos)
        << json;
}

TEST_F(Avqdump, DamagedFilesAreRefusedWithStatusOne) {
    write("q.txt", four_column(make_rows(512)));
    ASSERT_EQ(velkor({"-4", "q.txt", "good.avq"}).status, 0);
    const std::string good = read("good.avq");
    write("cut.avq", good.substr(0, good.size() - 10));

    ASSERT_EQ(velkor({"-4", "--ascii", "q.txt", "good.txt"}).status, 0);
    std::string text = read("good.txt");
    text.erase(text.rfind(' '), 2); // drop the last value of channel 3
    write("short.txt", text);
    // Files that are no AVQ files are refused as such, whatever the mode.
    write("passwd", "root:x:0:0:root:/root:/bin/bash\n");
    write("crlf.txt", "!station\r\n1700000012.25 1 2 3\r\n");
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"cut.avq"},
         "cut.avq: binary data after the header is 3074 bytes, not a whole number of 3084-byte "
         "records (0 whole records and 3074 bytes left over)\n"},
        {{"--info", "short.txt"},
         "short.txt: line 4 (block 0, channel 3): 513 fields, expected 514 (minute, second and "
         "512 values)\n"},
        {{"missing.avq"}, "missing.avq: cannot open: No such file or directory\n"},
        {{"--csv", "passwd"},
         "passwd: the first line does not begin with \"!\", not an AVQ file\n"},
        {{"--info", "crlf.txt"},
         "crlf.txt: the first line ends in a carriage return and a line feed, and no binary "
         "records follow: not an AVQ file (a text file with CR LF line ends?)\n"},
        {{"q.txt"},
         "q.txt: line 2 (block 0, channel 1): 4 fields, expected 514 (minute, second and 512 "
         "values)\n"},
    };
    for (const auto& [args, err] : refused) {
        const auto r = avqdump(args);
        EXPECT_EQ(r.status, 1) << err;
        EXPECT_EQ(r.out, "") << err; // refused before anything is printed
        EXPECT_EQ(r.err, "avqdump: " + err);
    }

    // A bad file among good ones: the others are still read, the status is 1.
    const auto r = avqdump({"--info", "good.avq", "cut.avq", "good.txt"});
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
    EXPECT_EQ(avqdump({"-v"}).out, r.out); // as velkor has it
    EXPECT_EQ(avqdump({"--version"}).out, r.out);

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
    const auto r = shell("exec \"$0\" a.avq > /dev/full", {}, AVQDUMP);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("avqdump: error writing standard output"), std::string::npos) << r.err;
}

bool have_tool(const std::string& name) {
    return e2e::run_program("/bin/sh", {"-c", "command -v " + name}, "/").status == 0;
}

TEST_F(Avqdump, PlotIsAPictureOfTheDataWithItsGapMarked) {
    // 12000 rows (24 blocks, more samples than pixel columns), 100 s missing
    // after row 5000; no date in the header.
    convert(make_rows(12000, 5000), {}, "out.avq");
    const auto r = avqdump({"--plot", "pic.svg", "out.avq"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    const std::string svg = read("pic.svg");
    EXPECT_LT(svg.size(), 200000u);
    for (const char* part : {"<title>!station test</title>", "24 blocks of 512 samples",
                             "the block times hold the minute of the day only, no date",
                             "a sample every 0.01 s (fitted to the block times)",
                             "2 runs, the break between them marked in red", ">22:14:00</text>",
                             "UTC time of the day (the file holds no date)", ">ch2: min ",
                             ">stored 16-bit numbers</text>", "fill-opacity=\"0.08\""}) {
        EXPECT_NE(svg.find(part), std::string::npos) << part;
    }
    // "-" writes the same picture to standard output.
    EXPECT_EQ(avqdump({"--plot", "-", "out.avq"}).out, svg);

    if (!have_tool("rsvg-convert") || !have_tool("python3")) {
        GTEST_SKIP() << "rsvg-convert (librsvg2-bin) or python3 is not installed: the SVG was "
                        "not rendered";
    }
    // Rendered, it shows the three channels' colours and the red mark.
    const auto check =
        e2e::run_program("/usr/bin/env",
                         {"python3", e2e::source_path("tests/check_plot.py"), "pic.svg", "pic.png",
                          "#1f5fa8", "#2a8a3c", "#7b3fa0", "#d40000"},
                         dir());
    EXPECT_EQ(check.status, 0) << check.out << check.err;
}

TEST_F(Avqdump, ReadmePictureIsWhatTheDocumentedCommandsDraw) {
    for (const char* f : {"station-time.txt", "station-v1.txt", "station-v2.txt", "station-v3.txt"})
        write(f, e2e::read_file(e2e::source_path(std::string("examples/") + f)));
    ASSERT_EQ(velkor({"--ascii", "-t", "station-time.txt", "station-v1.txt", "station-v2.txt",
                      "station-v3.txt", "example.txt"})
                  .status,
              0);
    ASSERT_EQ(avqdump({"--plot", "example.svg", "example.txt"}).status, 0);
    EXPECT_TRUE(read("example.svg") == e2e::read_file(e2e::source_path("doc/avqdump-plot.svg")))
        << "doc/avqdump-plot.svg (and the PNG made from it) no longer show what avqdump draws: "
           "make them again with the README's commands";
}

TEST_F(Avqdump, JsonInfoParsesWhateverTheHeaderHolds) {
    if (!have_tool("python3")) GTEST_SKIP() << "python3 is not installed";
    convert(make_rows(512), {}, "good.avq");
    const std::string good = read("good.avq");
    const std::string records = good.substr(good.find('\r'));
    // Quotes, backslashes, control characters, a byte that is not UTF-8.
    const std::string header = std::string("!say \"hi\" C:\\x\ttab\x01\x1b\x7f \xff\xc3\xb6 ") +
                               std::string(1, '\0') + "end";
    write("odd.avq", header + records);
    const auto r = avqdump({"--json", "odd.avq"});
    ASSERT_EQ(r.status, 0) << r.err;
    write("odd.json", r.out);
    // It parses, and the header comes back byte for byte, the stray byte as
    // U+FFFD.
    const auto back = e2e::run_program(
        "/usr/bin/env",
        {"python3", "-c",
         "import json,sys; sys.stdout.buffer.write(json.load(open('odd.json'))['header']"
         ".encode())"},
        dir());
    std::string expected = header;
    expected.replace(expected.find('\xff'), 1, "\xEF\xBF\xBD");
    EXPECT_EQ(back.out, expected);
    for (const char* part : {"\"blocks\":1,\"samples_per_channel\":512,",
                             "\"first_block_time\":{\"stored\":[1333,32],\"seconds_of_day\":80012,"
                             "\"utc\":\"22:13:32Z\"}",
                             "{\"channel\":1,\"at_32767\":0,\"at_minus_32768\":0}"}) {
        EXPECT_NE(r.out.find(part), std::string::npos) << part << "\n" << r.out;
    }
    // One object per file and line; ASCII times carry the date.
    ASSERT_EQ(velkor({"-4", "--ascii", "q.txt", "good.txt"}).status, 0);
    const auto two = avqdump({"--info", "--json", "good.avq", "good.txt"});
    ASSERT_EQ(two.status, 0);
    const auto newline = two.out.find('\n');
    ASSERT_NE(newline, std::string::npos);
    EXPECT_EQ(two.out.find('\n', newline + 1), two.out.size() - 1);
    EXPECT_NE(two.out.find("\"utc\":\"2023-11-14T22:13:32.25Z\""), std::string::npos) << two.out;
}

TEST_F(Avqdump, CsvHasOneRowPerSampleWithItsUtcTime) {
    const auto rows = make_rows(1000);
    convert(rows, {"--ascii"}, "out.txt");
    auto r = avqdump({"--csv", "out.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    ASSERT_EQ(lines.size(), 1u + 1024);
    EXPECT_EQ(lines[0], "time_utc,block,sample,ch1,ch2,ch3");
    const auto row = [&](std::size_t i, const std::string& time) {
        return time + "," + std::to_string(i / 512) + "," + std::to_string(i % 512) + "," +
               rows[i].text[0] + "," + rows[i].text[1] + "," + rows[i].text[2];
    };
    EXPECT_EQ(lines[1], row(0, "2023-11-14T22:13:32.250000Z"));
    // Samples follow at the interval of the block steps (5.12 s / 512).
    EXPECT_EQ(lines[2], row(1, "2023-11-14T22:13:32.260000Z"));
    EXPECT_EQ(lines[513], row(512, "2023-11-14T22:13:37.370000Z"));
    EXPECT_EQ(lines[1024], "2023-11-14T22:13:42.480000Z,1,511,0,0,0"); // the zero fill

    // Binary, built header: whole-second block time, sampfrek 100 and the
    // header's date.
    convert(rows, {}, "out.avq", false);
    r = avqdump({"--csv", "out.avq"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n', 40) + 1),
              "time_utc,block,sample,ch1,ch2,ch3\n2023-11-14T22:13:32.000000Z,0,0,0,12,0\n");
    EXPECT_NE(r.out.find("\n2023-11-14T22:13:32.050000Z,0,5,"), std::string::npos);
}

// Microseconds of a CSV time: "2026-01-02T00:00:25.600000Z" (its time of the
// day) or "25.600000" (seconds).
long long csv_micros(const std::string& t) {
    const std::size_t tee = t.find('T');
    long long whole = 0;
    std::size_t at = tee + 1; // 0 for seconds
    if (tee != std::string::npos) {
        whole = (std::stoll(t.substr(at, 2)) * 60 + std::stoll(t.substr(at + 3, 2))) * 60;
        at += 6;
    }
    const std::size_t dot = t.find('.', at);
    return (whole + std::stoll(t.substr(at, dot - at))) * 1000000 +
           std::stoll(t.substr(dot + 1, 6));
}

// The README's examples: the four-column file gets a built header (sampfrek
// and date), the three two-column files keep one of their own (neither).
// Their blocks of 25.6 s are stored as whole seconds; the samples still
// follow one another at 1 / 20 s, across every block boundary.
TEST_F(Avqdump, CsvTimesOfTheReadmeExamplesIncreaseBySampleInterval) {
    for (const char* f :
         {"station-4col.txt", "station-ch1.txt", "station-ch2.txt", "station-ch3.txt"})
        write(f, e2e::read_file(e2e::source_path(std::string("examples/") + f)));
    ASSERT_EQ(velkor({"-4", "station-4col.txt", "a4.avq"}).status, 0);
    ASSERT_EQ(
        velkor({"-s", "1000", "station-ch1.txt", "station-ch2.txt", "station-ch3.txt", "user.avq"})
            .status,
        0);
    struct Case {
        const char* file;
        const char* first_row;
        const char* err;
        const char* runs;
    };
    const Case cases[] = {
        {"a4.avq", "time_utc,block,sample,ch1,ch2,ch3\n2026-01-02T00:00:00.000000Z,0,0,", "",
         "runs: 1, at 20 samples per second (sampfrek in the header)\n"
         "run 1: block 0, 2026-01-02T00:00:00Z\n"},
        {"user.avq", "seconds,block,sample,ch1,ch2,ch3\n0.000000,0,0,",
         "avqdump: user.avq: the file holds no date: column seconds counts from the midnight of "
         "its first block's day\n",
         "runs: 1, at 20 samples per second (fitted to the block times)\n"
         "run 1: block 0, 00:00:00Z (no date)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const auto r = avqdump({"--csv", c.file});
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.rfind(c.first_row, 0), 0u) << r.out.substr(0, 80);
        std::istringstream in(r.out);
        std::string line;
        std::getline(in, line);
        long long prev = -1, rows = 0;
        while (std::getline(in, line)) {
            const long long us = csv_micros(line.substr(0, line.find(',')));
            if (prev >= 0) {
                ASSERT_EQ(us - prev, 50000) << "row " << rows << ": " << line;
            }
            prev = us;
            ++rows;
        }
        EXPECT_EQ(rows, 5 * 512);
        const std::string info = avqdump({"--info", c.file}).out;
        EXPECT_NE(info.find(c.runs), std::string::npos) << info;
    }
}

TEST_F(Avqdump, DashReadsStandardInput) {
    convert(make_rows(1024), {}, "out.avq");
    ASSERT_EQ(velkor({"-4", "--ascii", "q.txt", "out.txt"}).status, 0);
    for (const std::string f : {"out.avq", "out.txt"}) {
        const std::string info = avqdump({"--info", f}).out;
        // Redirected (a file that can seek) and piped (one that cannot).
        auto r = shell("exec \"$0\" --info - < " + f, {}, AVQDUMP);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "file: -" + info.substr(info.find('\n')));
        r = shell("cat " + f + " | \"$0\" -", {}, AVQDUMP);
        EXPECT_EQ(r.out, avqdump({f}).out);
    }
    // velkor and avqdump in one pipe, as the manual shows: a day converted
    // from standard input to standard output and summarised.
    const auto p = shell("\"$1\" -4 - - < q.txt | \"$0\" --info -", {VELKOR_BIN}, AVQDUMP);
    EXPECT_EQ(p.status, 0) << p.err;
    const std::string info = avqdump({"--info", "out.avq"}).out;
    EXPECT_EQ(p.out, "file: -" + info.substr(info.find('\n')));
    EXPECT_EQ(p.err.substr(0, p.err.find('\n') + 1), "-->-\n");

    // --csv reads standard input twice, the second time from a copy.
    const auto csv = shell("cat out.avq | \"$0\" --csv -", {}, AVQDUMP);
    EXPECT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.out, avqdump({"--csv", "out.avq"}).out);

    // A damaged file on standard input is still found out.
    write("cut.avq", read("out.avq").substr(0, 5000));
    auto r = shell("cat cut.avq | \"$0\" --csv -", {}, AVQDUMP);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("avqdump: -: binary data after the header is"), std::string::npos)
        << r.err;
}

TEST_F(Avqdump, NormaltimeOnUnixTimesIsAnError) {
    convert(make_rows(1024), {"--unixtime"}, "unix.avq", false);
    const std::string bytes = read("unix.avq");
    write("plain.avq", "!station" + bytes.substr(bytes.find('\r')));
    for (const char* mode : {"--info", "--json", "--csv"}) {
        auto r = avqdump({mode, "--normaltime", "unix.avq"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "avqdump: unix.avq: --normaltime: the block times are Unix times (the "
                         "header begins with \"!U\"), not minute of the day and second\n");
        r = avqdump({mode, "--normaltime", "plain.avq"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "avqdump: plain.avq: --normaltime: the block times are Unix times, not "
                         "minute of the day and second (block 0 holds 61708 25939)\n");
    }
    EXPECT_EQ(avqdump({"--plot", "x.svg", "--normaltime", "unix.avq"}).status, 1);
    EXPECT_FALSE(exists("x.svg"));
    // Without the option the values tell the time form.
    EXPECT_NE(avqdump({"--info", "plain.avq"})
                  .out.find("time form: 32-bit seconds since 1970-01-01 UTC (the values are no "
                            "minute of the day and second)"),
              std::string::npos);
}

TEST_F(Avqdump, ModesThatCannotGoTogetherAreRefused) {
    convert(make_rows(512), {}, "a.avq");
    write("b.avq", read("a.avq"));
    const std::string not_svg = " exists and is not an SVG picture; it is left as it is\n";
    const std::string help = "Try 'avqdump --help' for more information.\n";
    const std::string both = "avqdump: --info, --csv and --plot exclude each other\n" + help;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--csv", "a.avq", "a.avq"}, "avqdump: --csv takes one AVQ file, 2 are named\n" + help},
        {{"--plot", "p.svg", "a.avq", "a.avq"},
         "avqdump: --plot takes one AVQ file, 2 are named\n" + help},
        {{"--info", "--csv", "a.avq"}, both},
        {{"--json", "--plot", "p.svg", "a.avq"}, both},
        {{"--info", "-", "-"}, "avqdump: standard input (-) is named more than once\n" + help},
        {{"--csv"}, "avqdump: no AVQ file named\n" + help},
        // A picture that cannot be written; a device is written in place,
        // never replaced or removed.
        {{"--plot", "no/dir/p.svg", "a.avq"},
         "avqdump: a.avq: cannot write the picture to no/dir/p.svg: No such file or directory\n"},
        {{"--plot", "/dev/full", "a.avq"},
         "avqdump: a.avq: cannot write the picture to /dev/full: No space left on device\n"},
        // A picture over a file that is no SVG picture (the data file named
        // by a slip), before anything is read.
        {{"--plot", "b.avq", "a.avq"}, "avqdump: b.avq" + not_svg},
        {{"--plot", "q.txt", "a.avq"}, "avqdump: q.txt" + not_svg},
    };
    const std::string q = read("q.txt");
    for (const auto& [args, err] : cases) {
        const auto r = avqdump(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, err);
    }
    EXPECT_TRUE(read("b.avq") == read("a.avq"));
    EXPECT_EQ(read("q.txt"), q);
    EXPECT_TRUE(e2e::file_exists("/dev/full"));
    // A picture cut by a file size limit: the write fails (no temporary
    // file is left), and one that fits replaces an earlier picture.
    write("p.svg", "\n  <svg>earlier</svg>");
    auto r = shell("ulimit -f 8; exec \"$0\" --plot p.svg a.avq", {}, AVQDUMP);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "avqdump: a.avq: cannot write the picture to p.svg: File too large\n");
    EXPECT_EQ(read("p.svg"), "\n  <svg>earlier</svg>");
    EXPECT_EQ(testfiles::list_dir(dir()),
              (std::vector<std::string>{"a.avq", "b.avq", "logfile", "p.svg", "q.txt"}));
    EXPECT_EQ(avqdump({"--plot", "p.svg", "a.avq"}).status, 0);
    EXPECT_EQ(read("p.svg").rfind("<?xml", 0), 0u);
}

} // namespace
