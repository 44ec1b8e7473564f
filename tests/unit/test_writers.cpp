// libavq's writers and output files: 16-bit saturation, the binary record
// layout (little-endian) and both time-header forms, the ASCII lines and
// their time fields, how output files are replaced and fail, headers
// rewritten in place and spools copied to outputs of every kind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <avq/avq.h>
#include <avq/writer.h>

#include "../test_files.h"
#include "../text_util.h"
#include "interrupts.h"

namespace {

using avq::CHANNELS;
using avq::SAMPLES;

// Opens `p` with libavq's output file; the test fails when it cannot.
std::unique_ptr<avq::OutputFile> open_output(const std::string& p) {
    avq::OutputError e;
    auto out = avq::OutputFile::open(p.c_str(), e);
    EXPECT_FALSE(e) << p << ": " << std::strerror(e.error);
    return out;
}

class Writers : public ::testing::Test {
  protected:
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    static std::string slurp(const std::string& p) { return testfiles::read_file(p); }
    static void put(const std::string& p, const std::string& text) {
        testfiles::write_file(p, text);
    }
    // Entries of the test directory, to see that no temporary file is left.
    std::vector<std::string> entries() const { return testfiles::list_dir(dir_); }
    // `blocks` blocks; row i channel c: time t0 + i, data given by `f`.
    template <class F> void table(std::size_t blocks, double t0, F f) {
        time_.assign(blocks * SAMPLES, 0.0);
        for (auto& d : data_)
            d.assign(blocks * SAMPLES, 0.0);
        for (std::size_t i = 0; i < time_.size(); ++i) {
            time_[i] = t0 + static_cast<double>(i);
            for (unsigned c = 0; c < CHANNELS; ++c)
                data_[c][i] = f(i, c);
        }
    }
    // Writes the header and the table into `name` in `form`; returns the
    // file and the values each block clipped.
    std::pair<std::string, std::vector<unsigned>> file(const std::string& name, avq::Form form) {
        const auto out = open_output(path(name));
        avq::WriteOptions o = options_;
        o.form = form;
        avq::Writer writer(out->buffer(), o);
        writer.header(header_);
        std::vector<unsigned> clipped;
        for (std::size_t b = 0; b < time_.size(); b += SAMPLES) {
            clipped.push_back(writer.block(
                {time_[b], {data_[0].data() + b, data_[1].data() + b, data_[2].data() + b}}));
        }
        EXPECT_FALSE(out->finish());
        return {slurp(path(name)), clipped};
    }
    std::pair<std::string, std::vector<unsigned>> binary_file() {
        return file("out.avq", avq::Form::binary);
    }
    std::string ascii_file() { return file("out.txt", avq::Form::ascii).first; }
    static std::uint16_t word(const std::string& f, std::size_t offset) {
        return avq::get_le16(reinterpret_cast<const unsigned char*>(f.data()) + offset);
    }

    std::string header_ = "!hdr";
    avq::WriteOptions options_;
    std::vector<double> time_;
    std::vector<double> data_[CHANNELS];
    testfiles::TempDir tmp_{"velkor-writers"};
    const std::string& dir_ = tmp_.path();
};

TEST(ClampToShort, SaturatesAndCountsOnlyBeyondTheBounds) {
    struct Case {
        double in;
        std::int16_t out;
        unsigned counted;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {32767.5, 32767, 1},   {32767.0, 32767, 0},
        {-32768.0, -32768, 0}, {-32768.5, -32768, 1},
        {12.9, 12, 0},         {-12.9, -12, 0},
        {-0.99, 0, 0},         {40000.0, 32767, 1},
        {inf, 32767, 1},       {-inf, -32768, 1},
        {1e300, 32767, 1},     {std::numeric_limits<double>::quiet_NaN(), 0, 0},
    };
    for (const Case& c : cases) {
        unsigned n = 5;
        EXPECT_EQ(avq::clamp_to_short(c.in, n), c.out) << c.in;
        EXPECT_EQ(n, 5 + c.counted) << c.in;
    }
}

TEST_F(Writers, BinaryFileIsHeaderCarriageReturnAndRecords) {
    // One block; data distinct per channel and row, within 16 bits.
    table(1, 45296.7,
          [](std::size_t i, unsigned c) { return (c + 1) * 1000.0 - static_cast<double>(i); });
    auto [f, clipped] = binary_file();
    EXPECT_EQ(clipped, std::vector<unsigned>{0});
    ASSERT_EQ(f.size(), 5 + avq::RECORD_BYTES);
    EXPECT_EQ(f.substr(0, 5), "!hdr\r");
    // 12:34:56.7: minute of the day 754, second 56, on all three channels.
    for (unsigned c = 0; c < avq::CHANNELS; ++c) {
        const std::size_t rec = 5 + avq::channel_record_offset(c);
        EXPECT_EQ(word(f, rec), 754);
        EXPECT_EQ(word(f, rec + 2), 56);
        EXPECT_EQ(f.substr(rec, 4), f.substr(5, 4));
        for (unsigned j = 0; j < SAMPLES; ++j) {
            ASSERT_EQ(static_cast<std::int16_t>(word(f, 5 + avq::sample_offset(c, j))),
                      static_cast<int>(c + 1) * 1000 - static_cast<int>(j));
        }
    }
    // Hand-assembled bytes of the start: time header f2 02 38 00, then
    // sample 1000 = e8 03, 999 = e7 03.
    EXPECT_EQ(f.substr(5, 8), std::string("\xf2\x02\x38\x00\xe8\x03\xe7\x03", 8));
}

TEST_F(Writers, BinaryUnixTimeIsTheLow32BitsOfWholeSeconds) {
    options_.unix_seconds = true;
    table(1, 45296.7, [](std::size_t, unsigned) { return 0.0; });
    auto f = binary_file().first;
    EXPECT_EQ(avq::get_le32(reinterpret_cast<const unsigned char*>(f.data()) + 5), 45296u);

    table(1, 1700000012.25, [](std::size_t, unsigned) { return 0.0; });
    f = binary_file().first;
    EXPECT_EQ(f.substr(5, 4), std::string("\x0c\xf1\x53\x65", 4)); // 0x6553F10C

    // Before the epoch: -1.5 s truncates to -1, stored as 0xFFFFFFFF; beyond
    // 32 bits the low half is kept.
    table(1, -1.5, [](std::size_t, unsigned) { return 0.0; });
    EXPECT_EQ(binary_file().first.substr(5, 4), std::string("\xff\xff\xff\xff", 4));
    table(1, 4294967296.0 + 7.9, [](std::size_t, unsigned) { return 0.0; });
    EXPECT_EQ(binary_file().first.substr(5, 4), std::string("\x07\x00\x00\x00", 4));
}

TEST_F(Writers, BinaryMinuteSecondFormAroundTheEpochAndLeapDays) {
    table(3, 0, [](std::size_t, unsigned) { return 0.0; });
    time_[0] = -1.5;             // 1969-12-31 23:59:59
    time_[512] = 951868799.9;    // 2000-02-29 23:59:59
    time_[1024] = 1700000012.25; // 22:13:32
    time_[1025] = 0.0;           // only the block's first row counts
    auto f = binary_file().first;
    const std::size_t r = avq::RECORD_BYTES;
    EXPECT_EQ(word(f, 5), 1439);
    EXPECT_EQ(word(f, 7), 59);
    EXPECT_EQ(word(f, 5 + r), 1439);
    EXPECT_EQ(word(f, 7 + r), 59);
    EXPECT_EQ(word(f, 5 + 2 * r), 22 * 60 + 13);
    EXPECT_EQ(word(f, 7 + 2 * r), 32);
}

TEST_F(Writers, BinaryClippingIsCountedPerBlock) {
    table(3, 0, [](std::size_t, unsigned) { return 1.0; });
    data_[0][3] = 40.0;      // block 0: one value
    data_[1][600] = -40.0;   // block 1: two values, two channels
    data_[2][700] = 32.7675; // 32767.5 after scaling
    data_[0][1100] = 32.5;   // block 2: 32500, no clipping
    options_.scale = 1000.0;
    auto [f, clipped] = binary_file();
    EXPECT_EQ(clipped, (std::vector<unsigned>{1, 2, 0}));
    EXPECT_EQ(static_cast<std::int16_t>(word(f, 5 + avq::sample_offset(0, 3))), 32767);
    EXPECT_EQ(static_cast<std::int16_t>(word(f, 5 + avq::RECORD_BYTES + avq::sample_offset(1, 88))),
              -32768);
    EXPECT_EQ(static_cast<std::int16_t>(word(f, 5 + avq::RECORD_BYTES + avq::sample_offset(0, 0))),
              1000);
}

TEST_F(Writers, BinaryWithoutRowsIsTheHeaderAlone) {
    EXPECT_EQ(binary_file().first, "!hdr\r");
    header_ = "!x\r\n"; // line ends are no part of a header
    EXPECT_EQ(ascii_file(), "!x\n");
}

TEST_F(Writers, AsciiTimeFieldsInEveryForm) {
    table(1, 1700000012.25, [](std::size_t, unsigned) { return 0.0; });
    struct Form {
        int normal, in_day;
        const char* start;
    };
    const Form forms[] = {{1, 0, "28333333 32.25 "},
                          {1, 1, "1333 32.25 "},
                          {0, 0, "0 1700000012.25 "},
                          {0, 1, "0 1700000012.25 "}};
    for (const Form& form : forms) {
        options_.unix_seconds = form.normal == 0;
        options_.minute_of_day = form.in_day != 0;
        const auto lines = split(ascii_file(), '\n');
        ASSERT_EQ(lines.size(), 5u); // header, three lines, empty after the last line feed
        for (std::size_t c = 1; c <= 3; ++c) {
            EXPECT_EQ(lines[c].rfind(form.start, 0), 0u) << lines[c].substr(0, 40);
        }
    }
    options_.unix_seconds = true;
    time_[0] = 1700000012.123456;
    EXPECT_EQ(split(ascii_file(), '\n')[1].rfind("0 1700000012.1235 ", 0), 0u);
    // Before the epoch the minute is negative and the second keeps the
    // dividend's sign.
    options_.unix_seconds = false;
    time_[0] = -90.5;
    EXPECT_EQ(split(ascii_file(), '\n')[1].rfind("-2 -30.5 ", 0), 0u);
}

TEST_F(Writers, AsciiLinesHold514FieldsAtFullResolution) {
    table(2, 0, [](std::size_t i, unsigned c) {
        return c == 0 ? static_cast<double>(i) / 3.0 : c == 1 ? -2.5 : 100.0;
    });
    data_[1][5] = 123456789012345678.0;
    data_[1][6] = 0.00001;
    data_[1][7] = 40000.0; // no saturation in this form
    const std::string f = ascii_file();
    EXPECT_EQ(f.find('\r'), std::string::npos);
    const auto lines = split(f, '\n');
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "!hdr");
    EXPECT_EQ(lines[7], "");
    for (std::size_t l = 1; l <= 6; ++l) {
        const auto fields = split(lines[l], ' ');
        ASSERT_EQ(fields.size(), 514u) << "line " << l;
        for (const auto& fld : fields)
            ASSERT_FALSE(fld.empty()) << "line " << l;
    }
    const auto ch1 = split(lines[1], ' ');
    EXPECT_EQ(ch1[0], "0");
    EXPECT_EQ(ch1[1], "0");
    EXPECT_EQ(ch1[3], "0.33333333333333");
    const auto ch2 = split(lines[2], ' ');
    EXPECT_EQ(ch2[2], "-2.5");
    EXPECT_EQ(ch2[7], "1.2345678901235e+17");
    EXPECT_EQ(ch2[8], "1e-05");
    EXPECT_EQ(ch2[9], "40000");
    EXPECT_EQ(split(lines[3], ' ')[513], "100");
    // Second block: time 512 s = minute 8, second 32.
    EXPECT_EQ(lines[4].substr(0, 8), "8 32 170");

    options_.scale = 2.0;
    data_[2][0] = 0.5;
    EXPECT_EQ(split(split(ascii_file(), '\n')[3], ' ')[2], "1");
}

TEST_F(Writers, OutputFileKeepsPermissionBitsAndLeavesNoTemporary) {
    const std::string p = path("kept.avq");
    put(p, "old");
    ASSERT_EQ(::chmod(p.c_str(), 0604), 0);
    {
        const auto out = open_output(p);
        out->write("new", 3);
        EXPECT_EQ(slurp(p), "old"); // replaced only when complete
        EXPECT_FALSE(out->finish());
    }
    EXPECT_EQ(slurp(p), "new");
    struct stat st {};
    ASSERT_EQ(::stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);

    // A new file: 0666 less the umask.
    const mode_t old_mask = ::umask(027);
    EXPECT_FALSE(open_output(path("fresh.avq"))->finish());
    ::umask(old_mask);
    ASSERT_EQ(::stat(path("fresh.avq").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(entries(), (std::vector<std::string>{"fresh.avq", "kept.avq"}));

    // Through a symbolic link the file it names is replaced; the link stays.
    ASSERT_EQ(::symlink("kept.avq", path("link.avq").c_str()), 0);
    {
        const auto out = open_output(path("link.avq"));
        out->write("linked", 6);
        EXPECT_FALSE(out->finish());
    }
    EXPECT_TRUE(std::filesystem::is_symlink(path("link.avq")));
    EXPECT_EQ(slurp(p), "linked");
}

TEST_F(Writers, OutputFileLargeWritesArriveWhole) {
    std::string big(3 * 1024 * 1024 + 17, 'x');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    const auto out = open_output(path("big"));
    out->write(big.data(), 1000);
    char* p = out->buffer().reserve(big.size() - 1000); // larger than the buffer
    std::memcpy(p, big.data() + 1000, big.size() - 1000);
    out->buffer().commit(p + big.size() - 1000);
    EXPECT_FALSE(out->finish());
    EXPECT_EQ(slurp(path("big")), big);
}

TEST_F(Writers, OutputFileFaults) {
    avq::OutputError e;
    EXPECT_EQ(avq::OutputFile::open(path("missing/out.avq").c_str(), e), nullptr);
    EXPECT_TRUE(e.step == avq::OutputStep::open && e.error == ENOENT);
    const auto full = open_output("/dev/full");
    EXPECT_TRUE(full->write("x", 1)); // buffered
    e = full->finish();
    EXPECT_TRUE(e.step == avq::OutputStep::write && e.error == ENOSPC);

    // A write that fails half-way (here: a file size limit) leaves the
    // previous file untouched and no temporary behind.
    put(path("out.avq"), "previous");
    const auto saved = std::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    ::getrlimit(RLIMIT_FSIZE, &before);
    const rlimit limit{4096, before.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    {
        const auto out = open_output(path("out.avq"));
        const std::string chunk(std::size_t{3} << 20, 'z');
        EXPECT_FALSE(out->write(chunk.data(), chunk.size()));
        e = out->finish();
    }
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, saved);
    EXPECT_TRUE(e.step == avq::OutputStep::write && e.error == EFBIG);
    EXPECT_EQ(slurp(path("out.avq")), "previous");
    EXPECT_EQ(entries(), std::vector<std::string>{"out.avq"});
    EXPECT_FALSE(avq::output_is_terminal("/dev/null"));
    EXPECT_FALSE(avq::output_is_terminal(path("missing/out.avq").c_str()));
}

// Starts replacing `p` and is stopped by `sig` half-way.
void stopped_while_writing(const std::string& p, int sig) {
    const auto out = open_output(p);
    out->write("partial", 7);
    std::raise(sig);
}

using WritersDeathTest = Writers;

TEST_F(WritersDeathTest, StoppedRunLeavesThePreviousFileAndNoTemporary) {
    put(path("out.avq"), "previous");
    for (const int sig : {SIGTERM, SIGQUIT, SIGXFSZ, SIGUSR2}) {
        EXPECT_EXIT(stopped_while_writing(path("out.avq"), sig), ::testing::KilledBySignal(sig),
                    "");
        EXPECT_EQ(slurp(path("out.avq")), "previous");
        EXPECT_EQ(entries(), std::vector<std::string>{"out.avq"}) << strsignal(sig);
    }
}

TEST_F(Writers, OutputFileWritesDevicesInPlace) {
    // Written through the device itself, not a temporary file beside it.
    const auto out = open_output("/dev/null");
    struct stat device = {};
    struct stat written = {};
    ASSERT_EQ(::stat("/dev/null", &device), 0);
    ASSERT_EQ(::fstat(out->descriptor(), &written), 0);
    EXPECT_TRUE(S_ISCHR(written.st_mode));
    EXPECT_EQ(written.st_rdev, device.st_rdev);
    out->write("abc", 3);
    EXPECT_FALSE(out->finish());
}

// Bytes that tell their place: byte i of the pattern is i * 7 + i / 251.
std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
}

TEST_F(Writers, HeaderRewrittenInPlaceWhenItGrowsOrShrinks) {
    // More than three buffers of bytes after the header, so that they move
    // in several pieces each way.
    const std::string rest = pattern(3 * avq::OUTPUT_BUFFER + 12345);
    for (const std::string header : {"!header\r", "!a longer header line\r", "!\r", "!HEADER\r"}) {
        const std::string p = path("moved.avq");
        const auto out = avq::OutputFile::replacing(p.c_str());
        ASSERT_NE(out, nullptr);
        const std::string first = "!header\r";
        ASSERT_EQ(::pwrite(out->descriptor(), first.data(), first.size(), 0), 8);
        ASSERT_EQ(::pwrite(out->descriptor(), rest.data(), rest.size(), 8),
                  static_cast<ssize_t>(rest.size()));
        std::uint64_t at = 0;
        EXPECT_EQ(out->rewrite_start(first.size(), header, first.size() + rest.size(), at), 0);
        EXPECT_FALSE(out->finish());
        EXPECT_TRUE(slurp(p) == header + rest) << header;
        EXPECT_EQ(entries(), std::vector<std::string>{"moved.avq"});
    }
}

TEST_F(Writers, SpoolIsCopiedToOutputsOfEveryKind) {
    // The spool leaves no name in its directory; its bytes follow what the
    // output's buffer holds, on a regular file, a FIFO, a device and a file
    // opened for appending.
    const std::string saved = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "";
    ::setenv("TMPDIR", dir_.c_str(), 1);
    int error = 0;
    const auto spool = avq::Spool::make(error);
    saved.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", saved.c_str(), 1);
    ASSERT_NE(spool, nullptr) << std::strerror(error);
    EXPECT_EQ(spool->directory(), dir_);
    EXPECT_EQ(entries(), std::vector<std::string>{});
    const std::string body = pattern(avq::OUTPUT_BUFFER + 777);
    ASSERT_EQ(::pwrite(spool->descriptor(), body.data(), body.size(), 0),
              static_cast<ssize_t>(body.size()));
    const auto copy = [&](const std::string& name) {
        const auto out = open_output(name);
        out->write("!h\r", 3);
        std::uint64_t at = 0;
        const int e_copy = out->append_from(spool->descriptor(), 5, body.size() - 5, at);
        return std::make_pair(e_copy != 0 ? e_copy : out->finish().error, at);
    };
    EXPECT_EQ(copy(path("file.avq")).first, 0);
    EXPECT_TRUE(slurp(path("file.avq")) == "!h\r" + body.substr(5));
    EXPECT_EQ(copy("/dev/null").first, 0);
    EXPECT_EQ(copy("/dev/full"), std::make_pair(ENOSPC, std::uint64_t{0}));

    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    std::string through_fifo;
    std::thread reader([&] { through_fifo = slurp(path("fifo")); });
    EXPECT_EQ(copy(path("fifo")).first, 0);
    reader.join();
    EXPECT_TRUE(through_fifo == "!h\r" + body.substr(5));

    put(path("appended"), "before\n");
    const int fd = ::open(path("appended").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(copy("/dev/fd/" + std::to_string(fd)).first, 0);
    ::close(fd);
    EXPECT_TRUE(slurp(path("appended")) == "before\n!h\r" + body.substr(5));
}

TEST_F(Writers, InterruptedCopiesGoOn) {
    // A spool copied into a FIFO whose reader is slow, while signals keep
    // interrupting the copy.
    int error = 0;
    const auto spool = avq::Spool::make(error);
    ASSERT_NE(spool, nullptr);
    const std::string body = pattern(8 * avq::OUTPUT_BUFFER);
    ASSERT_EQ(::pwrite(spool->descriptor(), body.data(), body.size(), 0),
              static_cast<ssize_t>(body.size()));
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    std::string got;
    std::thread reader([&] {
        std::FILE* f = std::fopen(path("fifo").c_str(), "rb");
        char buf[65536];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0; ::usleep(300))
            got.append(buf, n);
        std::fclose(f);
    });
    {
        const auto out = open_output(path("fifo"));
        const Interrupter interrupter;
        std::uint64_t at = 0;
        EXPECT_EQ(out->append_from(spool->descriptor(), 0, body.size(), at), 0);
        EXPECT_FALSE(out->finish());
    }
    reader.join();
    EXPECT_TRUE(got == body);
}

} // namespace
