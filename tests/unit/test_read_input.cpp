// Input reading: rows, comment capture, line pieces, end of input, errors.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "conversion_test.h"
#include "temp_dir.h"
#include "velkor.h"

namespace {

class ReadInput : public ConversionTest {
  protected:
    std::string file(const std::string& name, const std::string& contents) {
        return tmp_.write(name, contents);
    }
    void read2(const std::string& a, const std::string& b, const std::string& c) {
        samples.clear();
        n1 = 0;
        read_group(MODE_2_COLUMN, nullptr, file("a", a).c_str(), file("b", b).c_str(),
                   file("c", c).c_str());
    }
    TempDir tmp_{"velkor-read"};
    const std::string& dir_ = tmp_.path();
};

using ReadInputDeathTest = ReadInput;

TEST_F(ReadInput, TwoColumnRowsAndSharedComment) {
    const std::string text = "!station x\n1 10\n2 20\n3 30\n";
    read2(text, text, text);
    ASSERT_EQ(n1, 3u);
    ASSERT_EQ(samples.size(), 3u);
    EXPECT_EQ(samples[2].ch[0].time, 3.0);
    EXPECT_EQ(samples[2].ch[2].data, 30.0);
    for (int k = 1; k <= 3; ++k)
        EXPECT_EQ(cline[k], "!station x");
    EXPECT_EQ(cline[0], "");
}

TEST_F(ReadInput, OnlyFirstOfACommentRunIsKeptAndCrLfIsRemoved) {
    read2("!one\r\n!two\n!three\n5 6\n", "5 7\n", "5 8\n");
    ASSERT_EQ(n1, 1u);
    EXPECT_EQ(cline[1], "!one");
    EXPECT_EQ(samples[0].ch[0].data, 6.0);
    EXPECT_EQ(samples[0].ch[2].data, 8.0);
}

TEST_F(ReadInput, CommentsAnywhereReplaceTheSlot) {
    // A comment between data rows and one at the end of every file: reading
    // ends without error and the last comment stays in the slot.
    read2("!first\n1 1\n!middle\n2 2\n!last\n", "1 1\n2 2\n!end b\n", "1 1\n2 2\n!end c\n");
    EXPECT_EQ(n1, 2u);
    EXPECT_EQ(cline[1], "!last");
    EXPECT_EQ(cline[3], "!end c");
    EXPECT_EQ(samples[1].ch[0].data, 2.0);
}

TEST_F(ReadInputDeathTest, ChannelOneEndingInCommentFailsWhenOthersGoOn) {
    EXPECT_EXIT(read2("1 1\n!last\n", "1 1\n2 2\n", "1 1\n2 2\n"), testing::ExitedWithCode(1),
                "^Not 2 columns in file .*/a. Rerun with -t timefile\n$");
}

TEST_F(ReadInput, ShortestFileEndsReadingAndLastLineNeedsNoLineEnd) {
    read2("1 1\n2 2\n3 3", "1 1\n2 2\n3 3\n4 4\n", "1 1\n2 2\n3 3\n4 4\n5 5\n");
    EXPECT_EQ(n1, 3u);
    read2("1 1\n2 2\n3 3\n4 4\n", "1 1\n2 2\n", "1 1\n2 2\n3 3\n");
    EXPECT_EQ(n1, 2u);
}

TEST_F(ReadInput, CommentOnlyInputsGiveNoRows) {
    read2("!a\n", "!b\n", "!c\n");
    EXPECT_EQ(n1, 0u);
    EXPECT_EQ(cline[1], "!a");
    EXPECT_EQ(cline[3], "!c");
}

TEST_F(ReadInput, OneColumnLayoutTakesTimeFromTimeFile) {
    time_in_minutes = 1;
    read_group(MODE_1_COLUMN, file("t", "!time comment\n1.5\n2\n").c_str(),
               file("a", "10\n20\n").c_str(), file("b", "11\n21\n").c_str(),
               file("c", "12\n22\n").c_str());
    ASSERT_EQ(n1, 2u);
    EXPECT_EQ(cline[0], "!time comment");
    EXPECT_EQ(samples[0].ch[0].time, 90.0);
    EXPECT_EQ(samples[0].ch[2].time, 90.0);
    EXPECT_EQ(samples[1].ch[1].data, 21.0);
}

TEST_F(ReadInput, FourColumnLayout) {
    read_group(MODE_4_COLUMN, nullptr, file("a", "100 1 2 3\n101\t4\t5\t6\n").c_str(), nullptr,
               nullptr);
    ASSERT_EQ(n1, 2u);
    EXPECT_EQ(samples[1].ch[0].time, 101.0);
    EXPECT_EQ(samples[1].ch[0].data, 4.0);
    EXPECT_EQ(samples[1].ch[2].data, 6.0);
}

TEST_F(ReadInput, LongLinesAreReadInPiecesOf255) {
    // A 300-character comment: its first 255 characters are the comment and
    // the rest is read as the next line, here a valid data line.
    std::string comment = "!" + std::string(254, 'x');
    const std::string rest = std::string(45, ' ') + "7 8 9 10";
    read_group(MODE_4_COLUMN, nullptr, file("a", comment + rest + "\n1 2 3 4\n").c_str(), nullptr,
               nullptr);
    EXPECT_EQ(cline[1], comment);
    ASSERT_EQ(n1, 2u);
    EXPECT_EQ(samples[0].ch[0].time, 7.0);
    EXPECT_EQ(samples[0].ch[2].data, 10.0);
}

TEST_F(ReadInput, TimeChecksWarnOncePerChannelAndKeepRows) {
    testing::internal::CaptureStderr();
    read2("0 1\n1 1\n2 1\n", "0 1\n0.5 1\n2.5 1\n", "0.5 1\n1.5 1\n2.5 1\n");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(n1, 3u);
    EXPECT_EQ(err, "time difference between ch3 and ch1\ntime difference between ch2 and ch1\n");
}

TEST_F(ReadInput, EarlierTimesAndTinyDifferencesAreNotReported) {
    testing::internal::CaptureStderr();
    read2("1 1\n2 1\n", "0.5 1\n2.000005 1\n", "1.000009 1\n1 1\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(ReadInputDeathTest, ParseErrorsNameTheFile) {
    const std::string good = "1 1\n";
    EXPECT_EXIT(read2("1 1\n\n", "1 1\n2 2\n", "1 1\n2 2\n"), testing::ExitedWithCode(1),
                "^Not 2 columns in file .*/a. Rerun with -t timefile\n$");
    EXPECT_EXIT(read2(good, "1,1\n", good), testing::ExitedWithCode(1),
                "^Not 2 columns in file .*/b. Rerun with -t timefile\n$");
    EXPECT_EXIT(read_group(MODE_4_COLUMN, nullptr, file("f", "1 2 3\n").c_str(), nullptr, nullptr),
                testing::ExitedWithCode(1), "^Not 4 columns in file .*/f\n$");
}

TEST_F(ReadInputDeathTest, OneColumnErrorsInParseOrder) {
    const std::string t = file("t", "1\n"), a = file("a", "1\n"), b = file("b", "x\n"),
                      c = file("c", "\n"), blank = file("blank", " \t\n");
    EXPECT_EXIT(read_group(MODE_1_COLUMN, blank.c_str(), a.c_str(), b.c_str(), c.c_str()),
                testing::ExitedWithCode(1), "^No data in timefile\n$");
    EXPECT_EXIT(read_group(MODE_1_COLUMN, t.c_str(), a.c_str(), b.c_str(), c.c_str()),
                testing::ExitedWithCode(1), "^No data in file for ch2 .*/b\n$");
    EXPECT_EXIT(read_group(MODE_1_COLUMN, t.c_str(), a.c_str(), a.c_str(), c.c_str()),
                testing::ExitedWithCode(1), "^No data in file for ch3 .*/c\n$");
}

TEST_F(ReadInputDeathTest, ChannelOneCommentOnlyFailsBesideData) {
    EXPECT_EXIT(read2("!only\n", "1 1\n", "1 1\n"), testing::ExitedWithCode(1),
                "^Not 2 columns in file .*/a. Rerun with -t timefile\n$");
}

TEST_F(ReadInputDeathTest, OpeningOrderIsTimeThenChannel2Channel3Channel1) {
    const std::string missing1 = dir_ + "/no1", missing2 = dir_ + "/no2";
    const std::string ok = file("ok", "1\n");
    EXPECT_EXIT(read_group(MODE_2_COLUMN, nullptr, missing1.c_str(), missing2.c_str(), ok.c_str()),
                testing::ExitedWithCode(1), "^Can't open file .*/no2\n$");
    EXPECT_EXIT(
        read_group(MODE_1_COLUMN, missing1.c_str(), ok.c_str(), missing2.c_str(), ok.c_str()),
        testing::ExitedWithCode(1), "^Can't open file .*/no1\n$");
    EXPECT_EXIT(read_group(7, nullptr, ok.c_str(), nullptr, nullptr), testing::ExitedWithCode(1),
                "^Unknown mode: 7\n$");
}

TEST_F(ReadInputDeathTest, ReadErrorIsNotEndOfFile) {
    EXPECT_EXIT(read_group(MODE_4_COLUMN, nullptr, dir_.c_str(), nullptr, nullptr),
                testing::ExitedWithCode(1), "^Error reading file .*: Is a directory\n$");
}

} // namespace
