// Block completion: zero fill, mirror fill (including groups of at most 256
// rows) and truncation of a final partial block, with their messages.
#include <gtest/gtest.h>

#include <string>

#include "conversion_test.h"
#include "velkor.h"

namespace {

class CompleteBlock : public ConversionTest {
  protected:
    // n rows; channel c of row i holds data i * 10 + c + 1 (never 0) and a
    // time of i.
    static void table(std::uint32_t n) {
        samples.assign(n, samp_{});
        for (std::uint32_t i = 0; i < n; ++i) {
            for (int c = 0; c < CHANNELS; ++c) {
                samples[i].ch[c].time = i;
                samples[i].ch[c].data = i * 10.0 + c + 1;
            }
        }
        n1 = n;
    }
    static std::string complete(int mode) {
        end_mode = mode;
        ::testing::internal::CaptureStderr();
        complete_last_block();
        return ::testing::internal::GetCapturedStderr();
    }
    // Expects rows [from, to) to hold the data of rows source(i).
    template <class F> static void expect_copies(std::size_t from, std::size_t to, F source) {
        for (std::size_t i = from; i < to; ++i) {
            const std::size_t s = source(i);
            for (int c = 0; c < CHANNELS; ++c) {
                ASSERT_EQ(samples[i].ch[c].data, static_cast<double>(s) * 10.0 + c + 1)
                    << "row " << i << " ch " << c;
            }
        }
    }
};

const char* const NOT_MULTIPLE = "Warning: length of file not multiple of 512\n";

TEST_F(CompleteBlock, WholeBlocksAndEmptyGroupsAreLeftAlone) {
    for (int mode : {EM_ZERO, EM_MIRROR, EM_TRUNCATE}) {
        for (std::uint32_t n : {0u, 512u, 1024u}) {
            table(n);
            EXPECT_EQ(complete(mode), "");
            EXPECT_EQ(n1, n);
            EXPECT_EQ(samples.size(), n);
        }
    }
}

TEST_F(CompleteBlock, ThousandRowsZeroFill) {
    table(1000);
    EXPECT_EQ(complete(EM_ZERO), std::string(NOT_MULTIPLE) + "Filling with zeroes\n");
    EXPECT_EQ(n1, 1000u);
    ASSERT_EQ(samples.size(), 1024u);
    expect_copies(0, 1000, [](std::size_t i) { return i; });
    for (std::size_t i = 1000; i < 1024; ++i) {
        for (int c = 0; c < CHANNELS; ++c)
            EXPECT_EQ(samples[i].ch[c].data, 0.0);
    }
}

TEST_F(CompleteBlock, ThousandRowsMirror) {
    table(1000);
    EXPECT_EQ(complete(EM_MIRROR), std::string(NOT_MULTIPLE) + "Filling with mirror\n");
    EXPECT_EQ(n1, 1000u);
    ASSERT_EQ(samples.size(), 1024u);
    // Row 1000 = row 998, row 1001 = row 997, ..., row 1023 = row 975.
    expect_copies(1000, 1024, [](std::size_t i) { return 1998 - i; });
    expect_copies(0, 1000, [](std::size_t i) { return i; });
}

TEST_F(CompleteBlock, ThousandRowsTruncate) {
    table(1000);
    EXPECT_EQ(complete(EM_TRUNCATE), NOT_MULTIPLE);
    EXPECT_EQ(n1, 512u);
    EXPECT_EQ(samples.size(), 1000u);

    table(300);
    EXPECT_EQ(complete(EM_TRUNCATE), NOT_MULTIPLE);
    EXPECT_EQ(n1, 0u);
}

TEST_F(CompleteBlock, MirrorOf513And257RowsReflectsAboutTheLastRow) {
    table(513);
    complete(EM_MIRROR);
    ASSERT_EQ(samples.size(), 1024u);
    // Rows 513..1023 receive rows 511 down to 1; row 0 is not used.
    expect_copies(513, 1024, [](std::size_t i) { return 1024 - i; });

    table(257);
    complete(EM_MIRROR);
    ASSERT_EQ(samples.size(), 512u);
    // Rows 257..511 receive rows 255 down to 1.
    expect_copies(257, 512, [](std::size_t i) { return 512 - i; });
}

TEST_F(CompleteBlock, MirrorOfShortGroupsBouncesOffRowZero) {
    // Three rows a b c continue as b a b c b a ...
    table(3);
    EXPECT_EQ(complete(EM_MIRROR), std::string(NOT_MULTIPLE) + "Filling with mirror\n");
    EXPECT_EQ(n1, 3u);
    ASSERT_EQ(samples.size(), 512u);
    const std::size_t pattern[] = {1, 0, 1, 2};
    expect_copies(3, 512, [&](std::size_t i) { return pattern[(i - 3) % 4]; });

    // 256 rows: row 256 + i copies row 254 - i down to row 0, then turns
    // back at row 0: row 510 copies row 0 and row 511 copies row 1.
    table(256);
    complete(EM_MIRROR);
    ASSERT_EQ(samples.size(), 512u);
    expect_copies(256, 511, [](std::size_t i) { return 510 - i; });
    expect_copies(511, 512, [](std::size_t) { return std::size_t{1}; });

    // A single row is repeated; two rows alternate.
    table(1);
    complete(EM_MIRROR);
    ASSERT_EQ(samples.size(), 512u);
    expect_copies(1, 512, [](std::size_t) { return std::size_t{0}; });
    table(2);
    complete(EM_MIRROR);
    expect_copies(2, 512, [](std::size_t i) { return i % 2; });
}

} // namespace
