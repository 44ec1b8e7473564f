// Block completion: zero fill, mirror fill (including groups of at most 256
// rows) and truncation of a final partial block, with their messages.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "blocks.h"

namespace {

class CompleteBlock : public ::testing::Test {
  protected:
    // n rows in blocks; channel c of row i holds data i * 10 + c + 1 (never
    // 0). The blocks after the rows hold what a reading left there (-1).
    void table(std::uint64_t n) {
        n_ = n;
        blocks_.clear();
        for (std::uint64_t b = 0; b * SAMPLES < n || b == 0; ++b) {
            blocks_.push_back(std::make_unique<RowBlock>());
            for (unsigned j = 0; j < SAMPLES; ++j) {
                const std::uint64_t i = b * SAMPLES + j;
                for (int c = 0; c < CHANNELS; ++c)
                    blocks_.back()->value[c][j] =
                        i < n ? static_cast<double>(i) * 10.0 + c + 1 : -1.0;
            }
        }
    }
    // Completes the last block as the conversion does; returns the
    // messages. rows_ is the number of rows written.
    std::string complete(EndMode mode) {
        Settings s;
        s.end_mode = mode;
        ::testing::internal::CaptureStderr();
        bool fill = false;
        rows_ = begin_completion(s, n_, fill);
        if (fill) {
            const std::size_t last = n_ / SAMPLES;
            fill_last_block(mode, *blocks_[last], n_, last > 0 ? blocks_[last - 1].get() : nullptr);
        }
        return ::testing::internal::GetCapturedStderr();
    }
    double at(std::size_t i, int c) const { return blocks_[i / SAMPLES]->value[c][i % SAMPLES]; }
    // Expects rows [from, to) to hold the data of rows source(i).
    template <class F> void expect_copies(std::size_t from, std::size_t to, F source) const {
        for (std::size_t i = from; i < to; ++i) {
            const std::size_t s = source(i);
            for (int c = 0; c < CHANNELS; ++c) {
                ASSERT_EQ(at(i, c), static_cast<double>(s) * 10.0 + c + 1)
                    << "row " << i << " ch " << c;
            }
        }
    }

    std::uint64_t n_ = 0;
    std::uint64_t rows_ = 0;
    std::vector<std::unique_ptr<RowBlock>> blocks_;
};

const char* const NOT_MULTIPLE = "Warning: length of file not multiple of 512\n";

TEST_F(CompleteBlock, WholeBlocksAndEmptyGroupsAreLeftAlone) {
    for (EndMode mode : {EndMode::zero, EndMode::mirror, EndMode::truncate}) {
        for (std::uint64_t n : {0u, 512u, 1024u}) {
            table(n);
            EXPECT_EQ(complete(mode), "");
            EXPECT_EQ(rows_, n);
        }
    }
}

TEST_F(CompleteBlock, ThousandRowsZeroFill) {
    table(1000);
    EXPECT_EQ(complete(EndMode::zero), std::string(NOT_MULTIPLE) + "Filling with zeroes\n");
    EXPECT_EQ(rows_, 1000u);
    expect_copies(0, 1000, [](std::size_t i) { return i; });
    for (std::size_t i = 1000; i < 1024; ++i) {
        for (int c = 0; c < CHANNELS; ++c)
            EXPECT_EQ(at(i, c), 0.0);
    }
}

TEST_F(CompleteBlock, ThousandRowsMirror) {
    table(1000);
    EXPECT_EQ(complete(EndMode::mirror), std::string(NOT_MULTIPLE) + "Filling with mirror\n");
    EXPECT_EQ(rows_, 1000u);
    // Row 1000 = row 998, row 1001 = row 997, ..., row 1023 = row 975.
    expect_copies(1000, 1024, [](std::size_t i) { return 1998 - i; });
    expect_copies(0, 1000, [](std::size_t i) { return i; });
}

TEST_F(CompleteBlock, ThousandRowsTruncate) {
    table(1000);
    EXPECT_EQ(complete(EndMode::truncate), NOT_MULTIPLE);
    EXPECT_EQ(rows_, 512u);

    table(300);
    EXPECT_EQ(complete(EndMode::truncate), NOT_MULTIPLE);
    EXPECT_EQ(rows_, 0u);
}

TEST_F(CompleteBlock, MirrorOf513And257RowsReflectsAboutTheLastRow) {
    table(513);
    complete(EndMode::mirror);
    // Rows 513..1023 receive rows 511 down to 1 (of the block before);
    // row 0 is not used.
    expect_copies(513, 1024, [](std::size_t i) { return 1024 - i; });

    table(257);
    complete(EndMode::mirror);
    // Rows 257..511 receive rows 255 down to 1.
    expect_copies(257, 512, [](std::size_t i) { return 512 - i; });
}

TEST_F(CompleteBlock, MirrorOfShortGroupsBouncesOffRowZero) {
    // Three rows a b c continue as b a b c b a ...
    table(3);
    EXPECT_EQ(complete(EndMode::mirror), std::string(NOT_MULTIPLE) + "Filling with mirror\n");
    EXPECT_EQ(rows_, 3u);
    const std::size_t pattern[] = {1, 0, 1, 2};
    expect_copies(3, 512, [&](std::size_t i) { return pattern[(i - 3) % 4]; });

    // 256 rows: row 256 + i copies row 254 - i down to row 0, then turns
    // back at row 0: row 510 copies row 0 and row 511 copies row 1.
    table(256);
    complete(EndMode::mirror);
    expect_copies(256, 511, [](std::size_t i) { return 510 - i; });
    expect_copies(511, 512, [](std::size_t) { return std::size_t{1}; });

    // A single row is repeated; two rows alternate.
    table(1);
    complete(EndMode::mirror);
    expect_copies(1, 512, [](std::size_t) { return std::size_t{0}; });
    table(2);
    complete(EndMode::mirror);
    expect_copies(2, 512, [](std::size_t i) { return i % 2; });
}

} // namespace
