// The block line reader: against fgets with a 256-byte buffer for lines
// that fit it (the same lines, byte for byte, the same end-of-file flag
// after every read, the same buffer contents after the last read); longer
// lines whole, across block boundaries; lines taken straight from the block
// mixed with lines read one by one; peeking at the first block; reads
// interrupted by signals made again; read errors kept apart from the end
// of the file; finding where a row line ends (for the second thread of a
// split group) against a plain count of the lines.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../test_files.h"
#include "interrupts.h"
#include "line_reader.h"
#include "numscan.h"

namespace {

class LineReaderTest : public ::testing::Test {
  protected:
    std::string write(const std::string& contents) {
        return tmp_.write("f" + std::to_string(files_++), contents);
    }

    // Reads `contents` with fgets and with the block reader (blocks of
    // `block` bytes) side by side and checks that every read agrees. Every
    // line must fit fgets' buffer. Returns the number of lines.
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
            EXPECT_EQ(st, LineReader::LINE_READ);
            if (st != LineReader::LINE_READ) break;
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

    testfiles::TempDir tmp_{"velkor-lines"};
    const std::string& dir_ = tmp_.path();
    int files_ = 0;
};

// Lines of random lengths, with zero bytes, carriage returns, blanks and "!"
// among the characters. Short lines fit fgets' 256-byte buffer (at most 254
// characters and the line feed); long ones are crowded around that size and
// around the small block sizes the tests use.
std::string random_text(std::mt19937& rng, std::size_t lines, bool long_lines = false) {
    const std::vector<int> lengths =
        long_lines ? std::vector<int>{0, 1, 40, 254, 255, 256, 257, 510, 999, 1000, 1001, 5000}
                   : std::vector<int>{0, 1, 2, 7, 40, 253, 254};
    std::uniform_int_distribution<std::size_t> pick_len(0, lengths.size() - 1);
    std::uniform_int_distribution<int> jitter(-1, 1);
    std::uniform_int_distribution<int> pick_char(0, 15);
    std::string s;
    for (std::size_t i = 0; i < lines; ++i) {
        int len = std::max(0, lengths[pick_len(rng)] + jitter(rng));
        if (!long_lines) len = std::min(len, 254);
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
        std::string(254, 'a') + "\n" + std::string(255, 'b'),
        std::string(255, 'a'), // fgets notices the end only with its next read
        std::string(254, 'a'),
        std::string("1\0002\n3 4\n", 9),
        std::string("\0\0\0", 3),
        std::string(200, '\0') + "\n",
        "!comment\r\n1 2",
    };
    for (const std::string& c : cases) {
        for (std::size_t block : {16u, 255u, 256u, 257u, 300u, 4096u})
            compare(c, block);
    }
}

// Lines of any length against the text split at its line feeds: each line
// whole, its length, the end-of-file flag, and after the end the last line
// kept. Returns the number of lines.
std::size_t compare_whole_lines(const std::string& path, const std::string& text,
                                std::size_t block) {
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; at < text.size(); at = end) {
        end = std::min(text.find('\n', at), text.size() - 1) + 1;
        lines.push_back(text.substr(at, end - at));
    }
    std::FILE* f = std::fopen(path.c_str(), "r");
    LineReader reader(f, block);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE("line " + std::to_string(i) + ", block " + std::to_string(block));
        const std::string& want = lines[i];
        EXPECT_EQ(reader.next(), LineReader::LINE_READ);
        EXPECT_EQ(std::string(reader.line(), reader.length()), want);
        EXPECT_EQ(reader.line()[want.size()], '\0');
        EXPECT_EQ(std::strlen(reader.line()), std::strlen(want.c_str()));
        const bool last_without_lf = i + 1 == lines.size() && want.back() != '\n';
        EXPECT_EQ(reader.at_end(), last_without_lf && want.size() != 255);
    }
    EXPECT_EQ(reader.next(), LineReader::END_OF_FILE);
    EXPECT_TRUE(reader.at_end());
    if (!lines.empty()) {
        EXPECT_EQ(std::string(reader.line(), reader.length()), lines.back());
    }
    std::fclose(f);
    return lines.size();
}

TEST_F(LineReaderTest, LongLinesComeWholeAcrossBlocks) {
    // A line of 255 characters and its line feed is one line; so is a
    // line far longer than the block.
    const std::string cases[] = {
        std::string(255, 'a') + "\n",
        std::string(256, 'a'),
        std::string(510, 'a') + "\nb",
        std::string(300, '\0') + "\n1 2\n",
        std::string(5000, ' ') + "1 2 3 4\n" + std::string(33, 'x') + "\n",
    };
    for (const std::string& c : cases) {
        for (std::size_t block : {16u, 255u, 256u, 1000u, 4096u})
            compare_whole_lines(write(c), c, block);
    }
    std::mt19937 rng(2024);
    for (int round = 0; round < 40; ++round) {
        const std::string text = random_text(rng, 1 + rng() % 100, true);
        const std::string p = write(text);
        for (std::size_t block : {16u, 255u, 1000u, 65536u})
            compare_whole_lines(p, text, block);
    }
}

TEST_F(LineReaderTest, RandomFilesMatchFgetsAtEveryBlockBoundary) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 60; ++round) {
        const std::string text = random_text(rng, 1 + rng() % 200);
        for (std::size_t block : {16u, 255u, 256u, 511u, 1000u, 4099u, 65536u})
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
    const std::size_t lines = compare_whole_lines(write(text), text, LineReader::BLOCK);
    EXPECT_GT(lines, 60000u);
}

TEST_F(LineReaderTest, LinesTakenFromTheBlockInterleaveWithNext) {
    // Data lines taken straight from the block by the row scan where it
    // takes them, every other line read with next(): the same lines, in
    // order, as next() alone gives, at every block size. A short last block
    // leaves bytes of the one before after the data; a line that ends in
    // the data must not be taken as if they belonged to it.
    std::mt19937 rng(99);
    const char* rows[] = {"1700000000.25 1 -2.5 3e2\n", "1700000001 4 5 6\r\n", "17000 1 2\n",
                          "1700000002\t0.125 -0 7\n",   "! comment 1 2 3 4\n",  "\n",
                          "1700000003 1 2 3 4 5\n",     "1700000004 1 2 3"};
    for (int round = 0; round < 40; ++round) {
        std::string text;
        for (std::size_t i = 1 + rng() % 300; i > 0; --i)
            text += rows[rng() % std::size(rows)];
        const std::string p = write(text);
        for (std::size_t block : {16u, 31u, 64u, 100u, 4096u}) {
            SCOPED_TRACE("round " + std::to_string(round) + ", block " + std::to_string(block));
            std::FILE* f = std::fopen(p.c_str(), "r");
            std::FILE* g = std::fopen(p.c_str(), "r");
            LineReader reader(f, block);
            LineReader usual(g, block);
            long taken = 0;
            for (;;) {
                const LineReader::Status want = usual.next();
                double v[4];
                const char* at = reader.block_rest();
                const char* next = at != nullptr && plain_row_may_start(at)
                                       ? scan_plain_row(at, v, 4, true)
                                       : nullptr;
                if (next != nullptr) {
                    reader.took(next);
                    ++taken;
                    ASSERT_EQ(want, LineReader::LINE_READ);
                    EXPECT_FALSE(reader.at_end());
                } else {
                    ASSERT_EQ(reader.next(), want);
                    if (want != LineReader::LINE_READ) break;
                    EXPECT_EQ(reader.at_end(), usual.at_end());
                }
                ASSERT_EQ(std::string(reader.line(), reader.length()),
                          std::string(usual.line(), usual.length()));
            }
            // After the end the last line stays, terminated as before.
            EXPECT_STREQ(reader.line(), usual.line());
            EXPECT_TRUE(block < 64 || taken > 0);
            std::fclose(f);
            std::fclose(g);
        }
    }
}

TEST_F(LineReaderTest, PeekShowsTheFirstBlockAndConsumesNothing) {
    const std::string text = "!header\r\n1 2 3 4\n5 6 7 8\n";
    for (std::size_t block : {8u, 4096u}) {
        std::FILE* f = std::fopen(write(text).c_str(), "r");
        LineReader reader(f, block);
        bool whole = true;
        EXPECT_EQ(reader.peek(whole), text.substr(0, block));
        EXPECT_EQ(whole, block > text.size());
        EXPECT_EQ(reader.peek(whole), text.substr(0, block)); // again: the same
        ASSERT_EQ(reader.next(), LineReader::LINE_READ);
        EXPECT_STREQ(reader.line(), "!header\r\n");
        ASSERT_EQ(reader.next(), LineReader::LINE_READ);
        EXPECT_STREQ(reader.line(), "1 2 3 4\n");
        std::fclose(f);
    }
}

TEST_F(LineReaderTest, PipeIsReadAlike) {
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
    bool whole = true;
    EXPECT_EQ(reader.peek(whole), text.substr(0, 4096));
    EXPECT_FALSE(whole);
    char buf[256];
    while (std::fgets(buf, sizeof buf, ref) != nullptr) {
        ASSERT_EQ(reader.next(), LineReader::LINE_READ);
        ASSERT_STREQ(reader.line(), buf);
        ASSERT_EQ(reader.at_end(), std::feof(ref) != 0);
    }
    EXPECT_EQ(reader.next(), LineReader::END_OF_FILE);
    writer.join();
    std::fclose(f);
    std::fclose(ref);
}

TEST_F(LineReaderTest, InterruptedReadsAreMadeAgain) {
    // A pipe filled slowly, read while signals keep interrupting the reads.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::thread writer([&] {
        for (int i = 0; i < 300; ++i) {
            ::usleep(500);
            ASSERT_EQ(::write(fds[1], "1 2 3 4\n", 8), 8);
        }
        ::close(fds[1]);
    });
    std::FILE* f = ::fdopen(fds[0], "r");
    int lines = 0;
    LineReader::Status status;
    {
        const Interrupter interrupter;
        LineReader reader(f, 4096);
        while ((status = reader.next()) == LineReader::LINE_READ)
            ++lines;
    }
    writer.join();
    std::fclose(f);
    EXPECT_EQ(status, LineReader::END_OF_FILE);
    EXPECT_EQ(lines, 300);
}

TEST_F(LineReaderTest, ReadErrorIsNotEndOfFile) {
    // A directory opens for reading, but reading it fails.
    std::FILE* f = std::fopen(dir_.c_str(), "r");
    ASSERT_NE(f, nullptr);
    LineReader reader(f);
    bool whole = true;
    EXPECT_EQ(reader.peek(whole), "");
    EXPECT_FALSE(whole);
    EXPECT_EQ(reader.next(), LineReader::READ_ERROR);
    EXPECT_EQ(reader.error(), EISDIR);
    EXPECT_FALSE(reader.at_end());
    std::fclose(f);
}

// Where each row line ends, found line by line: every line but comments
// ("!" first), blank lines and "#" lines (first non-blank "#"), a byte
// order mark at the start not part of the first line.
std::vector<LinePosition> row_line_ends(const std::string& text) {
    std::vector<LinePosition> ends;
    std::size_t start = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
    std::uint64_t lines = 0;
    while (start < text.size()) {
        const std::size_t nl = text.find('\n', start);
        const std::size_t end = nl == std::string::npos ? text.size() : nl + 1;
        ++lines;
        const std::size_t first = text.find_first_not_of(" \t\n\v\f\r", start);
        if (text[start] != '!' && first < end && text[first] != '#') ends.push_back({end, lines});
        start = end;
    }
    return ends;
}

// Data lines up to byte `at` of `text` exactly.
void data_lines_up_to(std::string& text, std::size_t at) {
    while (text.size() + 4 <= at)
        text += "123\n";
    const std::size_t r = at - text.size();
    if (r == 1) text.insert(text.size() - 1, "4");
    if (r >= 2) text += std::string(r - 1, '1') + "\n";
}

TEST_F(LineReaderTest, FindLineEndCountsRowLinesAcrossChunks) {
    // Files of several chunks of 1 MiB. Two at random: data lines,
    // comments, blank and "#" lines (some with blanks before the mark),
    // lines that begin with a zero byte or a quote, long runs of blanks
    // across a chunk boundary, and stretches of data lines alone (whole
    // chunks only counted), one with a byte order mark. One made to put the
    // lines that are no rows across chunk boundaries and at their start,
    // among data lines alone.
    std::mt19937 rng(18);
    const std::vector<std::string> kinds = {"1767312000.05 0.25\n",
                                            "-0.5\n",
                                            "\n",
                                            "  \t\r\n",
                                            "# note\n",
                                            "  # note\n",
                                            "!comment\n",
                                            " !not a comment\n",
                                            std::string("\0x\n", 3),
                                            "\"q\"\n",
                                            "\r\n",
                                            " 7\n"};
    std::vector<std::string> texts;
    for (const bool bom : {false, true}) {
        std::string text = bom ? "\xEF\xBB\xBF!c\n" : "";
        while (text.size() < 4000000) {
            const bool clean = rng() % 2 == 0;
            const std::size_t until = text.size() + (clean ? 1300000 : 300000);
            while (text.size() < until)
                text += kinds[rng() % (clean ? 2 : kinds.size())];
            if (!clean && rng() % 3 == 0) {
                text += std::string(1100000, ' ') + (rng() % 2 ? "#\n" : "5\n");
            }
        }
        texts.push_back(text + "#last\n9"); // a last line without a line feed
    }
    constexpr std::size_t MiB = std::size_t{1} << 20;
    std::string made;
    // (A data line that fills a chunk and goes on with "!" in the next.)
    const std::string across[] = {"!comment\n", "#x\n", "    7\n",
                                  "\n",         "  \n", "1" + std::string(MiB - 1, '2') + "!x\n",
                                  "!\n"};
    for (std::size_t i = 0; i < std::size(across); ++i) {
        data_lines_up_to(made, (2 * i + 1) * MiB - (i % 2 == 0 ? 3 : 0));
        made += across[i];
    }
    data_lines_up_to(made, made.size() + MiB);
    texts.push_back(made + "5");

    for (const std::string& text : texts) {
        const std::string p = write(text);
        const int fd = ::open(p.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        const std::atomic<bool> stop{false};
        const std::vector<LinePosition> ends = row_line_ends(text);
        const std::uint64_t rows = ends.size();
        std::vector<std::uint64_t> counts = {0, 1, 2, rows - 1, rows, rows + 1};
        for (int i = 0; i < 40; ++i)
            counts.push_back(1 + rng() % rows);
        // The rows next to every chunk boundary.
        for (std::uint64_t r = 1; r < rows; ++r) {
            if (ends[r].offset / MiB != ends[r - 1].offset / MiB) {
                for (std::uint64_t c = r - 1; c <= r + 2 && c <= rows; ++c)
                    counts.push_back(c);
            }
        }
        for (const std::uint64_t count : counts) {
            LinePosition got;
            const bool found = count <= rows;
            ASSERT_EQ(find_line_end(fd, count, got, stop), found) << count;
            if (!found) continue;
            const LinePosition want = count == 0 ? LinePosition{} : ends[count - 1];
            EXPECT_EQ(got.offset, want.offset) << count;
            EXPECT_EQ(got.lines, want.lines) << count;
        }
        ::close(fd);
    }
}

} // namespace
