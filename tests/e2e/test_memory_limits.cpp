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
        return shell("ulimit -v 65536 || exit 99; " + before + "exec \"$0\" " + args);
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

TEST_F(MemoryLimits, FourMillionRowsThroughAPipeInLittleMemory) {
    // (The shell's pipeline is waited for whole: the peak is the largest of
    // its programs', velkor's.)
    const e2e::Result r = shell("yes '1700000000.25 1.5 -2.25 3.125' | head -n 4000000 | "
                                "\"$0\" -4 - out.avq");
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string out = read("out.avq");
    EXPECT_EQ(out.size(), out.find('\r') + 1 + 7813 * 3084u);
    EXPECT_LT(r.peak_kib, 32 * 1024);
}

TEST_F(MemoryLimits, EveryLimitGivesTheOutputOrAClearError) {
    // Under address-space limits from too little to plenty, a group large
    // enough for two threads, in both forms and to standard output (through
    // a spool in TMPDIR): the output as without a limit, or "Out of memory"
    // as the last line, status 1, the earlier output as it was and no
    // temporary file left. (Below some limit the program cannot even be
    // loaded; that is no run of velkor.)
    std::string rows;
    for (int i = 0; i < 200000; ++i)
        rows += std::to_string(1700000000 + i) + " " + std::to_string(i % 1000) + " 2 3\n";
    write("in.txt", rows);
    ::mkdir(path("tmp").c_str(), 0755);
    int converted = 0, refused = 0;
    for (const char* form : {"--binary", "--ascii"}) {
        for (const char* out : {"out.avq", "-"}) {
            const std::string redirect = std::string(out) == "-" ? " > stdout.avq" : "";
            ASSERT_EQ(shell("exec \"$0\" " + std::string(form) + " -4 in.txt ref.avq").status, 0);
            const std::string ref = read("ref.avq");
            for (int mib = 4; mib <= 40; mib += 2) {
                write("out.avq", "!previous\n");
                const e2e::Result r =
                    shell("ulimit -v " + std::to_string(mib * 1024) + "; TMPDIR=tmp exec \"$0\" " +
                          form + " -4 in.txt " + out + redirect);
                const std::string last = r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1);
                SCOPED_TRACE(std::string(form) + " " + out + " " + std::to_string(mib) +
                             " MiB: " + last);
                const std::string written = read(*out == '-' ? "stdout.avq" : "out.avq");
                if (r.status == 0) {
                    ++converted;
                    EXPECT_TRUE(written == ref);
                } else if (last.find("error while loading shared libraries") == std::string::npos) {
                    ++refused;
                    EXPECT_EQ(r.status, 1);
                    EXPECT_EQ(last.substr(0, 14), "Out of memory ");
                    EXPECT_EQ(written, *out == '-' ? "" : "!previous\n");
                }
                for (const std::string& d : {dir(), path("tmp")}) {
                    for (const std::string& e : testfiles::list_dir(d))
                        EXPECT_EQ(e.find("velkor-"), std::string::npos) << e;
                }
            }
        }
    }
    EXPECT_GT(converted, 0);
    EXPECT_GT(refused, 0);
}

} // namespace
