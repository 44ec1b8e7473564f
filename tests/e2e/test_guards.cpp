// Guards against the mistakes users make, seen from the command line: an
// output that is one of its own inputs, an AVQ file given as an input, long
// lines, errors that show the line, progress lines in order with the
// warnings, and output files that keep what users rely on (links, outputs in
// directories that may not be written, empty names, a reader of standard
// output that has gone). Every refusal leaves the inputs and earlier outputs
// byte for byte as they were.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using e2e::VelkorTest;

// A four-column input of 600 rows with a comment line.
std::string four_columns(const std::string& extra_fields = "") {
    std::string s = "!guard test station\n";
    for (int i = 0; i < 600; ++i) {
        s += std::to_string(1262347509 + i) + " " + std::to_string(i % 97) + " " +
             std::to_string(-(i % 13)) + " 0." + std::to_string(i % 10) + extra_fields + "\n";
    }
    return s;
}

class Guards : public VelkorTest {
  protected:
    void SetUp() override {
        VelkorTest::SetUp();
        write("in.txt", four_columns());
        write("b.txt", "1 1\n2 2\n");
        write("c.txt", "1 1\n2 2\n");
    }
    // The bytes of a conversion of `args` into `out`.
    std::string converted(std::vector<std::string> args, const std::string& out = "ref.out") {
        args.push_back(out);
        const auto r = velkor(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return read(out);
    }
};

TEST_F(Guards, OutputThatIsAnInputIsRefused) {
    ASSERT_EQ(::link(path("in.txt").c_str(), path("hard.txt").c_str()), 0);
    ASSERT_EQ(::symlink("in.txt", path("soft.txt").c_str()), 0);
    const std::string before = read("in.txt");
    const struct {
        std::vector<std::string> args;
        const char* output;
    } cases[] = {
        {{"-4", "in.txt", "in.txt"}, "in.txt"},
        {{"-4", "in.txt", "./in.txt"}, "./in.txt"},
        {{"-4", "in.txt", "hard.txt"}, "hard.txt"},
        {{"-4", "in.txt", "soft.txt"}, "soft.txt"},
        {{"in.txt", "b.txt", "c.txt", "in.txt"}, "in.txt"},
        {{"b.txt", "c.txt", "in.txt", "soft.txt"}, "soft.txt"},
        {{"-t", "in.txt", "b.txt", "b.txt", "b.txt", "hard.txt"}, "hard.txt"},
    };
    for (const auto& c : cases) {
        const auto r = velkor(c.args);
        EXPECT_EQ(r.status, 1) << c.output;
        EXPECT_EQ(r.err, std::string("Error: output file ") + c.output + " is also an input\n");
        EXPECT_EQ(read("in.txt"), before);
    }
    // An earlier group's output stays; the progress line comes as before.
    const auto r = velkor({"-4", "in.txt", "first.avq", "in.txt", "in.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "in.txt->first.avq\nin.txt->in.txt\n");
    EXPECT_EQ(read("first.avq"), converted({"-4", "in.txt"}));
    EXPECT_EQ(read("in.txt"), before);
    // Devices are not compared.
    EXPECT_EQ(velkor({"-4", "in.txt", "/dev/null"}).status, 0);
}

TEST_F(Guards, AvqFileGivenAsAnInputIsRefused) {
    converted({"-4", "in.txt"}, "old.avq");
    converted({"-4", "--ascii", "in.txt"}, "old.txt");
    write("mydata.txt", "precious\n");
    for (const char* avq : {"old.avq", "old.txt"}) {
        auto r = velkor({"-4", avq, "mydata.txt"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("Error: ") + avq +
                             " is an AVQ file, not a text input (are the input and output "
                             "swapped?)\n");
        EXPECT_EQ(read("mydata.txt"), "precious\n");
        // As any input of a group, the time file included.
        r = velkor({"b.txt", avq, "c.txt", "mydata.txt"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(std::string("Error: ") + avq + " is an AVQ file"), std::string::npos);
        r = velkor({"-t", avq, "b.txt", "b.txt", "b.txt", "mydata.txt"});
        EXPECT_NE(r.err.find(std::string("Error: ") + avq + " is an AVQ file"), std::string::npos);
        EXPECT_EQ(read("mydata.txt"), "precious\n");
    }
}

TEST_F(Guards, LongLinesAreReadWhole) {
    // Thirty fields more than the layout uses change nothing in either form.
    std::string extra;
    for (int i = 0; i < 30; ++i)
        extra += " 123456.789";
    write("wide.txt", four_columns(extra));
    for (const char* form : {"--binary", "--ascii"}) {
        const std::string plain = converted({"-4", form, "in.txt"}, "plain.out");
        EXPECT_EQ(converted({"-4", form, "wide.txt"}, "wide.out"), plain) << form;
    }
    // A comment of 300 characters: the header keeps its first 255.
    const std::string comment = "!" + std::string(299, 'c');
    write("long.txt", comment + "\n1 2 3 4\n");
    const auto r = velkor({"-4", "long.txt", "long.avq"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning: comment line in long.txt is longer than 255 characters; the header "
                     "keeps the first 255\nWarning: length of file not multiple of 512\n"
                     "Filling with zeroes\n");
    EXPECT_EQ(read("long.avq").substr(0, 256), comment.substr(0, 255) + "\r");
}

TEST_F(Guards, ParseErrorsShowTheLine) {
    write("a.txt", "1 1\n2 2\n3 3\n4 4\n");
    write("b.txt", "!station\n1 1\n2 2\n1.5;2\n3 3\n");
    write("out.avq", "previous");
    auto r = velkor({"a.txt", "b.txt", "a.txt", "out.avq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Not 2 columns in file b.txt. Rerun with -t timefile\n  line 4: 1.5;2\n");
    EXPECT_EQ(read("out.avq"), "previous");
    // Cut to 80 bytes, non-printing bytes escaped.
    write("bad.txt", "1 2 3 4\n1\t2\r\x01" + std::string(100, '9') + "\n");
    r = velkor({"-4", "bad.txt", "out.avq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Not 4 columns in file bad.txt\n  line 2: 1\\t2\\r\\x01" +
                         std::string(75, '9') + "\n");
    EXPECT_EQ(read("out.avq"), "previous");
}

TEST_F(Guards, ProgressLinesStandInOrderWithTheWarnings) {
    // Standard output and standard error into one file, as "> run.log 2>&1".
    write("a.txt", "1 1 2 3\n2 1 2 3\n");
    const auto r = e2e::run_program(
        "/bin/sh", {"-c", "exec \"$0\" -4 --mirror a.txt o1 a.txt o2 > run.log 2>&1", VELKOR_BIN},
        dir());
    EXPECT_EQ(r.status, 0);
    const std::string group = "Warning: no comments in file a.txt\n"
                              "Best guess at samplingfrequency is 1\n"
                              "Warning: length of file not multiple of 512\n"
                              "Filling with mirror\n";
    EXPECT_EQ(read("run.log"), "option mirror\na.txt->o1\n" + group + "a.txt->o2\n" + group);
}

TEST_F(Guards, SymbolicLinkIsFollowedToATargetThatDoesNotExistYet) {
    ASSERT_EQ(::mkdir(path("archive").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("archive/day.avq", path("out.avq").c_str()), 0);
    auto r = velkor({"-4", "in.txt", "out.avq"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read("archive/day.avq"), converted({"-4", "in.txt"}));
    char target[64] = {};
    ASSERT_GT(::readlink(path("out.avq").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "archive/day.avq");

    // A missing directory in the target: refused, the link stays, an
    // earlier group's output stays.
    ASSERT_EQ(::symlink("nowhere/day.avq", path("lost.avq").c_str()), 0);
    r = velkor({"-4", "in.txt", "first.avq", "in.txt", "lost.avq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Can't open output file lost.avq: No such file or directory\n"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(exists("first.avq"));
    struct stat st {};
    ASSERT_EQ(::lstat(path("lost.avq").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(Guards, EmptyOutputNameIsRefusedBeforeConverting) {
    const auto r = velkor({"-4", "in.txt", "first.avq", "in.txt", ""});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "in.txt->first.avq\nin.txt->\n");
    // Nothing of the second group is read: no warning of its own. (The
    // first group's third column, 0.0 to 0.9, is stored as 0 at scale 1.)
    EXPECT_EQ(r.err, "Warning: 540 of 600 values of channel 3 are stored as 0 because |value x "
                     "scale| < 1; use -s to scale them up or --ascii to keep them\n"
                     "Warning: length of file not multiple of 512\nFilling with zeroes\n"
                     "Can't open output file : No such file or directory\n");
    EXPECT_TRUE(exists("first.avq"));
}

TEST_F(Guards, ExistingOutputInADirectoryThatMayNotBeWrittenIsRewrittenInPlace) {
    // Root may write into any directory: the run is then made as the user
    // nobody, where that can be done.
    std::vector<std::string> as_user;
    if (::geteuid() == 0) {
        if (e2e::run_program("/usr/bin/setpriv",
                             {"--reuid=65534", "--regid=65534", "--clear-groups", "true"}, dir())
                .status != 0) {
            GTEST_SKIP() << "running as root, and setpriv cannot switch to the user nobody";
        }
        as_user = {"--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    ASSERT_EQ(::chmod(dir().c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(path("ro").c_str(), 0755), 0);
    write("ro/day.avq", "previous");
    write("ro/locked.avq", "locked");
    ASSERT_EQ(::chmod(path("ro/day.avq").c_str(), 0666), 0);
    ASSERT_EQ(::chmod(path("ro/locked.avq").c_str(), 0444), 0);
    ASSERT_EQ(::chmod(path("ro").c_str(), 0555), 0);
    const auto run = [&](const std::string& out) {
        std::vector<std::string> args = as_user;
        args.insert(args.end(), {VELKOR_BIN, "-4", "in.txt", out});
        return as_user.empty() ? velkor({"-4", "in.txt", out})
                               : e2e::run_program("/usr/bin/setpriv", args, dir());
    };
    if (!as_user.empty() && run("/dev/null").status != 0) {
        GTEST_SKIP() << "the user nobody cannot run velkor from the build directory";
    }
    auto r = run("ro/day.avq");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read("ro/day.avq"), converted({"-4", "in.txt"}));
    // A file that may not be written stays refused.
    r = run("ro/locked.avq");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Can't open output file ro/locked.avq: Permission denied\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(read("ro/locked.avq"), "locked");
}

TEST_F(Guards, ReaderOfStandardOutputThatHasGoneDoesNotStopTheRun) {
    // Progress lines cannot be written; the conversions go on.
    auto r = e2e::run_with_closed_stdout(VELKOR_BIN, {"-4", "in.txt", "o1.avq", "in.txt", "o2.avq"},
                                         dir());
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string ref = converted({"-4", "in.txt"});
    EXPECT_EQ(read("o1.avq"), ref);
    EXPECT_EQ(read("o2.avq"), ref);
    // AVQ data that cannot be written still fail the run.
    r = e2e::run_with_closed_stdout(VELKOR_BIN, {"-4", "in.txt", "-"}, dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error writing file -: Broken pipe\n"), std::string::npos) << r.err;
}

} // namespace
