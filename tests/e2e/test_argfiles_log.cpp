// Argument files and the invocation log, seen from the command line: an
// argument file gives the same run as its arguments written out, the log
// shows the expanded arguments in the caller's local time while the output
// stays in UTC, and runs started together each leave one intact log line.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

// 1024 rows of a four-column file (time and three values) at 20 Hz from
// 2023-11-14 22:13:20 UTC, without comment lines, so the header is built from
// the data.
constexpr long FIRST_TIME = 1700000000;
constexpr const char* FIRST_TIME_UTC = "date: 2023-11-14 time: 22:13:20";

std::string timed_data() {
    std::ostringstream s;
    for (int i = 0; i < 1024; ++i) {
        char t[32];
        std::snprintf(t, sizeof t, "%ld.%02d", FIRST_TIME + i / 20, (i % 20) * 5);
        s << t << ' ' << i % 7 << ' ' << -(i % 5) << ' ' << i % 11 << '\n';
    }
    return s.str();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The part of a log line after its stamp ("MM/DD/YY HH:MM:SS" in the POSIX
// locale), checking the stamp's shape.
std::string after_stamp(const std::string& line) {
    static const std::regex stamp(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)");
    EXPECT_TRUE(std::regex_match(line.substr(0, 17), stamp)) << line.substr(0, 80);
    return line.size() > 17 ? line.substr(17) : "";
}

const std::vector<std::string> C_LOCALE = {"LC_ALL=C"};

using ArgFilesAndLog = e2e::VelkorTest;

TEST_F(ArgFilesAndLog, ArgumentFileGivesTheSameRunAsItsArgumentsWrittenOut) {
    write("data.txt", timed_data());
    write("args", "-4\ndata.txt\n");

    const e2e::Result direct = velkor({"-4", "data.txt", "out.avq"}, C_LOCALE);
    EXPECT_EQ(direct.status, 0) << direct.err;
    ASSERT_TRUE(exists("out.avq"));
    const std::string direct_bytes = read("out.avq");
    std::remove(path("out.avq").c_str());

    // A file written on Windows (CR LF line ends) gives the same run.
    write("args-windows", "-4\r\ndata.txt\r\n");
    for (const char* args : {"@args", "@args-windows"}) {
        const e2e::Result from_file = velkor({args, "out.avq"}, C_LOCALE);
        EXPECT_EQ(from_file.status, direct.status);
        EXPECT_EQ(from_file.out, direct.out);
        EXPECT_EQ(from_file.err, direct.err);
        ASSERT_TRUE(exists("out.avq"));
        EXPECT_EQ(read("out.avq"), direct_bytes);
        std::remove(path("out.avq").c_str());
    }

    // All runs are logged with the same, expanded, arguments.
    const std::vector<std::string> log = lines_of(read("logfile"));
    ASSERT_EQ(log.size(), 3u);
    const std::string expected = std::string(" ") + VELKOR_BIN + " -4 data.txt out.avq";
    for (const std::string& line : log)
        EXPECT_EQ(after_stamp(line), expected);
}

TEST_F(ArgFilesAndLog, LogShowsNestedFilesExpandedAndCommentsDropped) {
    write("outer", "#written for the test\n--scale=2\n$inner\n@missing\n");
    write("inner", "two words\n#x\n--output=a,b\n");
    const e2e::Result r = velkor({"#note", "@outer", "", "@"}, C_LOCALE);
    (void)r;
    const std::vector<std::string> log = lines_of(read("logfile"));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(after_stamp(log[0]), std::string(" ") + VELKOR_BIN +
                                       " --scale=2 \"two words\" --output=\"a,b\" @missing  @");
}

TEST_F(ArgFilesAndLog, LogStampIsLocalTimeWhileOutputTimesStayUtc) {
    write("data.txt", timed_data());
    const std::vector<std::string> env = {"LC_ALL=C", "TZ=Etc/GMT-14"};
    const std::time_t before = std::time(nullptr);
    const e2e::Result r = velkor({"-4", "data.txt", "out.avq"}, env);
    const std::time_t after = std::time(nullptr);

    // Fourteen hours east of UTC.
    auto stamp_at = [](std::time_t t) {
        t += 14 * 3600;
        std::tm tm{};
        ::gmtime_r(&t, &tm);
        char buf[32];
        std::strftime(buf, sizeof buf, "%m/%d/%y %H:%M:%S", &tm);
        return std::string(buf);
    };
    const std::vector<std::string> log = lines_of(read("logfile"));
    ASSERT_EQ(log.size(), 1u);
    const std::string stamp = log[0].substr(0, 17);
    EXPECT_TRUE(stamp == stamp_at(before) || stamp == stamp_at(after)) << stamp;
    EXPECT_EQ(after_stamp(log[0]), std::string(" ") + VELKOR_BIN + " -4 data.txt out.avq");

    // The header built from the data gives the first row's time in UTC.
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(exists("out.avq"));
    const std::string out = read("out.avq");
    const std::string header = out.substr(0, out.find('\r'));
    EXPECT_NE(header.find(FIRST_TIME_UTC), std::string::npos) << header;
}

TEST_F(ArgFilesAndLog, LogThatCannotBeOpenedDoesNotChangeTheRun) {
    // A directory in the log's place cannot be opened for writing, whoever
    // runs the test.
    ASSERT_EQ(::mkdir(path("logfile").c_str(), 0755), 0);
    const e2e::Result r = velkor({"--version"}, C_LOCALE);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.substr(0, 17), "No logfile entry\n");
    EXPECT_NE(r.err.find("Version"), std::string::npos);
}

TEST_F(ArgFilesAndLog, LogLineThatCannotBeWrittenWholeIsReportedAndTheRunGoesOn) {
    // Under a file size limit of 4096 bytes a log of 4090 bytes takes only
    // the first 6 bytes of the new line (SIGXFSZ ignored, so that the write
    // fails instead of killing the run); the output fits.
    write("data.txt", "!c\n1 1 2 3\n");
    ASSERT_EQ(velkor({"-4", "data.txt", "ref.avq"}, C_LOCALE).status, 0);
    const std::string earlier = std::string(4089, '=') + "\n";
    write("logfile", earlier);
    const e2e::Result r = e2e::run_program(
        "/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 8; exec \"$0\" -4 data.txt out.avq", VELKOR_BIN},
        dir(), C_LOCALE);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "No logfile entry\nWarning: length of file not multiple of 512\n"
                     "Filling with zeroes\n");
    EXPECT_EQ(r.out, "data.txt->out.avq\n");
    EXPECT_EQ(read("out.avq"), read("ref.avq"));
    const std::string log = read("logfile");
    EXPECT_EQ(log.substr(0, earlier.size()), earlier);
    EXPECT_EQ(log.size(), 4096u);

    // The next run ends the line cut short before its own: one entry lost,
    // no line glued to another.
    ASSERT_EQ(velkor({"--version"}, C_LOCALE).status, 0);
    const std::string next = read("logfile");
    EXPECT_EQ(next.substr(0, 4097), log + "\n");
    EXPECT_EQ(after_stamp(next.substr(4097)), std::string(" ") + VELKOR_BIN + " --version\n");
}

TEST_F(ArgFilesAndLog, RunsStartedTogetherEachLeaveOneIntactLine) {
    constexpr int RUNS = 50;
    // Long arguments make each line far longer than a stdio buffer flush or
    // a pipe's atomic write, so that a line written in pieces would show.
    const std::string pad(6000, 'x');

    // Every child waits on the pipe until all have been started.
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < RUNS; ++i) {
        const std::string id = "run" + std::to_string(i);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(gate[1]);
            char c;
            while (::read(gate[0], &c, 1) > 0) {
            }
            const int null_fd = ::open("/dev/null", O_RDWR);
            ::dup2(null_fd, 1);
            ::dup2(null_fd, 2);
            if (::chdir(dir().c_str()) != 0) ::_exit(126);
            ::setenv("LC_ALL", "C", 1);
            const std::string input = "missing-" + id + "-" + pad;
            const char* argv[] = {VELKOR_BIN, "-4", input.c_str(), "out", id.c_str(), nullptr};
            ::execv(VELKOR_BIN, const_cast<char* const*>(argv));
            ::_exit(127);
        }
        children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status));
    }

    const std::vector<std::string> log = lines_of(read("logfile"));
    EXPECT_EQ(log.size(), static_cast<std::size_t>(RUNS));
    std::map<std::string, int> seen;
    for (const std::string& line : log) {
        const std::string rest = after_stamp(line);
        const std::string id = rest.substr(rest.rfind(' ') + 1);
        const std::string expected =
            std::string(" ") + VELKOR_BIN + " -4 missing-" + id + "-" + pad + " out " + id;
        // Printed short: the lines are long.
        EXPECT_TRUE(rest == expected)
            << line.substr(0, 80) << "..." << line.substr(line.size() - 20);
        ++seen[id];
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(RUNS));
    for (const auto& [id, count] : seen)
        EXPECT_EQ(count, 1) << id;
}

} // namespace
