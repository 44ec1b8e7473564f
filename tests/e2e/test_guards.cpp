// Guards against the mistakes users make, seen from the command line: an
// output that is one of its own inputs, an AVQ file given as an input, an
// output that is no AVQ file (a data file named by a slip), binary data sent
// to a terminal, long lines, errors that show the line, progress lines in
// order with the warnings, and output files that keep what users rely on
// (links, outputs in directories that may not be written, empty names, a
// reader of standard output that has gone). Every refusal leaves the inputs
// and earlier outputs byte for byte as they were.
#include <sys/stat.h>
#include <unistd.h>

#include <map>
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

// What velkor says of in.txt: its third column, 0.0 to 0.9, is stored as 0
// at scale 1.
const std::string WARNINGS = "Warning: 540 of 600 values of channel 3 are stored as 0 because "
                             "|value x scale| < 1; use -s to scale them up or --ascii to keep "
                             "them\nWarning: length of file not multiple of 512\n"
                             "Filling with zeroes\n";

class Guards : public VelkorTest {
  protected:
    void SetUp() override {
        VelkorTest::SetUp();
        write("in.txt", four_columns());
        write("b.txt", "1 1\n2 2\n");
    }
    // The bytes of a conversion of `args` into `out`.
    std::string converted(std::vector<std::string> args, const std::string& out = "ref.out") {
        args.push_back(out);
        const auto r = velkor(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return read(out);
    }
    // Every entry of the directory but the log, with its bytes.
    std::map<std::string, std::string> files() const {
        std::map<std::string, std::string> m;
        for (const std::string& name : testfiles::list_dir(dir())) {
            if (name != "logfile") m[name] = testfiles::try_read_file(path(name)).value_or("");
        }
        return m;
    }
};

const std::string NOT_AVQ =
    " exists and is not an AVQ file; it is left as it is (use --force to replace it)\n";

TEST_F(Guards, RefusalsLeaveTheInputsAndTheOutputAsTheyWere) {
    ASSERT_EQ(::link(path("in.txt").c_str(), path("hard.txt").c_str()), 0);
    ASSERT_EQ(::symlink("in.txt", path("soft.txt").c_str()), 0);
    converted({"-4", "in.txt"}, "old.avq");
    converted({"-4", "--ascii", "in.txt"}, "old.txt");
    write("a.txt", "1 1\n2 2\n3 3\n4 4\n");
    write("semi.txt", "!station\n1 1\n2 2\n1.5;2\n3 3\n");
    write("bad.txt", "1 2 3 4\n1\t2\r\x01" + std::string(100, '9') + "\n");
    write("out.avq", "!previous\n"); // an earlier output: an AVQ file without blocks
    // Files that are no AVQ files, though they begin with "!": text with
    // CR LF line ends, and with CR line ends longer than a binary record.
    write("crlf.txt", "!x\r\n1 2 3 4\r\n");
    std::string cr = "!x\r";
    for (int i = 0; i < 300; ++i)
        cr += std::to_string(1262347509 + i) + " 1 2 3\r";
    write("cr.txt", cr);
    ASSERT_EQ(::symlink("semi.txt", path("data.lnk").c_str()), 0);
    // Exports that the plain reading would read wrong, silently.
    write("eu.txt", "1767312000.00 0,3738\n");
    write("pa.txt", "!c\n1767312000 12.5Pa\n");
    write("csv.txt", "1767312000,0.5,1,2\n");
    write("semi4.txt", "1767312000;0,5;1;2\n");
    write("v.txt", "0,5\n");
    write("t1.txt", "1767312000\n");
    write("day.txt", "1767312000.5 1 2 3\n2026-02-30 00:00:00 1 2 3\n");
    write("de.txt", "02.01.2026 00:00:00,05;1;2;3\n");
    write("two.txt", "1767312000, 1 2, 3, 4\n");
    const auto before = files();
    const std::string swapped = " is an AVQ file, not a text input (are the input and output "
                                "swapped?)\n";
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        // An output that is one of its inputs, under any name.
        {{"-4", "in.txt", "in.txt"}, "Error: output file in.txt is also an input\n"},
        {{"-4", "in.txt", "./in.txt"}, "Error: output file ./in.txt is also an input\n"},
        {{"-4", "in.txt", "hard.txt"}, "Error: output file hard.txt is also an input\n"},
        {{"-4", "in.txt", "soft.txt"}, "Error: output file soft.txt is also an input\n"},
        {{"in.txt", "b.txt", "b.txt", "in.txt"}, "Error: output file in.txt is also an input\n"},
        {{"b.txt", "b.txt", "in.txt", "soft.txt"},
         "Error: output file soft.txt is also an input\n"},
        {{"-t", "in.txt", "b.txt", "b.txt", "b.txt", "hard.txt"},
         "Error: output file hard.txt is also an input\n"},
        // An AVQ file as any input of a group, the time file included.
        {{"-4", "old.avq", "out.avq"}, "Error: old.avq" + swapped},
        {{"-4", "old.txt", "out.avq"}, "Error: old.txt" + swapped},
        {{"b.txt", "old.avq", "b.txt", "out.avq"}, "Error: old.avq" + swapped},
        {{"-t", "old.txt", "b.txt", "b.txt", "b.txt", "out.avq"}, "Error: old.txt" + swapped},
        // Parse errors show the line, cut to 80 bytes, with the bytes that do
        // not print escaped.
        {{"a.txt", "semi.txt", "a.txt", "out.avq"},
         "Error: semi.txt: the number in \"1.5;2\" is followed by other text\n  line 4: 1.5;2\n"
         "  (fields separated by \";\"? use --delimiter=;)\n"},
        {{"-4", "bad.txt", "out.avq"},
         "Not 4 columns in file bad.txt\n  line 2: 1\\t2\\r\\x01" + std::string(75, '9') + "\n"},
        // An existing file that is no AVQ file as the output (a glob with a
        // name too many or too few), before anything is read.
        {{"-4", "in.txt", "b.txt"}, "Error: output file b.txt" + NOT_AVQ},
        {{"in.txt", "in.txt", "in.txt", "semi.txt"}, "Error: output file semi.txt" + NOT_AVQ},
        {{"-4", "--ascii", "in.txt", "data.lnk"}, "Error: output file data.lnk" + NOT_AVQ},
        {{"-4", "in.txt", "crlf.txt"}, "Error: output file crlf.txt" + NOT_AVQ},
        {{"-4", "in.txt", "cr.txt"}, "Error: output file cr.txt" + NOT_AVQ},
        // A number followed by other text: the field, the line, and a hint
        // at the option that reads it.
        {{"eu.txt", "eu.txt", "eu.txt", "out.avq"},
         "Error: eu.txt: the number in \"0,3738\" is followed by other text\n  line 1: "
         "1767312000.00 0,3738\n  (a decimal comma? use --decimal-comma)\n"},
        {{"pa.txt", "pa.txt", "pa.txt", "out.avq"},
         "Error: pa.txt: the number in \"12.5Pa\" is followed by other text\n  line 2: "
         "1767312000 12.5Pa\n"},
        {{"-4", "csv.txt", "out.avq"},
         "Error: csv.txt: the number in \"1767312000,0.5,1,2\" is followed by other text\n  "
         "line 1: 1767312000,0.5,1,2\n  (a decimal comma? use --decimal-comma)\n  (fields "
         "separated by \",\"? use --delimiter=,)\n"},
        {{"-4", "semi4.txt", "out.avq"},
         "Error: semi4.txt: the number in \"1767312000;0,5;1;2\" is followed by other text\n  "
         "line 1: 1767312000;0,5;1;2\n  (fields separated by \";\"? use --delimiter=;)\n"},
        {{"-4", "--delimiter=;", "semi4.txt", "out.avq"},
         "Error: semi4.txt: the number in \"0,5\" is followed by other text\n  line 1: "
         "1767312000;0,5;1;2\n  (a decimal comma? use --decimal-comma)\n"},
        {{"-t", "t1.txt", "v.txt", "v.txt", "v.txt", "out.avq"},
         "Error: v.txt: the number in \"0,5\" is followed by other text\n  line 1: 0,5\n  (a "
         "decimal comma? use --decimal-comma)\n"},
        {{"-4", "--delimiter=,", "two.txt", "out.avq"},
         "Error: two.txt: the number in \"1 2\" is followed by other text\n  line 1: "
         "1767312000, 1 2, 3, 4\n"},
        // A time that begins like a date but is none velkor reads.
        {{"-4", "day.txt", "out.avq"},
         "Error: day.txt: \"2026-02-30 00:00:00\" is not a time velkor reads (seconds since "
         "1970, or ISO 8601 such as 2026-01-02T00:00:00.05Z)\n  line 2: 2026-02-30 00:00:00 1 2 "
         "3\n"},
        {{"-4", "de.txt", "out.avq"},
         "Error: de.txt: \"02.01.2026 00:00:00,05;1;2;3\" is not a time velkor reads (seconds "
         "since 1970, or ISO 8601 such as 2026-01-02T00:00:00.05Z)\n  line 1: 02.01.2026 "
         "00:00:00,05;1;2;3\n  (a decimal comma? use --decimal-comma)\n  (fields separated by "
         "\";\"? use --delimiter=;)\n"},
        // Options refused before the first group.
        {{"-4", "--delimiter=,", "--decimal-comma", "in.txt", "out.avq"},
         "Error: --decimal-comma cannot be used with --delimiter=,\n"},
        {{"-4", "--delimiter=:", "in.txt", "out.avq"},
         "Error: invalid delimiter : (one of , ; tab)\n"},
        {{"-4", "--station=IS 99", "in.txt", "out.avq"},
         "Error: invalid station IS 99 (one word of at most 32 printable characters)\n"},
        {{"-4", "--station=" + std::string(33, 'S'), "in.txt", "out.avq"},
         "Error: invalid station " + std::string(33, 'S') +
             " (one word of at most 32 printable characters)\n"},
        {{"-4", "--station=", "in.txt", "out.avq"},
         "Error: invalid station  (one word of at most 32 printable characters)\n"},
        {{"-4", "--gain=1,5", "in.txt", "out.avq"},
         "Error: invalid gain 1,5 (a decimal number such as 0.5 or 2e3)\n"},
        {{"-4", "--gain=0x10", "in.txt", "out.avq"},
         "Error: invalid gain 0x10 (a decimal number such as 0.5 or 2e3)\n"},
    };
    for (const auto& c : cases) {
        const auto r = velkor(c.args);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(files() == before) << c.err; // no temporary file either
    }
    // Devices are not compared.
    EXPECT_EQ(velkor({"-4", "in.txt", "/dev/null"}).status, 0);
    // -f or --force replaces such an output (through a link, its target).
    EXPECT_EQ(converted({"-4", "-f", "in.txt"}, "b.txt"), converted({"-4", "in.txt"}));
    EXPECT_EQ(converted({"--force", "-4", "--ascii", "in.txt"}, "data.lnk"),
              converted({"-4", "--ascii", "in.txt"}));
    EXPECT_EQ(read("semi.txt"), read("ref.out"));
}

TEST_F(Guards, RerunReplacesItsOwnEarlierOutput) {
    // Fewer rows than a block, truncated: the header alone (an empty group).
    write("few.txt", "!few rows\n1262347509 1 2 3\n");
    write("empty.avq", ""); // an empty file is no one's data
    const std::vector<std::vector<std::string>> runs = {{"-4", "in.txt"},
                                                        {"-4", "--truncate", "few.txt"},
                                                        {"-4", "--ascii", "in.txt"},
                                                        {"-4", "--ascii", "--truncate", "few.txt"},
                                                        {"-4", "-s", "2", "in.txt"},
                                                        {"-4", "--ascii", "-s", "2", "in.txt"},
                                                        {"-4", "--truncate", "few.txt"}};
    for (const std::string out : {"out.avq", "empty.avq"}) {
        for (const auto& args : runs) {
            const std::string want = converted(args);
            EXPECT_EQ(converted(args, out), want) << args[1] << " " << args[2];
        }
    }
    EXPECT_EQ(read("out.avq"), "!few rows\r");
    EXPECT_EQ(testfiles::list_dir(dir()),
              (std::vector<std::string>{"b.txt", "empty.avq", "few.txt", "in.txt", "logfile",
                                        "out.avq", "ref.out"}));
}

TEST_F(Guards, BinaryDataAreNotWrittenToATerminal) {
    const std::string refused = "Error: binary AVQ data is not written to a terminal; name an "
                                "output file or redirect standard output\n";
    auto r = e2e::run_on_terminal(VELKOR_BIN, {"-4", "in.txt", "-"}, dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "in.txt->-\n" + refused);
    EXPECT_EQ(r.out, "");
    r = e2e::run_on_terminal(VELKOR_BIN, {"-4", "-f", "in.txt", "/dev/stdout"}, dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, refused);
    EXPECT_EQ(r.out, "in.txt->/dev/stdout\n");
    EXPECT_EQ(testfiles::list_dir(dir()), (std::vector<std::string>{"b.txt", "in.txt", "logfile"}));
    // ASCII text may go to a terminal, and binary data to a file.
    r = e2e::run_on_terminal(VELKOR_BIN, {"-4", "--ascii", "in.txt", "-"}, dir());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == converted({"-4", "--ascii", "in.txt"}));
    r = e2e::run_on_terminal(VELKOR_BIN, {"-4", "in.txt", "out.avq"}, dir());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "in.txt->out.avq\n");
}

TEST_F(Guards, EarlierGroupsOutputStaysWhenALaterGroupIsRefused) {
    // The later group's progress line comes as before; of an empty name
    // nothing is read (no warning of its own); a link into a missing
    // directory stays.
    ASSERT_EQ(::symlink("nowhere/day.avq", path("lost.avq").c_str()), 0);
    const struct {
        const char* output;
        std::string err;
    } cases[] = {
        {"in.txt", WARNINGS + "Error: output file in.txt is also an input\n"},
        {"b.txt", WARNINGS + "Error: output file b.txt" + NOT_AVQ},
        {"", WARNINGS + "Can't open output file : No such file or directory\n"},
        {"lost.avq",
         WARNINGS + WARNINGS + "Can't open output file lost.avq: No such file or directory\n"},
    };
    for (const auto& c : cases) {
        const auto r = velkor({"-4", "in.txt", "first.avq", "in.txt", c.output});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, std::string("in.txt->first.avq\nin.txt->") + c.output + "\n");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(read("first.avq"), converted({"-4", "in.txt"}));
    }
    EXPECT_TRUE(exists("lost.avq"));
}

TEST_F(Guards, LongLinesAreReadWhole) {
    // Thirty fields more than the layout uses change nothing in either form.
    std::string extra;
    for (int i = 0; i < 30; ++i)
        extra += " 123456.789";
    write("wide.txt", four_columns(extra));
    for (const char* form : {"--binary", "--ascii"})
        EXPECT_EQ(converted({"-4", form, "wide.txt"}), converted({"-4", form, "in.txt"}, "p"));
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

TEST_F(Guards, ProgressLinesStandInOrderWithTheWarnings) {
    // Standard output and standard error into one file, as "> run.log 2>&1".
    write("a.txt", "1 1 2 3\n2 1 2 3\n");
    EXPECT_EQ(shell("exec \"$0\" -4 --mirror a.txt o1 a.txt o2 > run.log 2>&1").status, 0);
    const std::string group = "Warning: no comments in file a.txt\n"
                              "Best guess at samplingfrequency is 1\n"
                              "Warning: length of file not multiple of 512\n"
                              "Filling with mirror\n";
    EXPECT_EQ(read("run.log"), "option mirror\na.txt->o1\n" + group + "a.txt->o2\n" + group);
}

TEST_F(Guards, SymbolicLinkIsFollowedToATargetThatDoesNotExistYet) {
    ASSERT_EQ(::mkdir(path("archive").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("archive/day.avq", path("out.avq").c_str()), 0);
    EXPECT_EQ(velkor({"-4", "in.txt", "out.avq"}).status, 0);
    EXPECT_EQ(read("archive/day.avq"), converted({"-4", "in.txt"}));
    char target[64] = {};
    ASSERT_GT(::readlink(path("out.avq").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "archive/day.avq");
}

TEST_F(Guards, ExistingOutputInADirectoryThatMayNotBeWrittenIsRewrittenInPlace) {
    // Root may write into any directory: the run is then made as the user
    // nobody, where that can be done.
    std::vector<std::string> as_user;
    if (::geteuid() == 0) {
        as_user = {"--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    ASSERT_EQ(::chmod(dir().c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(path("ro").c_str(), 0755), 0);
    write("ro/day.avq", "!previous\n");
    write("ro/locked.avq", "!locked\n");
    ASSERT_EQ(::chmod(path("ro/day.avq").c_str(), 0666), 0);
    ASSERT_EQ(::chmod(path("ro/locked.avq").c_str(), 0444), 0);
    ASSERT_EQ(::chmod(path("ro").c_str(), 0555), 0);
    const auto run = [&](const std::string& out) {
        std::vector<std::string> args = as_user;
        args.insert(args.end(), {VELKOR_BIN, "-4", "in.txt", out});
        return as_user.empty() ? velkor({"-4", "in.txt", out})
                               : e2e::run_program("/usr/bin/setpriv", args, dir());
    };
    if (!as_user.empty() && run("/dev/null").status != 0)
        GTEST_SKIP() << "running as root, and the user nobody cannot run velkor here";
    auto r = run("ro/day.avq");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read("ro/day.avq"), converted({"-4", "in.txt"}));
    // A file that may not be written stays refused.
    r = run("ro/locked.avq");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, WARNINGS + "Can't open output file ro/locked.avq: Permission denied\n");
    EXPECT_EQ(read("ro/locked.avq"), "!locked\n");
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
    EXPECT_EQ(r.err, "in.txt->-\n" + WARNINGS + "Error writing file -: Broken pipe\n");
}

} // namespace
