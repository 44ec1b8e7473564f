// The AVQ reader behind avqdump: form detection, decoding of the binary
// records, and the strict checks of both forms; the sample times of a file
// (libavq's timeline); and what avqdump's summary and picture make of them.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include <avq/reader.h>

using avq::Block;
using avq::Form;
using avq::FormatError;
using avq::Reader;

namespace {

void put16(std::string& s, std::uint16_t v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>(v >> 8));
}

// One binary record: every channel gets the time words (w0, w1) unless
// `w0_of` says otherwise, and sample j of channel c is value(c, j).
std::string record(std::uint16_t w0, std::uint16_t w1, auto value,
                   const std::uint16_t w0_of[3] = nullptr) {
    std::string r;
    for (int c = 0; c < 3; ++c) {
        put16(r, w0_of ? w0_of[c] : w0);
        put16(r, w1);
        for (unsigned j = 0; j < 512; ++j)
            put16(r, static_cast<std::uint16_t>(value(c, j)));
    }
    return r;
}

std::string ascii_line(const std::string& m, const std::string& s, const std::string& value,
                       unsigned values = 512) {
    std::string l = m + " " + s;
    for (unsigned j = 0; j < values; ++j)
        l += " " + value;
    return l + "\n";
}

std::string ascii_block(const std::string& m = "28333333", const std::string& s = "32.25") {
    return ascii_line(m, s, "1") + ascii_line(m, s, "2") + ascii_line(m, s, "3");
}

// Reads every block; returns the number read. Rethrows the reader's errors.
std::uint64_t read_all(const std::string& bytes) {
    std::istringstream in(bytes);
    Reader r(in);
    Block b;
    std::uint64_t n = 0;
    while (r.next(b))
        ++n;
    return n;
}

// The message of the FormatError that reading `bytes` raises ("" if none).
std::string error_of(const std::string& bytes) {
    try {
        read_all(bytes);
    } catch (const FormatError& e) {
        return e.what();
    }
    return "";
}

// A stream that cannot seek, like a pipe.
class PipeBuf : public std::streambuf {
  public:
    explicit PipeBuf(std::string s) : data_(std::move(s)) {
        setg(data_.data(), data_.data(), data_.data() + data_.size());
    }

  private:
    std::string data_;
};

} // namespace

TEST(AvqReader, BinaryFormIsToldByCarriageReturnAndDecodedLittleEndian) {
    const std::string header = "!S512Tidserier sampfrek: 100 gain: 1 station: x";
    const auto value = [](int c, unsigned j) {
        return static_cast<std::int16_t>(j == 0   ? -32768
                                         : j == 1 ? 32767
                                                  : (c + 1) * 100 - static_cast<int>(j));
    };
    const std::string file = header + "\r" + record(754, 56, value) + record(754, 61, value);
    std::istringstream in(file);
    Reader r(in);
    EXPECT_EQ(r.form(), Form::binary);
    EXPECT_EQ(r.header(), header);

    Block b;
    ASSERT_TRUE(r.next(b));
    EXPECT_EQ(b.index, 0u);
    EXPECT_EQ(b.time.word0, 754);
    EXPECT_EQ(b.time.word1, 56);
    EXPECT_EQ(b.samples[0][0], -32768);
    EXPECT_EQ(b.samples[1][1], 32767);
    EXPECT_EQ(b.samples[2][511], 300 - 511);
    EXPECT_EQ(b.samples[0][2], 100 - 2);
    ASSERT_TRUE(r.next(b));
    EXPECT_EQ(b.index, 1u);
    EXPECT_EQ(b.time.word1, 61);
    EXPECT_FALSE(r.next(b));
}

TEST(AvqReader, HeaderWithoutRecordsIsAValidEmptyFile) {
    EXPECT_EQ(read_all("!header\r"), 0u);
    EXPECT_EQ(read_all("!header\n"), 0u);
    EXPECT_EQ(read_all("!\r"), 0u); // a header comment of "!" alone
}

TEST(AvqReader, BinaryLengthMustBeWholeRecords) {
    const auto zero = [](int, unsigned) { return 0; };
    const std::string good = "!h\r" + record(1, 2, zero);
    EXPECT_EQ(read_all(good), 1u);
    EXPECT_EQ(read_all(good + record(1, 3, zero)), 2u);

    // One byte short and one byte too many: refused before the first block
    // is handed out, so that nothing of a damaged file is printed.
    for (const std::string& bad :
         {good.substr(0, good.size() - 1), good + "x", good + record(1, 3, zero).substr(0, 100)}) {
        std::istringstream in(bad);
        try {
            Reader r(in);
            FAIL() << "accepted a file of " << bad.size() << " bytes";
        } catch (const FormatError& e) {
            EXPECT_NE(std::string(e.what()).find("not a whole number of 3084-byte records"),
                      std::string::npos)
                << e.what();
        }
    }
    EXPECT_NE(error_of(good + "x").find("3085 bytes"), std::string::npos);
    EXPECT_NE(error_of(good + "x").find("1 whole records and 1 bytes left over"),
              std::string::npos);
}

TEST(AvqReader, BinaryLengthIsCheckedOnStreamsThatCannotSeek) {
    const auto zero = [](int, unsigned) { return 0; };
    PipeBuf buf("!h\r" + record(1, 2, zero) + "abc");
    std::istream in(&buf);
    Reader r(in);
    Block b;
    ASSERT_TRUE(r.next(b)); // the whole first record is good
    try {
        r.next(b);
        FAIL() << "a 3-byte tail was accepted";
    } catch (const FormatError& e) {
        EXPECT_NE(std::string(e.what()).find("3087 bytes"), std::string::npos) << e.what();
    }
}

TEST(AvqReader, ChannelsOfABinaryBlockMustShareTheTimeHeader) {
    const std::uint16_t w0[3] = {754, 754, 755};
    const std::string msg = error_of("!h\r" + record(
                                                  754, 56, [](int, unsigned) { return 0; }, w0));
    EXPECT_NE(msg.find("block 0: the time header of channel 3 (755 56) differs"), std::string::npos)
        << msg;
}

TEST(AvqReader, RecordsReadInBatchesAreCheckedAsBlocksAre) {
    const auto value = [](int c, unsigned j) { return c * 1000 + static_cast<int>(j); };
    const std::uint16_t w0[3] = {754, 755, 754};
    const std::string file = "!h\r" + record(754, 56, value) + record(754, 61, value) +
                             record(754, 66, value, w0) + record(754, 71, value);
    std::istringstream in(file);
    Reader r(in);
    Block b;
    ASSERT_TRUE(r.next(b)); // block 0 one way, blocks 1 and 2 the other
    std::vector<unsigned char> records(4 * avq::RECORD_BYTES);
    ASSERT_EQ(r.next_records(records.data(), 1), 1u);
    EXPECT_EQ(avq::get_le16(records.data() + 2), 61);
    EXPECT_EQ(avq::get_le16(records.data() + avq::sample_offset(2, 511)), 2511);
    try {
        r.next_records(records.data(), 4);
        FAIL() << "block 2 was accepted";
    } catch (const FormatError& e) {
        EXPECT_STREQ(e.what(), "block 2: the time header of channel 2 (755 66) differs from "
                               "channel 1's (754 66)");
    }
    PipeBuf cut("!h\r" + record(1, 2, value) + "abc");
    std::istream piped(&cut);
    Reader r2(piped);
    try {
        r2.next_records(records.data(), 4);
        FAIL() << "a 3-byte tail was accepted";
    } catch (const FormatError& e) {
        EXPECT_NE(std::string(e.what()).find("3087 bytes"), std::string::npos) << e.what();
    }
    std::istringstream ascii("!h\n" + ascii_block());
    Reader r3(ascii);
    EXPECT_THROW(r3.next_records(records.data(), 1), std::logic_error);
}

TEST(AvqReader, HeaderLineMustEnd) {
    EXPECT_NE(error_of("").find("empty file"), std::string::npos);
    EXPECT_NE(error_of("!no line end").find("no header line"), std::string::npos);
    const std::string long_header = "!" + std::string(avq::MAX_HEADER_BYTES + 10, 'x');
    EXPECT_NE(error_of(long_header + "\r").find("no header line"), std::string::npos);
    EXPECT_EQ(read_all(long_header.substr(0, avq::MAX_HEADER_BYTES) + "\r"), 0u);
}

// The start of a file, whether it is all of it, and what recognise() makes
// of it; the Reader refuses the same files with the same words.
TEST(AvqRecognise, TellsAvqFilesFromTextAsTheReaderDoes) {
    const auto zero = [](int, unsigned) { return 0; };
    const std::string l = ascii_line("0", "5", "1");
    // A block time of minute 10 of the day: the record begins with a line feed.
    const std::string minute10 = "!h\r" + record(10, 0, zero);
    std::string cr_text = "!x\r";
    while (cr_text.size() < 4000)
        cr_text += "1262347509 1 2 3\r";
    const struct {
        std::string start;
        bool whole;
        std::string fault; // "" for an AVQ file
        Form form;
    } cases[] = {
        {"!h\r", true, "", Form::binary},
        {"!h\n", true, "", Form::ascii},
        {"!h\r" + record(1, 2, zero) + "cut", true, "", Form::binary}, // damaged further on
        {minute10, true, "", Form::binary},
        {"!h\n" + l + "more", false, "", Form::ascii},
        {"!h\n" + l.substr(0, 100), false, "", Form::ascii}, // cannot tell yet
        {"!h\n" + std::string(avq::MAX_BLOCK_LINE_BYTES + 1, '1'), false,
         "line 2 (block 0, channel 1): no line feed in its first 65536 bytes, not a block line",
         Form::binary},
        {"\r", true, "the first line does not begin with \"!\", not an AVQ file", Form::binary},
        {"!c\r\n1 2 3 4\r\n", true,
         "the first line ends in a carriage return and a line feed, and no binary records "
         "follow: not an AVQ file (a text file with CR LF line ends?)",
         Form::binary},
        {cr_text, false,
         "block 0: the time header of channel 2 (14640 12576) differs from channel 1's (12849 "
         "12854)",
         Form::binary},
        {"!h\r" + record(1, 2, zero).substr(0, 100), true,
         "binary data after the header is 100 bytes, not a whole number of 3084-byte records (0 "
         "whole records and 100 bytes left over)",
         Form::binary},
        {"!h\n" + l.substr(0, l.size() - 1), true,
         "line 2 (block 0, channel 1): the last line has no line feed (file cut short?)",
         Form::binary},
    };
    for (const auto& c : cases) {
        const avq::Recognition r = avq::recognise(c.start, c.whole);
        EXPECT_EQ(r.avq, c.fault.empty()) << c.start.substr(0, 40);
        EXPECT_EQ(r.fault, c.fault);
        if (r.avq) {
            EXPECT_EQ(r.form, c.form) << c.start.substr(0, 40);
        } else if (c.whole) {
            EXPECT_EQ(error_of(c.start), c.fault);
        }
    }
    EXPECT_EQ(read_all(minute10), 1u);
}

TEST(AvqReader, AsciiFormKeepsFieldsAsStored) {
    const std::string file = "!S header\n" + ascii_line("28333333", "32.25", "0.33333333333333") +
                             ascii_line("28333333", "32.25", "-2.5") +
                             ascii_line("28333333", "32.25", "1.2345678901235e+17") +
                             ascii_block("28333333", "37.37");
    std::istringstream in(file);
    Reader r(in);
    EXPECT_EQ(r.form(), Form::ascii);
    EXPECT_EQ(r.header(), "!S header");
    Block b;
    ASSERT_TRUE(r.next(b));
    EXPECT_EQ(b.fields[0][0], "28333333");
    EXPECT_EQ(b.fields[0][1], "32.25");
    EXPECT_EQ(b.ascii_minute, 28333333.0);
    EXPECT_EQ(b.ascii_second, 32.25);
    EXPECT_EQ(b.fields[0][2], "0.33333333333333");
    EXPECT_EQ(b.fields[1][513], "-2.5");
    EXPECT_EQ(b.fields[2][300], "1.2345678901235e+17");
    ASSERT_TRUE(r.next(b));
    EXPECT_EQ(b.index, 1u);
    EXPECT_EQ(b.fields[2][1], "37.37");
    EXPECT_EQ(b.fields[2][2], "3");
    EXPECT_FALSE(r.next(b));
}

TEST(AvqReader, AsciiLinesMustHave514Fields) {
    const std::string h = "!h\n";
    const std::string l = ascii_line("0", "5", "1");
    EXPECT_EQ(read_all(h + l + l + l), 1u);

    const std::string short_line = ascii_line("0", "5", "1", 511);
    std::string msg = error_of(h + l + short_line + l);
    EXPECT_NE(msg.find("line 3 (block 0, channel 2): 513 fields, expected 514"), std::string::npos)
        << msg;
    msg = error_of(h + l + l + ascii_line("0", "5", "1", 513));
    EXPECT_NE(msg.find("line 4 (block 0, channel 3): 515 fields"), std::string::npos) << msg;
    // An empty line, a double space, a space at either end.
    EXPECT_NE(error_of(h + "\n" + l + l).find("empty field"), std::string::npos);
    std::string doubled = l;
    doubled.replace(doubled.find(' '), 1, "  ");
    EXPECT_NE(error_of(h + doubled + l + l).find("empty field"), std::string::npos);
    EXPECT_NE(error_of(h + " " + l + l + l).find("empty field"), std::string::npos);
    std::string trailing = l;
    trailing.insert(trailing.size() - 1, " ");
    EXPECT_NE(error_of(h + l + trailing + l).find("empty field"), std::string::npos);
}

TEST(AvqReader, AsciiFieldsMustBeNumbers) {
    const std::string h = "!h\n";
    const std::string l = ascii_line("0", "5", "1");
    std::string bad = l;
    bad.replace(bad.rfind(" 1"), 2, " 1,5");
    const std::string msg = error_of(h + l + l + bad);
    EXPECT_NE(msg.find("line 4 (block 0, channel 3): field 514 is not a number: \"1,5\""),
              std::string::npos)
        << msg;
    EXPECT_NE(error_of(h + ascii_line("x", "5", "1") + l + l).find("field 1 is not a number"),
              std::string::npos);
}

TEST(AvqReader, AsciiBlocksMustBeWholeAndConsistent) {
    const std::string h = "!h\n";
    const std::string l = ascii_line("0", "5", "1");
    EXPECT_NE(error_of(h + l + l + l + l).find("ends inside block 1, after 1 of its 3 lines"),
              std::string::npos);
    EXPECT_NE(error_of(h + l + l).find("ends inside block 0, after 2 of its 3 lines"),
              std::string::npos);
    // A file cut in the middle of its last line.
    const std::string cut = l.substr(0, l.size() - 1);
    EXPECT_NE(error_of(h + l + l + cut).find("no line feed"), std::string::npos);
    // CR LF line ends.
    std::string crlf = l;
    crlf.insert(crlf.size() - 1, "\r");
    EXPECT_NE(error_of(h + crlf + crlf + crlf).find("carriage return"), std::string::npos);
    // The three lines of a block carry the same minute and second.
    const std::string msg = error_of(h + l + ascii_line("0", "5.5", "1") + l);
    EXPECT_NE(msg.find("channel 2): the block time (0 5.5) differs from channel 1's (0 5)"),
              std::string::npos)
        << msg;
}

TEST(AvqReader, SplitAndParseFollowTheWritersNotation) {
    std::array<std::string_view, avq::ASCII_FIELDS> f{};
    EXPECT_EQ(avq::split_fields("a b c", f), 3);
    EXPECT_EQ(f[1], "b");
    EXPECT_EQ(avq::split_fields("a", f), 1);
    EXPECT_EQ(avq::split_fields("", f), -1);
    EXPECT_EQ(avq::split_fields("a  b", f), -1);

    double v = 0;
    for (const char* good : {"0", "-0", "2", "1e-05", "1.2345678901235e+17", "-2.5", "inf", "-inf",
                             "nan", "-nan", "28333333"}) {
        EXPECT_TRUE(avq::parse_number(good, v)) << good;
    }
    EXPECT_TRUE(avq::parse_number("1e-05", v));
    EXPECT_EQ(v, 1e-05);
    for (const char* bad : {"", "+1", " 1", "1 ", "0x10", "1,5", "1.5.2", "e5", "-", "1e999"}) {
        EXPECT_FALSE(avq::parse_number(bad, v)) << bad;
    }
}

// --- sample times: libavq's timeline ---------------------------------------------

#include <cmath>

#include <avq/timeline.h>

namespace {

using avq::FrequencySource;

const auto zero = [](int, unsigned) { return 0; };

// A binary file of `header` whose blocks have these block times: seconds of
// the day, as minute and second, or with `unix_seconds` seconds since 1970.
std::string binary_file(const std::string& header, const std::vector<std::int64_t>& times,
                        bool unix_seconds = false) {
    std::string f = header + "\r";
    for (std::int64_t t : times) {
        const avq::TimeHeader w = unix_seconds
                                      ? avq::unix_header(t)
                                      : avq::TimeHeader{static_cast<std::uint16_t>(t / 60),
                                                        static_cast<std::uint16_t>(t % 60)};
        f += record(w.word0, w.word1, zero);
    }
    return f;
}

// An ASCII file of `header` whose blocks have these (minute, second) fields.
std::string ascii_file(const std::string& header,
                       const std::vector<std::pair<std::string, std::string>>& times) {
    std::string f = header + "\n";
    for (const auto& [m, sec] : times)
        f += ascii_block(m, sec);
    return f;
}

avq::Timeline timeline_of(const std::string& bytes,
                          avq::BlockTimeForm asked = avq::BlockTimeForm::guess) {
    std::istringstream in(bytes);
    Reader r(in);
    return avq::read_timeline(r, asked);
}

const std::string S20 = "!S512Tidserier sampfrek: 20 gain: 1 station: x";
const std::string S100 = "!S512Tidserier sampfrek: 100 gain: 1 station: x";
const std::string DATE = " date: 2026-01-02 time: 00:00:00";
constexpr double JAN2 = 1767312000; // 2026-01-02T00:00:00Z

// The block times of `blocks` blocks of 512 samples at `fs` from `start`,
// truncated to the second as the binary form stores them.
std::vector<std::int64_t> truncated(double start, double fs, int blocks) {
    std::vector<std::int64_t> t;
    for (int k = 0; k < blocks; ++k)
        t.push_back(static_cast<std::int64_t>(std::floor(start + k * 512 / fs)));
    return t;
}

} // namespace

TEST(Timeline, RunsFrequencyAndDates) {
    struct Case {
        const char* what;
        std::string file;
        double fs; // NaN: unknown
        FrequencySource from;
        bool dated;
        std::vector<std::pair<std::uint64_t, double>> runs; // first block, start
    };
    const double nan = NAN;
    const std::vector<Case> cases = {
        {"blocks of 25.6 s stored as whole seconds",
         binary_file(S20 + DATE, {0, 25, 51, 76, 102}),
         20,
         FrequencySource::header,
         true,
         {{0, JAN2}}},
        {"a user's header: fitted to the block times, undated",
         binary_file("! station IS99, 20 Hz", {0, 25, 51, 76, 102}),
         20,
         FrequencySource::fitted,
         false,
         {{0, 0}}},
        {"a start between seconds: the largest lower bound",
         binary_file(S20, truncated(0.7, 20, 5)),
         20,
         FrequencySource::header,
         false,
         {{0, 0.6}}},
        {"a real gap begins a second run",
         binary_file(S20, {0, 25, 51, 200, 225}),
         20,
         FrequencySource::header,
         false,
         {{0, 0}, {3, 200}}},
        {"fitted across a gap",
         binary_file("!h", {0, 25, 51, 76, 300, 325, 351}),
         20,
         FrequencySource::fitted,
         false,
         {{0, 0}, {4, 300}}},
        {"a rate that is not round, fitted from 50 blocks",
         binary_file("!h", truncated(7, 19.98, 50)),
         19.98,
         FrequencySource::fitted,
         false,
         {{0, 7}}},
        {"Unix times: dated, and a jump back begins a run",
         binary_file("!U512Tidserier sampfrek: 20",
                     {1700000000, 1700000025, 1700000051, 1700000010}, true),
         20,
         FrequencySource::header,
         true,
         {{0, 1700000000}, {3, 1700000010}}},
        {"Unix times that the values tell, three hours of 100 Hz: the true start",
         binary_file("!h", truncated(1700000000.52, 100, 2000), true),
         100,
         FrequencySource::fitted,
         true,
         {{0, 1700000000.52}}},
        {"one block and no sampfrek: no frequency",
         binary_file("!h", {5}),
         nan,
         FrequencySource::unknown,
         false,
         {{0, 5}}},
        {"two blocks in one second: any frequency would do",
         binary_file("!h", {5, 5}),
         nan,
         FrequencySource::unknown,
         false,
         {{0, 5}, {1, 5}}},
        {"no blocks", binary_file(S20, {}), 20, FrequencySource::header, false, {}},
        {"ASCII Unix times, fitted, with a gap",
         ascii_file("!no rate", {{"0", "1700000000"},
                                 {"0", "1700000005.12"},
                                 {"0", "1700000110.24"},
                                 {"0", "1700000115.36"}}),
         100,
         FrequencySource::fitted,
         true,
         {{0, 1700000000}, {2, 1700000110.24}}},
        {"ASCII: a block one sample late begins a run",
         ascii_file(S100, {{"28333333", "20"}, {"28333333", "25.12"}, {"28333333", "30.25"}}),
         100,
         FrequencySource::header,
         true,
         {{0, 1699999980 + 20}, {2, 1699999980 + 30.25}}},
        {"ASCII: a block time off by less than half a sample stays in the run",
         ascii_file(S100, {{"28333333", "20"}, {"28333333", "25.12"}, {"28333333", "30.243"}}),
         100,
         FrequencySource::header,
         true,
         {{0, 1699999980 + 20}}},
        {"ASCII: a block time that is no time",
         ascii_file(S100, {{"754", "56"}, {"-1", "0"}, {"755", "6.24"}}),
         100,
         FrequencySource::header,
         false,
         {{0, 754 * 60 + 56}, {1, nan}, {2, 755 * 60 + 6.24}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const avq::Timeline t = timeline_of(c.file);
        if (std::isnan(c.fs)) {
            EXPECT_TRUE(std::isnan(t.fs())) << t.fs();
        } else {
            EXPECT_DOUBLE_EQ(t.fs(), c.fs);
        }
        EXPECT_EQ(t.fs_source(), c.from);
        EXPECT_EQ(t.dated(), c.dated);
        ASSERT_EQ(t.runs().size(), c.runs.size());
        std::uint64_t blocks = 0;
        for (std::size_t r = 0; r < c.runs.size(); ++r) {
            EXPECT_EQ(t.runs()[r].first_block, c.runs[r].first);
            if (std::isnan(c.runs[r].second)) {
                EXPECT_TRUE(std::isnan(t.runs()[r].start));
            } else {
                EXPECT_NEAR(t.runs()[r].start, c.runs[r].second, 1e-6) << "run " << r;
            }
            blocks += t.runs()[r].blocks;
        }
        EXPECT_EQ(blocks, t.blocks());
        // Within a run the samples follow at 1 / fs, across block boundaries
        // too; without a frequency only a block's first sample has a time.
        for (std::uint64_t n = 1; n < t.samples(); ++n) {
            if (t.run_of(n / 512).first_block != t.run_of((n - 1) / 512).first_block) continue;
            if (std::isnan(c.fs)) {
                ASSERT_TRUE(std::isnan(t.offset(n))) << n;
            } else if (std::isfinite(t.time(n))) {
                ASSERT_NEAR(t.time(n) - t.time(n - 1), 1 / c.fs, 1e-6) << "sample " << n;
            }
        }
    }
}

TEST(Timeline, MinuteOfDayTimesAreDatedFromTheHeaderAndPassMidnight) {
    const avq::Timeline t = timeline_of(binary_file(S100 + " date: 2026-01-02", {86398, 3}));
    ASSERT_EQ(t.blocks(), 2u);
    EXPECT_EQ(t.block_times()[0], JAN2 + 86398);
    EXPECT_EQ(t.block_times()[1], JAN2 + 86400 + 3); // the next day
    EXPECT_EQ(t.runs().size(), 1u);                  // 5.12 s later: one run
    EXPECT_EQ(t.kind(), avq::TimeKind::minute_of_day);
    EXPECT_STREQ(t.kind_reason(), "the header begins with \"!S\"");
    // Without a date the seconds count from the first block's midnight.
    const avq::Timeline undated = timeline_of(binary_file(S100, {86398, 3}));
    EXPECT_FALSE(undated.dated());
    EXPECT_EQ(undated.block_times()[1], 86403);
    EXPECT_EQ(undated.time(512), 86398 + 5.12);
}

TEST(Timeline, MinuteSecondAskedOfUnixTimesIsRefused) {
    const std::string fits = record(754, 56, zero), unix_words = record(61708, 25939, zero);
    // A later block that is no minute of the day and second.
    try {
        timeline_of("!h\r" + fits + unix_words, avq::BlockTimeForm::minute_second);
        FAIL() << "accepted";
    } catch (const FormatError& e) {
        EXPECT_STREQ(e.what(), "the block times are Unix times, not minute of the day and second "
                               "(block 1 holds 61708 25939)");
    }
    // Guessed, one such block makes them all Unix times: 25939 × 65536 +
    // 61708 s.
    const avq::Timeline t = timeline_of("!h\r" + fits + unix_words);
    EXPECT_EQ(t.kind(), avq::TimeKind::unix_seconds);
    EXPECT_EQ(t.block_times()[1], 1700000012.0);
    EXPECT_STREQ(t.kind_reason(), "the values are no minute of the day and second");
}

TEST(Timeline, HeaderFields) {
    EXPECT_EQ(avq::header_sampfrek("!S512Tidserier sampfrek: 3.33333 gain: 1"), 3.33333);
    for (const char* none : {"!h", "sampfrek: inf", "sampfrek: -20", "sampfrek: 0", "sampfrek:"})
        EXPECT_EQ(avq::header_sampfrek(none), 0) << none;
    EXPECT_EQ(avq::header_date("x date: 2026-01-02 time: 00:00:00"), 1767312000);
    for (const char* none : {"date: 2026-02-31", "date: 2026-1-02 ", "date: 2026-01-0", "!h"})
        EXPECT_FALSE(avq::header_date(none)) << none;
}

// --- what avqdump makes of the blocks: escaping, the envelope, ticks -----------------

#include "plot_svg.h"
#include "summary.h"

TEST(Summary, IrregularStepsNameABlockThatHasAStep) {
    // Each step within 1 s of the first (25 s), but together 2 s apart: the
    // block named is one whose step differs, never block 0, which has none.
    const auto steps = [](std::initializer_list<double> times) {
        avqdump::Steps s(1);
        for (double t : times)
            s.add(t, false);
        return s;
    };
    EXPECT_EQ(steps({0, 25, 51, 75}).describe(), "irregular, steps from 24 to 26 s; block 2 is "
                                                 "the first whose step differs from the first "
                                                 "step (25 s)");
    EXPECT_EQ(steps({0, 25, 50, 150, 175}).first_irregular_block(), 3u);
    EXPECT_EQ(steps({0, 25, 51, 76}).first_irregular_block(), 0u);
    EXPECT_EQ(steps({0, 25, 51, 76}).describe(), "regular, one block every 25 to 26 s");
}

TEST(PlotSvg, XmlTextEscapesAndReplacesWhatXmlCannotHold) {
    using avqdump::xml_text;
    EXPECT_EQ(xml_text("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&#39;");
    EXPECT_EQ(xml_text("tab\there \xC3\xB6 \xE2\x82\xAC \xF0\x9F\x8C\x8B"),
              "tab\there \xC3\xB6 \xE2\x82\xAC \xF0\x9F\x8C\x8B"); // UTF-8 stays
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(xml_text(std::string("\x01\x1b", 2) + std::string(1, '\0')), fffd + fffd + fffd);
    EXPECT_EQ(xml_text("\xFF"), fffd);                       // a stray byte
    EXPECT_EQ(xml_text("\xC0\xAF"), fffd + fffd);            // an overlong "/"
    EXPECT_EQ(xml_text("\xED\xA0\x80"), fffd + fffd + fffd); // a surrogate
    EXPECT_EQ(xml_text("\xEF\xBF\xBE"), fffd);               // U+FFFE
    EXPECT_EQ(xml_text("\xE2\x82"), fffd + fffd);            // cut short
}

TEST(PlotSvg, EnvelopeKeepsExactExtremesInBoundedBins) {
    avqdump::Envelope e(1, 64);
    for (int i = 0; i < 100000; ++i) {
        const double v[3] = {std::sin(i * 0.001), static_cast<double>(i), i == 777 ? NAN : -1.0};
        e.add(i, v);
    }
    e.add(-50000, {0.0, -7.0, -1.0}); // time going back
    std::size_t bins = 0;
    double lo = INFINITY, hi = -INFINITY, prev = -INFINITY;
    e.for_each([&](double centre, const avqdump::Envelope::Bin& b) {
        ++bins;
        EXPECT_GT(centre, prev);
        prev = centre;
        if (b.lo[1] <= b.hi[1]) lo = std::min(lo, b.lo[1]), hi = std::max(hi, b.hi[1]);
        if (b.lo[1] == -7.0) {
            EXPECT_NEAR(centre, -50000, e.width());
        }
    });
    EXPECT_LE(bins, 64u);
    EXPECT_GE(e.width(), 150000 / 64.0);
    EXPECT_EQ(lo, -7.0);
    EXPECT_EQ(hi, 99999.0);
    EXPECT_EQ(e.min_x(), -50000);
    EXPECT_EQ(e.max_x(), 99999);
}

TEST(PlotSvg, TicksAreRoundAndLabelledAsPreciselyAsTheirStep) {
    using avqdump::tick_step;
    EXPECT_EQ(tick_step(127.55, 8, true), 30); // 2 minutes of samples
    EXPECT_EQ(tick_step(3, 8, true), 0.5);
    EXPECT_EQ(tick_step(30 * 86400, 8, true), 5 * 86400);
    EXPECT_EQ(tick_step(511, 8, false), 100); // sample numbers
    using avqdump::time_label;
    EXPECT_EQ(time_label(1700000012.25, 0.05, true), "22:13:32.25");
    EXPECT_EQ(time_label(1700000012, 1, true), "22:13:32");
    EXPECT_EQ(time_label(1699999980, 60, true), "22:13");
    EXPECT_EQ(time_label(1699920000, 86400, true), "2023-11-14");
    EXPECT_EQ(time_label(86400, 86400, false), "day 2");
}
