// The command line: options, usage and version texts, exit status, and the
// walk over groups of inputs in the three layouts.
#include <algorithm>
#include <string>

#include "harness.h"

namespace {

using e2e::VelkorTest;

const std::string USAGE_FIRST_LINES = "Usage: \n   3 files with 2 columns each\n";

bool shows_usage(const e2e::Result& r) {
    return r.out.find(USAGE_FIRST_LINES) != std::string::npos &&
           r.out.find("     --minutes-in-day    express minutes as minutes of day (0-1439)\n") !=
               std::string::npos;
}

class Driver : public VelkorTest {
  protected:
    void SetUp() override {
        VelkorTest::SetUp();
        write("a", "!A\n1 1\n2 2\n");
        write("b", "!A\n1 1\n2 2\n");
        write("c", "!A\n1 1\n2 2\n");
        write("q", "!Q\n1 1 2 3\n");
        write("t", "1\n2\n");
        write("v", "5\n6\n");
    }
};

TEST_F(Driver, NoArgumentsPrintsUsage) {
    const auto r = velkor({});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(shows_usage(r));
    EXPECT_EQ(r.err, "");
}

TEST_F(Driver, UsageTextLineByLine) {
    const auto r = e2e::run_program(VELKOR_BIN, {"-h"}, dir(), {}, "C:\\tools\\velk.exe");
    ASSERT_EQ(r.status, 0);
    // The version text opens and closes the usage text; its first line is
    // taken from the run itself.
    const std::string version = r.out.substr(0, r.out.find('\n') + 1);
    EXPECT_EQ(version.rfind("velkor Version ", 0), 0u);
    const std::string expected =
        version + USAGE_FIRST_LINES +
        "   velk.exe [options] [-2] t_ch1 t_ch2 t_ch3 outfile\n"
        "   velk.exe [options] [-2] -o outfile t_ch1 t_ch2 t_ch3\n"
        " or:\n"
        "   4 files with 1 column each\n"
        "   velk.exe [options] [-1] -t time ch1 ch2 ch3 outfile\n"
        "   velk.exe [options] [-1] -o outfile -t time ch1 ch2 ch3\n"
        " or:\n"
        "   1 file with 4 columns\n"
        "   velk.exe [options] -4 t_ch123 outfile\n"
        "   velk.exe [options] -4 -o outfile t_ch123\n"
        "\n"
        "This program converts CHANNELS timeseries to an AVQ infrasound file.\n"
        "options:\n"
        " -1                      Mode 1\n"
        " -2                      Mode 2 (Default)\n"
        " -4                      Mode 4\n"
        " -s, --scale=#           scales the input by #\n"
        " -t, --time=filename     takes time from filename\n"
        " -o, --output=outfile    set the output filename\n"
        " -f, --force             replace an output file that is not an AVQ file\n"
        "     --zero              zero-fill up to even 512 samples(default)\n"
        "     --mirror            mirror last samples to get even 512 samples\n"
        "     --truncate          remove the last samples to get even 512 samples\n"
        "     --minutes           treat time as minutes instead of seconds\n"
        "     --seconds           treat time as seconds (default)\n"
        "     --binary            AVQ binary format\n"
        "     --ascii             AVQ ascii format\n"
        "     --unixtime          save time as 32-bit time_t\n"
        "     --minutes-in-day    express minutes as minutes of day (0-1439)\n"
        "     --version           print version\n"
        "     --summary           print one line per output: rows, blocks, times\n"
        "     --delimiter=C       fields separated by C: , ; or tab\n"
        "     --decimal-comma     numbers written with a decimal comma\n"
        "     --station=NAME      station of the built header (default x)\n"
        "     --gain=NUMBER       gain of the built header (default 1)\n"
        " -q, --quiet             print errors and warnings only\n"
        "     --strict            a group with warnings about its data leaves no output\n"
        "\n" +
        version;
    ASSERT_GT(r.out.size(), expected.size());
    EXPECT_EQ(r.out.substr(0, expected.size()), expected);
    // Then the copyright notice (two lines) and the bug report line.
    const std::string tail = r.out.substr(expected.size());
    EXPECT_EQ(std::count(tail.begin(), tail.end(), '\n'), 3);
    // A name without backslashes is shown after its last slash.
    const auto s = e2e::run_program(VELKOR_BIN, {"-H"}, dir(), {}, "/usr/local/bin/velkor");
    EXPECT_NE(s.out.find("   velkor [options] -4 t_ch123 outfile\n"), std::string::npos);
}

TEST_F(Driver, EmptyExpandedVectorStillPrintsUsage) {
    // A program name that is a comment leaves no argument at all.
    const auto r = e2e::run_program(VELKOR_BIN, {}, dir(), {}, "#x");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("   velkor [options] -4 t_ch123 outfile\n"), std::string::npos);
}

TEST_F(Driver, ExplicitHelpRequestsExitZero) {
    for (const char* arg : {"-h", "-H", "-?", "--help", "-1?", "--he", "--hel"}) {
        const auto r = velkor({arg, "a", "b", "c", "out"});
        EXPECT_EQ(r.status, 0) << arg;
        EXPECT_TRUE(shows_usage(r)) << arg;
        EXPECT_EQ(r.err, "") << arg;
        EXPECT_FALSE(exists("out")) << arg;
    }
}

TEST_F(Driver, ParserErrorsPrintMessageAndUsageAndExitOne) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--foo", "a", "b", "c", "out"}, "unrecognized option '--foo'"},
        {{"--ascii=1", "a", "b", "c", "out"}, "option '--ascii' doesn't allow an argument"},
        {{"--help=x"}, "option '--help' doesn't allow an argument"},
        {{"-x"}, "invalid option -- 'x'"},
        {{"-1x?"}, "invalid option -- 'x'"},
        {{"a", "b", "c", "-o"}, "option requires an argument -- 'o'"},
        {{"a", "--output"}, "option '--output' requires an argument"},
        {{"--m", "a"}, "option '--m' is ambiguous"},
    };
    for (const auto& c : cases) {
        const auto r = velkor(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_TRUE(shows_usage(r)) << c.args[0];
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(exists("out"));
    }
}

TEST_F(Driver, VersionGoesToStandardError) {
    const auto r = velkor({"-v", "a", "b", "c", "out"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("velkor Version 1.", 0), 0u);
    EXPECT_EQ(r.err.back(), '\n');
    EXPECT_EQ(velkor({"--vers"}).err, r.err);
}

TEST_F(Driver, FlagOptionsAreAcknowledgedInOrder) {
    const auto r = velkor({"--ascii", "a", "b", "--mirror", "c", "out"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "option ascii\noption mirror\na+b+c->out\n");
    // "minutes-" is shared by two options that set the same cell: accepted.
    const auto s = velkor({"--minutes-", "--debug", "--normaltime", "a", "b", "c", "out"});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(s.out, "option minutes-in-day\noption debug\noption normaltime\na+b+c->out\n");
}

TEST_F(Driver, OptionsWithUnusedArgumentsAreReportedAndIgnored) {
    const auto r = velkor({"-e", "7", "a", "b", "c", "out", "-E9"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "?? getopt returned character code 101 ??\n"
                     "?? getopt returned character code 69 ??\n"
                     "a+b+c->out\n");
    EXPECT_TRUE(exists("out"));
}

TEST_F(Driver, TwoColumnGroupsWithAndWithoutOutputOption) {
    write("d", "1 1\n");
    write("e", "1 1\n");
    write("f", "1 1\n");
    const auto r = velkor({"-o", "out", "a", "b", "c", "d", "e", "f", "g"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "a+b+c->out\nd+e+f->g\n");
    EXPECT_TRUE(exists("out"));
    EXPECT_TRUE(exists("g"));
    // Long and upper-case forms of -o.
    const auto s = velkor({"--output", "o1", "a", "b", "c", "-Oo2", "d", "e", "f", "x"});
    // Every option is parsed before the first group, so the last -o wins.
    EXPECT_EQ(s.out, "a+b+c->o2\nd+e+f->x\n");
    EXPECT_FALSE(exists("o1"));
}

TEST_F(Driver, FourColumnGroups) {
    auto r = velkor({"-4", "q", "y"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "q->y\n");
    r = velkor({"-4", "q", "y1", "q", "y2"});
    EXPECT_EQ(r.out, "q->y1\nq->y2\n");
    r = velkor({"-4", "q"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: no output file given\n  the -4 layout takes one input file and an "
                     "output; 1 name was left (name the output after the input, or with -o)\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(Driver, OneColumnGroupsNeedATimeFile) {
    auto r = velkor({"-t", "t", "v", "v", "v", "out"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "t+v+v+v->out\n");
    // The time file serves every later group.
    r = velkor({"--time=t", "-o", "o1", "v", "v", "v", "v", "v", "v", "o2"});
    EXPECT_EQ(r.out, "t+v+v+v->o1\nt+v+v+v->o2\n");
    r = velkor({"-1", "v", "v", "v", "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: no time file given\n");
}

TEST_F(Driver, MissingOutputOrInputNames) {
    // The second line says what the layout takes and what was left.
    const std::string two = "the -2 layout takes three input files and an output; ";
    const struct {
        std::vector<std::string> args;
        std::string second;
    } missing[] = {
        {{"a", "b", "c"}, two + "3 names were left (name the output after the inputs, or with -o)"},
        {{"a", "b"}, two + "2 names were left (for one four-column file use -4)"},
        {{"a"}, two + "1 name was left (for one four-column file use -4 and name an output)"},
        {{"-t", "t", "v", "v"},
         "the -1 layout takes three value files and an output; 2 names were left (check that no "
         "value file is missing)"},
    };
    for (const auto& m : missing) {
        const auto r = velkor(m.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Error: no output file given\n  " + m.second + "\n");
        EXPECT_EQ(r.out, "");
    }
    auto r = velkor({"-o", "out", "a", "b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: not enough input files\n");
    EXPECT_FALSE(exists("out"));
    r = velkor({"-t", "t", "-o", "out", "v", "v"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: not enough input files\n");
    // A first group converts before a second fails.
    r = velkor({"a", "b", "c", "o1", "a", "b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "a+b+c->o1\n");
    EXPECT_TRUE(exists("o1"));
}

TEST_F(Driver, FailingGroupKeepsEarlierOutputsAndLeavesNoOutputOfItsOwn) {
    write("bad", "1 1\nnot a number\n");
    write("o2", "!precious\n"); // an earlier output
    const auto r = velkor({"a", "b", "c", "o1", "a", "bad", "c", "o2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "a+b+c->o1\na+bad+c->o2\n");
    EXPECT_NE(r.err.find("Not 2 columns in file bad. Rerun with -t timefile\n"), std::string::npos);
    EXPECT_TRUE(exists("o1"));
    EXPECT_EQ(read("o2"), "!precious\n");
}

TEST_F(Driver, InputErrorsEndTheRun) {
    auto r = velkor({"a", "b", "missing", "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Can't open file missing: No such file or directory\n");
    EXPECT_FALSE(exists("out"));
    r = velkor({"-4", ".", "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error reading file .: Is a directory\n");
    EXPECT_FALSE(exists("out"));
}

TEST_F(Driver, QuietWritesErrorsAndWarningsOnly) {
    // 3000 rows whose values all clip at a scale of 1000: a line per block
    // of six, or with -q one line.
    std::string loud;
    for (int i = 0; i < 3000; ++i)
        loud += std::to_string(1767312000 + i) + " 40 40 -40\n";
    write("loud.txt", loud);
    const std::string clipped = "Warning: scale out of range. 1536 values cliped.\n";
    const struct {
        std::vector<std::string> args;
        std::string out, err;
        int status;
    } cases[] = {
        {{"-s", "1000", "-4", "loud.txt", "o.avq"},
         "loud.txt->o.avq\n",
         "Warning: no comments in file loud.txt\nBest guess at samplingfrequency is 1\nWarning: "
         "length of file not multiple of 512\nFilling with zeroes\n" +
             clipped + clipped + clipped + clipped + clipped +
             "Warning: scale out of range. 1320 values cliped.\n",
         0},
        {{"-q", "-s", "1000", "-4", "loud.txt", "o.avq"},
         "",
         "Warning: no comments in file loud.txt\nWarning: length of file not multiple of 512\n"
         "Warning: scale out of range in 6 blocks; 9000 values clipped\n",
         0},
        // No acknowledgements, progress lines, codes of ignored options,
        // estimate or fill notices.
        {{"--quiet", "--ascii", "--mirror", "-e", "1", "a", "b", "c", "o.avq"},
         "",
         "Warning: length of file not multiple of 512\n",
         0},
        // What was asked for is still said; errors are.
        {{"-q", "--summary", "-4", "q", "o.avq"},
         "summary: o.avq: 1 rows read, 1 blocks written, 511 rows added by zero fill, 0 values "
         "clipped, 1970-01-01 00:00:01.00 to 1970-01-01 00:00:01.00 UTC, typical interval "
         "unknown\n",
         "Warning: length of file not multiple of 512\n",
         0},
        {{"-q", "a", "b", "missing", "o.avq"},
         "",
         "Can't open file missing: No such file or directory\n",
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const auto r = velkor(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
    // The same from standard input, with the output on standard output.
    const auto r = shell("exec \"$0\" -q -s 1000 -4 - - < loud.txt > o.avq");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning: no comments in file -\nWarning: length of file not multiple of "
                     "512\nWarning: scale out of range in 6 blocks; 9000 values clipped\n");
}

TEST_F(Driver, ScaleMustBeAFiniteNumber) {
    write("one", "!h\n0 1 0 0\n");
    // Scales show in ASCII output as the scaled first value of channel 1.
    const auto first_value = [&](const std::string& scale) {
        const auto r = velkor({"--ascii", "-4", "-s", scale, "one", "out"});
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string text = read("out");
        const auto line = text.substr(text.find('\n') + 1);
        // Fields: minute, second, then the values.
        std::size_t p = line.find(' ');
        p = line.find(' ', p + 1);
        return line.substr(p + 1, line.find(' ', p + 1) - p - 1);
    };
    EXPECT_EQ(first_value(" 2.5\t"), "2.5");
    EXPECT_EQ(first_value(" 0x10"), "16");
    EXPECT_EQ(first_value("1e-3"), "0.001");
    EXPECT_EQ(first_value("0"), "0");
    // Anything else is refused before the first group, whatever option
    // spelling gave it; earlier outputs of the name stay.
    write("out", "previous");
    const struct {
        const char* option;
        const char* text;
    } bad[] = {{"-s", "abc"}, {"-s", "1,000"}, {"-S", "2.5x"}, {"--scale", ""},
               {"-s", " "},   {"-s", "inf"},   {"-s", "-nan"}, {"--scale", "1e999"}};
    for (const auto& b : bad) {
        const auto r = velkor({"-4", b.option, b.text, "one", "out"});
        EXPECT_EQ(r.status, 1) << b.text;
        EXPECT_EQ(r.err, std::string("Error: invalid scale ") + b.text + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(read("out"), "previous");
    }
    // Acknowledgements parsed before the bad scale are still printed.
    const auto r = velkor({"--ascii", "--scale=abc", "one", "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "option ascii\n");
    EXPECT_EQ(r.err, "Error: invalid scale abc\n");
}

} // namespace
