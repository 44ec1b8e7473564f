// Memory: a conversion streams its inputs into the output in memory that
// does not grow with them, whatever they are (regular files, pipes) and
// wherever the output goes; a line that never ends fails clearly (a
// one-line error naming the input and status 1, no output file). The
// address space is limited with "ulimit -v" in a shell that then runs
// velkor.
#include <sys/stat.h>

#include <string>

#include "harness.h"

namespace {

class MemoryLimits : public e2e::VelkorTest {
  protected:
    void SetUp() override {
        VelkorTest::SetUp();
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit allows";
#endif
    }

    // Runs velkor with the given arguments under an address-space limit of
    // 64 MiB: plenty for the program and its read buffers, too little to hold
    // 2,000,000 rows (96 MB as numbers).
    e2e::Result limited(const std::string& args, const std::string& before = "") {
        const std::string script = "ulimit -v 65536 || exit 99; " + before + "exec \"$0\" " + args;
        return e2e::run_program("/bin/sh", {"-c", script, VELKOR_BIN}, dir());
    }

    // 2,000,000 four-column rows (16 MB).
    void write_big(const std::string& name) {
        std::string rows;
        rows.reserve(16000000);
        for (int i = 0; i < 2000000; ++i)
            rows += "0 0 0 0\n";
        write(name, rows);
    }
};

TEST_F(MemoryLimits, SmallInputConvertsUnderTheLimit) {
    std::string rows;
    for (int i = 0; i < 1000; ++i)
        rows += std::to_string(i) + " 1 2 3\n";
    write("small.txt", rows);
    const auto r = limited("-4 small.txt out.avq");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(exists("out.avq"));
}

TEST_F(MemoryLimits, RegularFileLargerThanTheLimitStreams) {
    // The rows would not fit in the limit; they need not. Written in place
    // (standard output) they stream all the same.
    write_big("big.txt");
    const auto r = limited("-4 big.txt out.avq");
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string out = read("out.avq");
    EXPECT_EQ(out.size(), out.find('\r') + 1 + 3907 * 3084u); // 2,000,000 rows and a zero fill
    const auto in_place = limited("-4 big.txt - > stdout.avq");
    EXPECT_EQ(in_place.status, 0) << in_place.err;
    EXPECT_TRUE(read("stdout.avq") == out);
}

TEST_F(MemoryLimits, ManyCommentLinesDoNotCountAsRowsThatMustFit) {
    // 4,000,000 comment lines could be as many rows for all the sizing
    // knows (192 MB, beyond the limit); they are one row and convert.
    std::string text;
    text.reserve(8000010);
    for (int i = 0; i < 4000000; ++i)
        text += "!\n";
    text += "1 2 3 4\n";
    write("comments.txt", text);
    const auto r = limited("-4 comments.txt out.avq");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(exists("out.avq"));
}

TEST_F(MemoryLimits, LineThatNeverEndsIsRefusedClearly) {
    // Lines are read whole, however long; one that does not fit in memory
    // ends the run with the file and the line named.
    const auto r = limited("-4 /dev/zero out.avq");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Out of memory reading file /dev/zero: no room for line 1\n");
    EXPECT_FALSE(exists("out.avq"));
}

TEST_F(MemoryLimits, PipeLargerThanTheLimitStreams) {
    write_big("big.txt");
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    const auto r = limited("-4 fifo out.avq", "cat big.txt > fifo & ");
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string out = read("out.avq");
    EXPECT_EQ(out.size(), out.find('\r') + 1 + 3907 * 3084u);
}

} // namespace
