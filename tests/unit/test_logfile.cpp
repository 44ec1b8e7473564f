// Invocation log: the stamp, the three forms of an entry and their escaping,
// appending, and what happens when the log cannot be opened or memory for
// the line cannot be had.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "../test_files.h"
#include "argutil.h"
#include "argutil_internal.h"

namespace {

using Args = std::vector<std::string>;

class LogFile : public ::testing::Test {
  protected:
    void SetUp() override {
        log_ = dir_ + "/log";
        // The stamp follows LC_TIME of the environment; the POSIX locale
        // writes it as "MM/DD/YY HH:MM:SS".
        ::setenv("LC_ALL", "C", 1);
    }
    std::string contents() const { return testfiles::try_read_file(log_).value_or(""); }

    static std::vector<const char*> pointers(const Args& args) {
        std::vector<const char*> p;
        for (const std::string& a : args)
            p.push_back(a.c_str());
        p.push_back(nullptr);
        return p;
    }

    void log(const Args& args, const argutil_internal::log_hooks& hooks = {}) {
        const std::vector<const char*> p = pointers(args);
        argutil_internal::flogfile_hooked(log_.c_str(), static_cast<int>(args.size()), p.data(),
                                          hooks);
    }

    // Logs `args` and returns what the call appended after its 17-character
    // stamp, which it checks.
    std::string entries(const Args& args) {
        const std::size_t before = contents().size();
        log(args);
        const std::string line = contents().substr(before);
        static const std::regex stamp(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)");
        EXPECT_GE(line.size(), 17u);
        EXPECT_TRUE(std::regex_match(line.substr(0, 17), stamp)) << line;
        return line.substr(17);
    }

    testfiles::TempDir tmp_{"velkor-log"};
    const std::string& dir_ = tmp_.path();
    std::string log_;
};

TEST_F(LogFile, PlainEntriesGoOutUnchanged) {
    EXPECT_EQ(entries({}), "\n");
    EXPECT_EQ(entries({"velkor", "-4", "data.txt", "--scale=2"}),
              " velkor -4 data.txt --scale=2\n");
    // Double quotes and backslashes alone call for no quoting and no escape.
    EXPECT_EQ(entries({"a\"b", "c\\d"}), " a\"b c\\d\n");
    // An empty entry is its space alone.
    EXPECT_EQ(entries({"a", "", "b", ""}), " a  b \n");
}

TEST_F(LogFile, SpaceCommaOrAsteriskAreQuoted) {
    EXPECT_EQ(entries({"two words", "a,b", "*.txt"}), " \"two words\" \"a,b\" \"*.txt\"\n");
    // Two hyphens and an equals sign: only the value is quoted.
    EXPECT_EQ(entries({"--output=two words"}), " --output=\"two words\"\n");
    EXPECT_EQ(entries({"--a,b=c"}), " --a,b=\"c\"\n");
    EXPECT_EQ(entries({"--o=a=b c"}), " --o=\"a=b c\"\n");
    EXPECT_EQ(entries({"--o= "}), " --o=\" \"\n");
    // One hyphen, or no equals sign: quoted whole.
    EXPECT_EQ(entries({"-t=two words"}), " \"-t=two words\"\n");
    EXPECT_EQ(entries({"--two words"}), " \"--two words\"\n");
}

TEST_F(LogFile, QuotedTextEscapesQuotesAndBackslashesOnly) {
    EXPECT_EQ(entries({"say \"hi\" \\x"}), " \"say \\\"hi\\\" \\\\x\"\n");
    EXPECT_EQ(entries({"--o=\"a b\"\\"}), " --o=\"\\\"a b\\\"\\\\\"\n");
    // The name before the equals sign is never escaped.
    EXPECT_EQ(entries({"--\"x\" =y"}), " --\"x\" =\"y\"\n");
    EXPECT_EQ(entries({"tab\there x"}), " \"tab\there x\"\n");
}

TEST_F(LogFile, LineFeedInsideAnEntryIsWrittenAsIs) {
    EXPECT_EQ(entries({"a\nb", "c d\ne", "--o=f\ng h"}), " a\nb \"c d\ne\" --o=\"f\ng h\"\n");
}

TEST_F(LogFile, EachCallAppendsOneLine) {
    {
        std::ofstream out(log_);
        out << "earlier line\n";
    }
    log({"first"});
    log({"second", "x y"});
    const std::string text = contents();
    EXPECT_EQ(text.substr(0, 13), "earlier line\n");
    static const std::regex lines(R"(earlier line\n\d\d/\d\d/\d\d \d\d:\d\d:\d\d first\n)"
                                  R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d second "x y"\n)");
    EXPECT_TRUE(std::regex_match(text, lines)) << text;
}

TEST_F(LogFile, LineCutShortIsEndedBeforeTheNextOne) {
    testfiles::write_file(log_, "earlier line\n01/02/26 03:04:05 velk");
    log({"next"});
    log({"last"});
    static const std::regex lines(R"(earlier line\n01/02/26 03:04:05 velk\n)"
                                  R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d next\n)"
                                  R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d last\n)");
    EXPECT_TRUE(std::regex_match(contents(), lines)) << contents();
}

TEST_F(LogFile, StampIsTheLocalTimeOfTheEnvironment) {
    const char* old_tz = std::getenv("TZ");
    const std::string saved = old_tz != nullptr ? old_tz : "";
    ::setenv("TZ", "Etc/GMT-14", 1); // fourteen hours east of UTC
    ::tzset();
    const std::time_t before = std::time(nullptr);
    const std::string line = [&] {
        log({"x"});
        return contents();
    }();
    const std::time_t after = std::time(nullptr);
    if (old_tz != nullptr) {
        ::setenv("TZ", saved.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();

    auto stamp_at = [](std::time_t t) {
        t += 14 * 3600;
        std::tm tm{};
        ::gmtime_r(&t, &tm);
        char buf[32];
        std::strftime(buf, sizeof buf, "%m/%d/%y %H:%M:%S", &tm);
        return std::string(buf) + " x\n";
    };
    EXPECT_TRUE(line == stamp_at(before) || line == stamp_at(after)) << line;
}

TEST_F(LogFile, StampThatDoesNotFitIsWrittenInNumbers) {
    argutil_internal::log_hooks hooks;
    hooks.stamp_format = "%x %X and far too long a text";
    log({"x"}, hooks);
    static const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d x\n)");
    EXPECT_TRUE(std::regex_match(contents(), line)) << contents();
}

int open_calls = 0;
int open_fails_until = 0;
int counting_open(const char* name, void*) {
    ++open_calls;
    if (open_calls < open_fails_until) return -1;
    return ::open(name, O_WRONLY | O_APPEND | O_CREAT, 0666);
}

TEST_F(LogFile, ElevenAttemptsThenAMessage) {
    argutil_internal::log_hooks hooks;
    hooks.open_log = counting_open;

    open_calls = 0;
    open_fails_until = 1000;
    ::testing::internal::CaptureStderr();
    log({"x"}, hooks);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "No logfile entry\n");
    EXPECT_EQ(open_calls, 11);
    EXPECT_FALSE(std::filesystem::exists(log_));

    // The eleventh attempt is the last one that still counts.
    open_calls = 0;
    open_fails_until = 11;
    ::testing::internal::CaptureStderr();
    log({"x"}, hooks);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(open_calls, 11);
    EXPECT_EQ(contents().substr(17), " x\n");
}

TEST_F(LogFile, LogThatCannotBeCreatedCostsOneMessage) {
    const std::string missing_dir = dir_ + "/no/such/dir/logfile";
    const Args args{"velkor", "x"};
    const std::vector<const char*> p = pointers(args);
    ::testing::internal::CaptureStderr();
    flogfile(missing_dir.c_str(), 2, p.data());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "No logfile entry\n");

    // logfile writes "logfile" in the working directory.
    const auto old_dir = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    logfile(2, p.data());
    std::filesystem::current_path(old_dir);
    const std::string text = testfiles::read_file(dir_ + "/logfile");
    EXPECT_EQ(text.substr(17), " velkor x\n");
}

TEST_F(LogFile, LineThatCannotBeWrittenCostsOneMessage) {
    // /dev/full opens, but every write to it fails with ENOSPC.
    const Args args{"velkor", "x"};
    const std::vector<const char*> p = pointers(args);
    ::testing::internal::CaptureStderr();
    flogfile("/dev/full", 2, p.data());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "No logfile entry\n");
}

int allocations_left = 0;
void* failing_alloc(std::size_t n) {
    if (allocations_left == 0) return nullptr;
    --allocations_left;
    return std::malloc(n);
}

TEST_F(LogFile, WithoutMemoryForAnEscapedCopyTheLineIsTheSame) {
    argutil_internal::log_hooks hooks;
    hooks.alloc = failing_alloc;
    allocations_left = 1; // the line itself, and no escaped copy
    log({"a b", "--o=\"c d\"", "e"}, hooks);
    EXPECT_EQ(contents().substr(17), " \"a b\" --o=\"\\\"c d\\\"\" e\n");

    // Without memory for the line there is no entry, and a message says so.
    std::filesystem::remove(log_);
    allocations_left = 0;
    ::testing::internal::CaptureStderr();
    log({"x"}, hooks);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "No logfile entry\n");
    EXPECT_FALSE(std::filesystem::exists(log_));
}

} // namespace
