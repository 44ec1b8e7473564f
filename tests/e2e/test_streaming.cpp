// Every group streams into its output: a conversion of regular files large
// enough for two threads is compared with the same group read through FIFOs,
// on one thread: the same output bytes, standard output, standard error and
// exit status, in each layout, end mode and form, failing or not. The memory
// of a conversion does not grow with the group, and its output needs no room
// beyond its own size and a little more.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using e2e::Result;

// Rows of a station, from which each test's files are made: times in steps
// of 0.01 s with one gap and one repeated time, values within +-10 with a
// spike of 99 every 9973 rows (clipped at a scale of 1000).
struct Station {
    std::string time(std::size_t i) const {
        const double t = 1700000000.0 + 0.01 * static_cast<double>(i) + (i > 30000 ? 5.0 : 0.0);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.2f", i == 20000 ? t - 0.01 : t);
        return buf;
    }
    std::string value(std::size_t i, int c) const {
        if (i % 9973 == 7) return "99";
        char buf[32];
        const long v = static_cast<long>((i * 7 + static_cast<std::size_t>(c) * 13) % 2000) - 1000;
        std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(v) / 100.0);
        return buf;
    }
    std::string four_columns(std::size_t i) const {
        return time(i) + " " + value(i, 0) + " " + value(i, 1) + " " + value(i, 2);
    }
};

class Streaming : public e2e::VelkorTest {
  protected:
    static constexpr std::size_t ROWS = 80300; // split near row 42,496, a partial last block

    void SetUp() override {
        VelkorTest::SetUp();
        ::mkdir(path("files").c_str(), 0755);
        ::mkdir(path("pipes").c_str(), 0755);
    }

    // Writes the inputs of a layout into files/ and makes pipes of the same
    // names in pipes/; returns the arguments that name them. edit(slot, row,
    // line) may change a row's line of the file in input slot `slot` (0 the
    // time file, 1-3 channels 1-3; the four-column file is slot 1), or put
    // lines before it.
    template <class Edit>
    std::vector<std::string> group(int layout, Edit edit, std::size_t rows = ROWS) {
        static const char* const names[3][4] = {
            {"all.txt"}, {"a.txt", "b.txt", "c.txt"}, {"t.txt", "v1.txt", "v2.txt", "v3.txt"}};
        const int files = layout == 4 ? 1 : layout == 2 ? 3 : 4;
        const Station s;
        std::vector<std::string> args = {layout == 1 ? "-t" : layout == 2 ? "-2" : "-4"};
        names_.clear();
        for (int f = 0; f < files; ++f) {
            std::string text;
            text.reserve(rows * 40);
            for (std::size_t i = 0; i < rows; ++i) {
                std::string l = layout == 4   ? s.four_columns(i)
                                : layout == 2 ? s.time(i) + "\t" + s.value(i, f)
                                : f == 0      ? s.time(i)
                                              : s.value(i, f - 1);
                edit(layout == 1 ? f : f + 1, i, l);
                text += l + "\n";
            }
            const std::string name = names[files / 2][f];
            write("files/" + name, text);
            ::mkfifo(path("pipes/" + name).c_str(), 0600);
            names_.push_back(name);
            args.push_back(name);
        }
        return args;
    }

    // Converts the group streamed (from files/) and through pipes (in
    // pipes/), into out.avq of each directory, with `before` run first in
    // the shell (a limit). Expects both runs to give the same results;
    // returns the streamed run.
    Result both(std::vector<std::string> args, const std::string& before = "") {
        args.push_back("out.avq");
        std::string feed;
        for (const std::string& n : names_)
            feed += "cat ../files/" + n + " > " + n + " & ";
        const auto run = [&](const std::string& where, const std::string& start) {
            return shell("cd " + where + " || exit; " + before + start + "exec \"$0\" \"$@\"",
                         args);
        };
        const Result streamed = run("files", "");
        const Result piped = run("pipes", feed);
        EXPECT_EQ(streamed.status, piped.status);
        EXPECT_EQ(streamed.out, piped.out);
        EXPECT_EQ(streamed.err, piped.err);
        const bool made = exists("files/out.avq");
        EXPECT_EQ(made, exists("pipes/out.avq"));
        if (made) {
            EXPECT_TRUE(read("files/out.avq") == read("pipes/out.avq"));
        }
        for (const char* d : {"files", "pipes"}) {
            for (const std::string& entry : testfiles::list_dir(path(d)))
                EXPECT_NE(entry.rfind(".velkor-", 0), 0u) << d << "/" << entry;
        }
        ::unlink(path("files/out.avq").c_str());
        ::unlink(path("pipes/out.avq").c_str());
        return streamed;
    }

    std::vector<std::string> names_;
};

// Per layout: comments that settle the header only after the first block
// (so the header first written is replaced), warnings in both parts of the
// group, a gap, a time that does not increase.
void add_features(int layout, int slot, std::size_t i, std::string& line) {
    if (layout == 4 && i == 45000) line = "!station deep in the file\n" + line;
    if (layout == 2) {
        if (i == 0) line = "!station A\n" + line;
        if (slot == 2 && i == 50000) line = "!station B\n" + line;
        // Times of channel 3, then of channel 2, 0.9 s ahead.
        if (slot == 3 && i >= 100 && i < 110) line.replace(line.find('.') + 1, 1, "9");
        if (slot == 2 && i >= 60000 && i < 60003) line.replace(line.find('.') + 1, 1, "9");
    }
    if (layout == 1) {
        if (slot == 0 && i == 0) line = "!time file\n" + line;
        if (slot == 2 && i == 60000) line = "!" + std::string(300, 'c') + "\n" + line;
    }
}

TEST_F(Streaming, SameAsThroughPipesInEveryLayoutEndModeAndForm) {
    for (int layout : {4, 2, 1}) {
        const std::vector<std::string> files =
            group(layout, [layout](int f, std::size_t i, std::string& l) {
                add_features(layout, f, i, l);
            });
        for (const char* form : {"--binary", "--ascii"}) {
            for (const char* end : {"--zero", "--mirror", "--truncate"}) {
                SCOPED_TRACE(std::string("layout ") + std::to_string(layout) + " " + form + " " +
                             end);
                std::vector<std::string> args = {form, end, "-s", "1000"};
                args.insert(args.end(), files.begin(), files.end());
                const Result r = both(args);
                EXPECT_EQ(r.status, 0) << r.err;
            }
        }
    }
}

TEST_F(Streaming, LinesThatAreNoRowsInBothPartsAsThroughPipes) {
    // The second thread places row S past blank lines, "#" lines, comments
    // and a heading, which each file has in its own places, in both parts of
    // the group; a byte order mark begins one file. Also written with ";"
    // and decimal commas, read with the options.
    const auto no_rows = [](int slot, std::size_t i, std::string& l) {
        if (i == 0) l = std::string(slot == 1 ? "\xEF\xBB\xBF" : "") + "#export\ntime value\n" + l;
        if (i % (997 + static_cast<std::size_t>(slot)) == 5) l = "\n" + l;
        if (i % (1999 + static_cast<std::size_t>(slot)) == 7) l = "  # note\n \t\r\n" + l;
        if (i == 30000 + 1000 * static_cast<std::size_t>(slot)) l = "!late comment\n" + l;
    };
    const auto european = [&no_rows](int slot, std::size_t i, std::string& l) {
        for (char& c : l)
            c = c == '.' ? ',' : c == ' ' || c == '\t' ? ';' : c;
        no_rows(slot, i, l);
    };
    for (int layout : {4, 2, 1}) {
        SCOPED_TRACE(layout);
        std::vector<std::string> args = group(layout, no_rows);
        args.insert(args.begin(), "--mirror");
        Result r = both(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find(" taken for a heading and skipped\n"), std::string::npos) << r.err;
        args = group(layout, european);
        args.insert(args.begin(), {"--ascii", "--delimiter=;", "--decimal-comma"});
        r = both(args);
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

TEST_F(Streaming, FailuresAtAnyRowAsThroughPipes) {
    // A warning in the first part, then an error in the second.
    Result r = both(group(2, [](int slot, std::size_t i, std::string& l) {
        if (slot == 3 && i == 200) l = "1700000002.50 1";
        if (slot == 2 && i == 60000) l = "1 ,5";
    }));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("time difference between ch3 and ch1\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Not 2 columns in file b.txt. Rerun with -t timefile\n  line 60001: 1 ,5\n"
                         "  (fields separated by \",\"? use --delimiter=,)\n"),
              std::string::npos)
        << r.err;

    // An error in the first part; the second part's warning is never said.
    r = both(group(4, [](int, std::size_t i, std::string& l) {
        if (i == 30000) l = "1700000300 1 2";
        if (i == 70000) l = "!" + std::string(400, 'x') + "\n" + l;
    }));
    EXPECT_EQ(r.err, "Not 4 columns in file all.txt\n  line 30001: 1700000300 1 2\n");

    // A block time without a calendar date (row 51,201 begins block 100):
    // after block completion, before anything is written.
    r = both(group(4, [](int, std::size_t i, std::string& l) {
        if (i == 51200) l = "1e300 1 2 3";
    }));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(
        r.err.find("Filling with zeroes\nError: the time of row 51201, 1.0000000000000001e+300, "
                   "is not a valid UTC date\n"),
        std::string::npos)
        << r.err;
}

TEST_F(Streaming, WriteErrorsComeWhereTheTablesWriterMeetsThem) {
    // Every block clips; the output may not grow beyond 1.5 MiB, which the
    // table's writer meets with its second buffer of 1 MiB: the clipping
    // lines of the blocks written before it come first.
    std::vector<std::string> args = group(
        4, [](int, std::size_t, std::string& l) { l = l.substr(0, l.find(' ')) + " 40 40 40"; },
        400000);
    args.insert(args.begin(), {"-s", "1000"});
    const std::string limit = "ulimit -f 3072; trap '' XFSZ; ";
    Result r = both(args, limit);
    EXPECT_EQ(r.status, 1);
    const std::string clipped = "Warning: scale out of range. 1536 values cliped.\n";
    EXPECT_NE(r.err.find(clipped + "Error writing file out.avq: File too large\n"),
              std::string::npos);
    args.insert(args.begin(), "--ascii");
    r = both(args, limit);
    EXPECT_EQ(r.status, 1);
}

// A velkor run started with its standard error a pipe that is full, so that
// it stops at its first message (after reading, before the output is
// finished) until it is killed.
struct StoppedRun {
    pid_t pid = -1;
    int err = -1; // the pipe's reader, held open while the run lives
};

// Starts velkor with `args` in `dir`; `sig` has its default action in it.
StoppedRun start_stopped_at_first_message(const std::vector<std::string>& args,
                                          const std::string& dir, int sig) {
    int err[2];
    if (::pipe(err) != 0) return {};
    ::fcntl(err[1], F_SETFL, O_NONBLOCK);
    const std::string block(4096, 'x');
    while (::write(err[1], block.data(), block.size()) > 0) {
    }
    ::fcntl(err[1], F_SETFL, 0);
    const int null_fd = ::open("/dev/null", O_WRONLY);
    const pid_t pid = e2e::start_program(VELKOR_BIN, args, dir, null_fd, err[1], [sig] {
        const rlimit no_core{0, 0};
        ::setrlimit(RLIMIT_CORE, &no_core);
        std::signal(sig, SIG_DFL);
    });
    ::close(null_fd);
    ::close(err[1]);
    return {pid, err[0]};
}

TEST_F(Streaming, NoSignalButSigkillLeavesATemporaryFile) {
    // A large ASCII group, whose lines a second thread writes: one
    // temporary file.
    const std::vector<std::string> args = {"--ascii", "-4", "all.txt", "out.txt"};
    group(4, [](int, std::size_t, std::string&) {});
    write("files/out.txt", "!previous\n");
    const std::vector<std::string> after = {"all.txt", "logfile", "out.txt"};

    // A file size limit: the write fails and takes the error path.
    const Result r = shell("cd files || exit; ulimit -f 256; exec \"$0\" \"$@\"", args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1),
              "Error writing file out.txt: File too large\n");
    EXPECT_EQ(read("files/out.txt"), "!previous\n");
    EXPECT_EQ(testfiles::list_dir(path("files")), after);

    for (const int sig : {SIGQUIT, SIGTERM, SIGINT, SIGHUP, SIGALRM, SIGUSR1}) {
        const StoppedRun run = start_stopped_at_first_message(args, path("files"), sig);
        ASSERT_GT(run.pid, 0);
        // Signalled once the temporary file is there.
        for (int i = 0; i < 3000 && testfiles::list_dir(path("files")).size() < 4; ++i)
            ::usleep(10000);
        EXPECT_EQ(testfiles::list_dir(path("files")).size(), 4u) << strsignal(sig);
        ::kill(run.pid, sig);
        int status = 0;
        ASSERT_EQ(::waitpid(run.pid, &status, 0), run.pid);
        ::close(run.err);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig);
        EXPECT_EQ(read("files/out.txt"), "!previous\n");
        EXPECT_EQ(testfiles::list_dir(path("files")), after) << strsignal(sig);
    }
}

TEST_F(Streaming, MemoryDoesNotGrowWithTheGroup) {
    // A million rows, on two threads. (The file's text is freed before the
    // run: the pages of this process at the fork would count in the peak.)
    group(
        4, [](int, std::size_t, std::string&) {}, 1000000);
    const Result r = velkor({"-4", "files/all.txt", "out.avq"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string out = read("out.avq");
    EXPECT_EQ(out.size(), out.find('\r') + 1 + 1954 * 3084u);
    EXPECT_GT(r.peak_kib, 0);

#if !defined(__SANITIZE_ADDRESS__) // its shadow memory is many times the program's
    EXPECT_LT(r.peak_kib, 32 * 1024);
#endif
}

TEST_F(Streaming, OutputNeedsItsOwnSizeAndAMebibyteOnTheFileSystem) {
    // Every layout and form, with a header that grows (-1: a long comment of
    // channel 2 comes late), shrinks (-4: a comment replaces the built
    // header) or stays (-2), converted onto a file system with room for the
    // output and 1 MiB more: no second copy of the output, no second
    // temporary file.
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    ::mkdir(path("small").c_str(), 0755);
    for (int layout : {4, 2, 1}) {
        std::vector<std::string> args = group(
            layout,
            [layout](int f, std::size_t i, std::string& l) { add_features(layout, f, i, l); },
            200000);
        for (const char* form : {"--binary", "--ascii"}) {
            SCOPED_TRACE(std::string("layout ") + std::to_string(layout) + " " + form);
            const auto run = [&](const std::string& out) {
                std::vector<std::string> a = args;
                a.insert(a.begin(), form);
                a.push_back(out);
                return shell("cd files && exec \"$0\" \"$@\"", a);
            };
            ASSERT_EQ(run("../ref.avq").status, 0);
            const std::string ref = read("ref.avq");
            const std::string size =
                "size=" + std::to_string((ref.size() + (1u << 20) + 4095) / 4096 * 4096);
            ASSERT_EQ(::mount("tmpfs", path("small").c_str(), "tmpfs", 0, size.c_str()), 0)
                << std::strerror(errno);
            const Result r = run("../small/out.avq");
            const std::string out = exists("small/out.avq") ? read("small/out.avq") : "";
            ::umount2(path("small").c_str(), MNT_DETACH);
            EXPECT_EQ(r.status, 0) << r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1);
            EXPECT_TRUE(out == ref);
        }
    }
}

} // namespace
