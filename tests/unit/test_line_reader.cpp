// The block line reader against fgets with a 256-byte buffer: the same
// pieces, byte for byte, the same end-of-file flag after every read, the
// same buffer contents after the last read, and read errors kept apart from
// the end of the file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "line_reader.h"
#include "temp_dir.h"

namespace {

class LineReaderTest : public ::testing::Test {
  protected:
    std::string write(const std::string& contents) {
        const std::string p = dir_ + "/f" + std::to_string(files_++);
        std::FILE* f = std::fopen(p.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        EXPECT_EQ(std::fwrite(contents.data(), 1, contents.size(), f), contents.size());
        std::fclose(f);
        return p;
    }

    // Reads `contents` with fgets and with the block reader (blocks of
    // `block` bytes) side by side and checks that every read agrees. Returns
    // the number of pieces.
    std::size_t compare(const std::string& contents, std::size_t block) {
        const std::string p = write(contents);
        std::FILE* ref = std::fopen(p.c_str(), "r");
        std::FILE* f = std::fopen(p.c_str(), "r");
        LineReader reader(f, block);
        char buf[256];
        std::memset(buf, 0, sizeof buf);
        std::size_t pieces = 0;
        for (;;) {
            SCOPED_TRACE("piece " + std::to_string(pieces) + ", block " + std::to_string(block));
            const long before = std::ftell(ref);
            const bool got = std::fgets(buf, sizeof buf, ref) != nullptr;
            const LineReader::Status st = reader.next();
            EXPECT_EQ(std::feof(ref) != 0, reader.at_end());
            if (!got) {
                EXPECT_EQ(st, LineReader::END_OF_FILE);
                // fgets left its buffer alone; so does the reader.
                EXPECT_STREQ(reader.line(), pieces == 0 ? "" : buf);
                EXPECT_EQ(reader.next(), LineReader::END_OF_FILE);
                break;
            }
            EXPECT_EQ(st, LineReader::PIECE_READ);
            if (st != LineReader::PIECE_READ) break;
            const auto len = static_cast<std::size_t>(std::ftell(ref) - before);
            EXPECT_EQ(reader.length(), len);
            EXPECT_EQ(std::memcmp(reader.line(), buf, len + 1), 0);
            EXPECT_EQ(std::strlen(reader.line()), std::strlen(buf));
            ++pieces;
        }
        std::fclose(ref);
        std::fclose(f);
        return pieces;
    }

    TempDir tmp_{"velkor-lines"};
    const std::string& dir_ = tmp_.path();
    int files_ = 0;
};

// Lines of random lengths, crowded around the piece size (254 to 257) and
// its multiples, with zero bytes, carriage returns, blanks and "!" among
// the characters.
std::string random_text(std::mt19937& rng, std::size_t lines) {
    static const int lengths[] = {0, 1, 2, 7, 40, 253, 254, 255, 256, 257, 509, 510, 511, 766};
    std::uniform_int_distribution<int> pick_len(0, std::size(lengths) - 1);
    std::uniform_int_distribution<int> jitter(-1, 1);
    std::uniform_int_distribution<int> pick_char(0, 15);
    std::string s;
    for (std::size_t i = 0; i < lines; ++i) {
        const int len = std::max(0, lengths[pick_len(rng)] + jitter(rng));
        for (int j = 0; j < len; ++j) {
            const int c = pick_char(rng);
            s += c == 0   ? '\0'
                 : c == 1 ? '\r'
                 : c == 2 ? ' '
                 : c == 3 ? '!'
                          : "0123456789.e-"[c % 13];
        }
        s += '\n';
    }
    if (rng() % 2 == 0 && !s.empty()) s.pop_back(); // no line feed at the end
    return s;
}

TEST_F(LineReaderTest, SmallCasesMatchFgets) {
    const std::string cases[] = {
        "",
        "\n",
        "\n\n",
        "1 2\n",
        "1 2",
        "1 2\r\n3 4\r\n",
        "1 2\n3 4",
        std::string(254, 'a') + "\n",
        std::string(255, 'a'),
        std::string(255, 'a') + "\n",
        std::string(256, 'a'),
        std::string(510, 'a'),
        std::string(510, 'a') + "\nb",
        std::string("1\0002\n3 4\n", 9),
        std::string("\0\0\0", 3),
        std::string(300, '\0') + "\n",
        "!comment\r\n1 2",
    };
    for (const std::string& c : cases) {
        for (std::size_t block : {255u, 256u, 257u, 300u, 4096u})
            compare(c, block);
    }
}

TEST_F(LineReaderTest, RandomFilesMatchFgetsAtEveryBlockBoundary) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 60; ++round) {
        const std::string text = random_text(rng, 1 + rng() % 200);
        for (std::size_t block : {255u, 256u, 511u, 1000u, 4099u, 65536u})
            compare(text, block);
    }
}

TEST_F(LineReaderTest, LargeFileWithDefaultBlocks) {
    // Several blocks of ordinary data lines, with long lines sprinkled in.
    std::mt19937 rng(7);
    std::string text;
    while (text.size() < 3 * LineReader::BLOCK + 1234) {
        text += "1700000000.01 -0.0384459 0.0034231614 -0.72270745\n";
        if (rng() % 5000 == 0) text += std::string(600, 'x') + "\n";
    }
    const std::size_t pieces = compare(text, LineReader::BLOCK);
    EXPECT_GT(pieces, 60000u);
}

TEST_F(LineReaderTest, PieceBoundCoversEveryPieceOfRegularFiles) {
    std::mt19937 rng(99);
    for (int round = 0; round < 40; ++round) {
        const std::string text = random_text(rng, rng() % 300);
        const std::size_t pieces = compare(text, 1000);
        std::FILE* f = std::fopen(write(text).c_str(), "r");
        LineReader reader(f, 1000);
        const std::size_t bound = reader.piece_bound();
        EXPECT_GE(bound, pieces);
        EXPECT_LE(bound, pieces + 1 + text.size() / LineReader::PIECE);
        // Counting leaves the reading position at the start.
        std::size_t n = 0;
        while (reader.next() == LineReader::PIECE_READ)
            ++n;
        EXPECT_EQ(n, pieces);
        std::fclose(f);
    }
}

TEST_F(LineReaderTest, PipeIsReadAlikeAndHasNoBound) {
    std::mt19937 rng(5);
    const std::string text = random_text(rng, 3000);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::thread writer([&] {
        // Small writes, so that reads come back short.
        for (std::size_t i = 0; i < text.size(); i += 1000) {
            const std::size_t n = std::min<std::size_t>(1000, text.size() - i);
            ASSERT_EQ(::write(fds[1], text.data() + i, n), static_cast<ssize_t>(n));
        }
        ::close(fds[1]);
    });
    std::FILE* f = ::fdopen(fds[0], "r");
    std::FILE* ref = std::fopen(write(text).c_str(), "r");
    LineReader reader(f, 4096);
    EXPECT_EQ(reader.piece_bound(), 0u);
    char buf[256];
    while (std::fgets(buf, sizeof buf, ref) != nullptr) {
        ASSERT_EQ(reader.next(), LineReader::PIECE_READ);
        ASSERT_STREQ(reader.line(), buf);
        ASSERT_EQ(reader.at_end(), std::feof(ref) != 0);
    }
    EXPECT_EQ(reader.next(), LineReader::END_OF_FILE);
    writer.join();
    std::fclose(f);
    std::fclose(ref);
}

TEST_F(LineReaderTest, ReadErrorIsNotEndOfFile) {
    // A directory opens for reading, but reading it fails.
    std::FILE* f = std::fopen(dir_.c_str(), "r");
    ASSERT_NE(f, nullptr);
    LineReader reader(f);
    EXPECT_EQ(reader.piece_bound(), 0u);
    EXPECT_EQ(reader.next(), LineReader::READ_ERROR);
    EXPECT_EQ(reader.error(), EISDIR);
    EXPECT_FALSE(reader.at_end());
    std::fclose(f);
}

} // namespace
