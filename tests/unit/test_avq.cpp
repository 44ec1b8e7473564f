// The format library's own rules: layout offsets, little-endian words, the
// two fields of a block time in both forms, the time_t bound, the header
// marks and the UTC time texts. (Recognition of AVQ files is tested with the
// inputs it guards, in test_read_input.cpp; the reader in
// test_avqdump_reader.cpp.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

#include <avq/avq.h>

namespace {

TEST(AvqLayout, OffsetsAndLittleEndianWords) {
    EXPECT_EQ(avq::sample_offset(0, 0), 4u);      // after the block time
    EXPECT_EQ(avq::sample_offset(2, 511), 3082u); // the last two bytes of a record

    unsigned char b[4] = {};
    avq::put_le32(b, 0x12345678u);
    EXPECT_EQ(b[0], 0x78);
    EXPECT_EQ(b[3], 0x12);
    EXPECT_EQ(avq::get_le16(b + 2), 0x1234);
    EXPECT_EQ(avq::get_le32(b), 0x12345678u);
    avq::put_le16(b, 0xFFFE);
    EXPECT_EQ(avq::get_le32(b), 0x1234FFFEu);
}

TEST(AvqLayout, BinaryBlockTimeInBothForms) {
    std::tm t{};
    t.tm_hour = 12, t.tm_min = 34, t.tm_sec = 56;
    const avq::TimeHeader ms = avq::minute_second_header(t);
    EXPECT_EQ(ms.word0, 754);
    EXPECT_EQ(ms.word1, 56);
    EXPECT_TRUE(avq::fits_minute_second(ms));
    EXPECT_FALSE(avq::fits_minute_second({1440, 0}));
    EXPECT_FALSE(avq::fits_minute_second({0, 61}));

    // Unix seconds keep their low 32 bits, as two's complement before 1970.
    EXPECT_EQ(avq::header_value(avq::unix_header(1700000012)), 1700000012u);
    const avq::TimeHeader before = avq::unix_header(-1);
    EXPECT_EQ(before.word0, 0xFFFF);
    EXPECT_EQ(before.word1, 0xFFFF);
    EXPECT_EQ(avq::header_value(avq::unix_header(0x100000005LL)), 5u);
}

TEST(AvqLayout, AsciiBlockTimeInEveryForm) {
    struct Case {
        double t;
        bool unix_seconds, minute_of_day;
        double minute, second;
    };
    const Case cases[] = {
        {1700000012.25, false, false, 28333333, 32.25},
        {1700000012.25, false, true, 1333, 32.25},
        {1700000012.25, true, false, 0, 1700000012.25},
        {1700000012.25, true, true, 0, 1700000012.25}, // the minute of the day does not apply
        {-0.5, false, false, -1, -0.5},                // fmod keeps the dividend's sign
    };
    for (const Case& c : cases) {
        const avq::AsciiBlockTime at = avq::ascii_block_time(c.t, c.unix_seconds, c.minute_of_day);
        EXPECT_EQ(at.minute, c.minute) << c.t << " " << c.unix_seconds << c.minute_of_day;
        EXPECT_EQ(at.second, c.second) << c.t << " " << c.unix_seconds << c.minute_of_day;
    }
}

TEST(AvqLayout, TimesThatFitAndBreakDown) {
    const double two63 = 9223372036854775808.0;
    EXPECT_TRUE(avq::fits_time_t(std::nextafter(two63, 0.0)));
    EXPECT_TRUE(avq::fits_time_t(std::nextafter(-two63, 0.0)));
    for (double bad : {two63, -two63, double{INFINITY}, double{NAN}})
        EXPECT_FALSE(avq::fits_time_t(bad)) << bad;
    EXPECT_TRUE(avq::time_breaks_down(-1e10));
    EXPECT_FALSE(avq::time_breaks_down(1e18)); // fits a time_t, but its year overflows
}

TEST(AvqHeader, MarksAndLineEnds) {
    EXPECT_EQ(avq::header_mark(avq::HEADER_PREFIX_UNIX), avq::HeaderMark::unix_seconds);
    EXPECT_EQ(avq::header_mark("!S anything"), avq::HeaderMark::minute_second);
    for (const char* none : {"", "!", "!s512", "S512", " !U"})
        EXPECT_EQ(avq::header_mark(none), avq::HeaderMark::none) << none;
    EXPECT_EQ(avq::strip_line_ends("!a\r\nb\rc\n"), "!abc");
}

TEST(AvqTimeText, UtcAndIsoTexts) {
    EXPECT_EQ(avq::utc_text(0, "%Y-%m-%d %H:%M:%S UTC"), "1970-01-01 00:00:00 UTC");
    EXPECT_EQ(avq::utc_text(INT64_MAX, "%Y"), ""); // gmtime cannot break it down
    std::tm t{};
    EXPECT_EQ(avq::time_text(t, std::string(64, 'x').c_str()), ""); // longer than 63
    EXPECT_EQ(avq::time_text(t, std::string(63, 'x').c_str()), std::string(63, 'x'));

    EXPECT_EQ(avq::iso_utc(1700000012.25), "2023-11-14T22:13:32.25Z");
    EXPECT_EQ(avq::iso_utc(1700000012.9999997), "2023-11-14T22:13:33Z"); // carried
    EXPECT_EQ(avq::iso_utc(-0.5), "1969-12-31T23:59:59.5Z");
    EXPECT_EQ(avq::iso_utc(NAN), "");
    EXPECT_EQ(avq::iso_utc(1e15), "");
    EXPECT_EQ(avq::iso_seconds(253402300800), ""); // the year 10000
    EXPECT_EQ(avq::iso_time_of_day(1439, 60), "23:59:60Z");
    EXPECT_EQ(avq::iso_time_of_day(754, 56.125), "12:34:56.125Z");
    EXPECT_EQ(avq::iso_time_of_day(1440, 0), "");
    EXPECT_EQ(avq::fraction_text(1), ".000001");
    EXPECT_EQ(avq::fraction_text(0), "");
}

} // namespace
