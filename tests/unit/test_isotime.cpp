// ISO 8601 input times and the UTC time text of messages: the calendar
// rules, the exact epoch text, and that an ISO time reads as the very double
// its epoch-seconds text gives.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include <avq/avq.h>

#include "isotime.h"
#include "numscan.h"

namespace {

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(IsoTime, ValidTimesGiveTheirExactEpochText) {
    const struct {
        const char* iso;
        const char* text;
    } cases[] = {
        {"2026-01-02T00:00:00Z", "1767312000"},
        {"2026-01-02T00:00:00", "1767312000"},
        {"2026-01-02 00:00:00", "1767312000"},
        {"2026-01-02T00:00:00.05Z", "1767312000.05"},
        {"2026-01-02 00:00:49.950", "1767312049.950"},
        {"1970-01-01T00:00:00Z", "0"},
        {"1970-01-01T00:00:00.000001", "0.000001"},
        // Before the epoch the fraction counts forward from a negative whole.
        {"1969-12-31T23:59:59.25Z", "-0.75"},
        {"1969-12-31T23:59:59.000", "-1.000"},
        {"1969-12-31T00:00:00.0010", "-86399.9990"},
        {"0000-01-01T00:00:00", "-62167219200"},
        {"9999-12-31T23:59:59.99Z", "253402300799.99"},
        // Leap days: every fourth year, not every hundredth, every 400th.
        {"2024-02-29T12:00:00", "1709208000"},
        {"2000-02-29T00:00:00", "951782400"},
        {"2023-03-01T00:00:00", "1677628800"},
        // A leap second is the instant of the next midnight.
        {"2016-12-31T23:59:60Z", "1483228800"},
        {"2016-12-31T23:59:60.5", "1483228800.5"},
        // Any number of fraction digits, kept as written.
        {"2026-01-02T00:00:00.123456789012345678901234567890Z",
         "1767312000.123456789012345678901234567890"},
        // Lower-case letters; offsets from UTC in every form, the instant
        // converted exactly.
        {"2026-01-02t00:00:00z", "1767312000"},
        {"2026-01-02T01:00:00+01:00", "1767312000"},
        {"2026-01-01T19:00:00-05:00", "1767312000"},
        {"2026-01-02T05:30:00.25+0530", "1767312000.25"},
        {"2026-01-02 02:00:00+02", "1767312000"},
        {"1970-01-01T00:59:59.25+01:00", "-0.75"},
        // The leap second at 23:59:60 UTC, written in local time.
        {"2017-01-01T00:59:60+01:00", "1483228800"},
        // Ordinal dates: the day of the year.
        {"2026-002T00:00:00.05Z", "1767312000.05"},
        {"2026-002 00:00:00", "1767312000"},
        {"2024-366t00:00:00-00:00", "1735603200"},
    };
    for (const auto& c : cases) {
        std::string text;
        const char* end = iso_epoch_text(c.iso, text);
        ASSERT_NE(end, nullptr) << c.iso;
        EXPECT_EQ(*end, '\0') << c.iso;
        EXPECT_EQ(text, c.text) << c.iso;
        // And the time reads as the very double of its epoch text.
        double iso_value = 0, text_value = 0;
        bool iso = false;
        EXPECT_EQ(scan_time_line(c.iso, &iso_value, 1, iso, text), 1) << c.iso;
        EXPECT_TRUE(iso) << c.iso;
        ASSERT_EQ(scan_numbers(c.text, &text_value, 1), 1);
        EXPECT_TRUE(same_bits(iso_value, text_value)) << c.iso;
    }
}

TEST(IsoTime, InvalidDatesAndTimesReadNoNumber) {
    const char* cases[] = {
        "2023-02-29T00:00:00",       // not a leap year
        "1900-02-29T00:00:00",       // a hundredth year is not one
        "2026-13-01T00:00:00",       // month 13
        "2026-00-10T00:00:00",       // month 0
        "2026-01-00T00:00:00",       // day 0
        "2026-04-31T00:00:00",       // April has 30 days
        "2026-01-02T24:00:00",       // hour 24
        "2026-01-02T23:60:00",       // minute 60
        "2026-01-02T12:00:60",       // second 60 away from the end of the day
        "2026-01-02T23:59:61",       // second 61
        "2026-01-02",                // a date without a time
        "2026-01-02T00:00",          // no seconds
        "2026-01-02T0:00:00",        // one-digit hour
        "2026-01-02  00:00:00",      // two blanks
        "2026-01-02\t00:00:00",      // a tab
        "2026-01-02x00:00:00",       // another separator
        "2026-01-02T00:00:00.",      // a point without digits
        "2026-01-02T00:00:00,5",     // a comma
        "2026-01-02T00:00:00ZZ",     // junk after the zone
        "2026-01-02T00:00:00-0.5",   // a number glued to the time
        "2026-01-02T00:00:00+1",     // offsets of one digit,
        "2026-01-02T00:00:00+01:0",  // of minutes cut short,
        "2026-01-02T00:00:00+24:00", // out of range,
        "2026-01-02T00:00:00+01:60",
        "2026-01-02T00:00:00Z+01",   // or after the zone
        "2016-12-31T23:59:60+01:00", // 22:59:60 UTC: no leap second
        "2023-366T00:00:00",         // not a leap year
        "2026-000T00:00:00",         // day 0
    };
    for (const char* c : cases) {
        std::string text;
        EXPECT_EQ(iso_epoch_text(c, text), nullptr) << c;
        double v[2] = {};
        bool iso = false;
        EXPECT_EQ(scan_time_line(c, v, 2, iso, text), 0) << c;
        EXPECT_TRUE(iso) << c;
    }
}

TEST(IsoTime, WhatBeginsLikeADate) {
    // Dates that are read, and those that spreadsheets write, which are
    // refused rather than read as numbers.
    for (const char* s : {"2026-01-02", "2026-002T", "2026-002 00:00", "2026/01/02", "02.01.2026",
                          "2.1.2026", "1/2/2026"}) {
        EXPECT_TRUE(looks_like_date(s)) << s;
    }
    // Numbers glued together stay numbers.
    for (const char* s : {"1000-500 3 4", "1000-5", "12345-67-89", "1.5-2", "1.5.3", "2026 -01",
                          "2026-002", "02.01.26"}) {
        EXPECT_FALSE(looks_like_date(s)) << s;
    }
    // The time field a message shows: a date and a time written with a
    // space are one field.
    EXPECT_EQ(time_field_length("2026-02-30 00:00:00 1 2"), 19u);
    EXPECT_EQ(time_field_length("2026-02-30T00:00:00 1 2"), 19u);
    EXPECT_EQ(time_field_length("02.01.2026 12:00 1"), 16u);
    EXPECT_EQ(time_field_length("2026-02-30x 1"), 11u);
}

TEST(IsoTime, NumbersAfterTheTimeAreReadAsTheRestOfTheLine) {
    std::string text;
    bool iso = false;
    double v[4] = {};
    EXPECT_EQ(scan_time_line("  2026-01-02 00:00:00.5 1 2 3\n", v, 4, iso, text), 4);
    EXPECT_TRUE(iso);
    EXPECT_EQ(v[0], 1767312000.5);
    EXPECT_EQ(v[3], 3.0);
    // The blanks between numbers match any run of white space, or none.
    EXPECT_EQ(scan_time_line("2026-01-02T00:00:00Z\t1.5-2 3", v, 4, iso, text), 4);
    EXPECT_EQ(v[1], 1.5);
    EXPECT_EQ(v[2], -2.0);
    // Too few numbers after the time: fewer conversions, as sscanf counts.
    EXPECT_EQ(scan_time_line("2026-01-02T00:00:00Z 7", v, 4, iso, text), 2);
    EXPECT_EQ(scan_time_line("2026-01-02T00:00:00Z", v, 2, iso, text), 1);
    // A numeric time is read exactly as before.
    for (const char* line : {"1767312000.05 0.3", " -12.5e1 4", "2026 -01", "12345-67-89 1"}) {
        double a[2] = {}, b[2] = {};
        EXPECT_EQ(scan_time_line(line, a, 2, iso, text), scan_numbers(line, b, 2)) << line;
        EXPECT_FALSE(iso) << line;
        EXPECT_TRUE(same_bits(a[0], b[0]) && same_bits(a[1], b[1])) << line;
    }
}

TEST(UtcText, HundredthsOfASecondInUtc) {
    const struct {
        double t;
        const char* text;
    } cases[] = {
        {0.0, "1970-01-01 00:00:00.00"},
        {1767312002.8, "2026-01-02 00:00:02.80"},
        {59.999, "1970-01-01 00:01:00.00"}, // rounding carries into the minute
        {-0.5, "1969-12-31 23:59:59.50"},
        {-0.001, "1970-01-01 00:00:00.00"},
        {1709208000.0, "2024-02-29 12:00:00.00"},
        {253402300799.0, "9999-12-31 23:59:59.00"},
        {-62167219200.0, "0000-01-01 00:00:00.00"},
        {NAN, "nan"},
        {1e300, "1e+300"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(avq::utc_text_hundredths(c.t), c.text) << c.t;
}

} // namespace
