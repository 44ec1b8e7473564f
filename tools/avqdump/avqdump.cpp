// avqdump: prints what an AVQ infrasound file holds, and checks it on the way.
//
//   avqdump [--unixtime|--normaltime] FILE...           one text row per sample
//   avqdump --info [--json] [--unixtime|--normaltime] FILE...   a summary per file
//   avqdump --csv [--unixtime|--normaltime] FILE        CSV rows with UTC times
//   avqdump --plot OUT.svg [--unixtime|--normaltime] FILE   a picture
//
// Both forms of the file are read; the form is told by the end of the header
// line (carriage return: binary, line feed: ASCII). A FILE of "-" is standard
// input.
//
// Default output, one row per sample, columns separated by single spaces:
//   block  sample  time1  time2  ch1  ch2  ch3
// block and sample count from 0; time1 and time2 are the block's time fields
// as stored (binary: the two 16-bit words of the time header, unsigned;
// ASCII: the minute and second fields, as written); ch1 to ch3 are the values
// as stored (binary: signed 16-bit integers; ASCII: the text of the fields).
// With several files, each file's rows are preceded by a line "# FILE".
//
// --info prints, per file: the form, the header line, the number of blocks
// and samples, the first and last block time as stored (and what they mean),
// whether the block times advance regularly, the runs of the file's timeline
// (<avq/timeline.h>: how many, at what sampling frequency, and each run's
// first block and start), and per channel the number of samples at the
// 16-bit limits (binary form); with --json the same facts as one JSON object
// per file and line (json_info.h). --unixtime and
// --normaltime tell how a binary time header is to be read (32-bit seconds
// since the epoch, or minute of the day and second); without them the header
// line decides when it begins with "!U" or "!S", and otherwise the values do.
// --normaltime on a file whose times are Unix times is an error. The sample
// rows show the stored words whatever these options say.
//
// --csv (csv_dump.h) and --plot (plot_svg.h) take one file each; --info,
// --csv and --plot exclude each other. Both read the file twice: first for
// its timeline, which the time of every sample needs, then for the samples.
// Standard input that cannot be read again (a pipe) is kept in an unnamed
// temporary file for the second reading.
//
// Validation is strict (see <avq/reader.h>): a damaged file is reported on
// standard error as "avqdump: FILE: what is wrong" and counts as an error.
//
// Exit status: 0 when every file was read and is a valid AVQ file (and for
// --help and --version); 1 on any error: an unknown option or combination, no
// file named, a file that cannot be opened or read, a file that is not a valid
// AVQ file, a picture that cannot be written or whose file exists and is no
// SVG picture, or standard output that cannot be written. Files after a
// failing one are still examined.
#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <avq/output.h>
#include <avq/reader.h>
#include <avq/timeline.h>

#include "csv_dump.h"
#include "json_info.h"
#include "plot_svg.h"
#include "summary.h"

#ifndef AVQDUMP_VERSION
#define AVQDUMP_VERSION "0.0.0"
#endif

namespace {

using avq::TimeKind;
using avqdump::AsciiTime;
using avqdump::Summary;
using TimeForm = avq::BlockTimeForm;

enum class Mode { rows, info, csv, plot };

struct Settings {
    Mode mode = Mode::rows;
    bool json = false;
    TimeForm time_form = TimeForm::guess;
    std::string plot_out; // --plot: the SVG file, "-" for standard output
};

const char* program = "avqdump";

void usage(std::FILE* f) {
    std::fprintf(f,
                 "Usage: %s [options] FILE...\n"
                 "Print the samples of AVQ infrasound files (binary or ASCII form) as text,\n"
                 "one row per sample: block sample time1 time2 ch1 ch2 ch3.\n"
                 "A FILE of - reads standard input.\n"
                 "\n"
                 "Options:\n"
                 "  -i, --info        print a summary of each file instead of the samples\n"
                 "      --json        print the summary as JSON, one object per file and line\n"
                 "      --csv         print the samples of one file as CSV with UTC times\n"
                 "      --plot OUT    draw one file as an SVG picture into OUT (- for standard\n"
                 "                    output)\n"
                 "      --normaltime  read binary block times as minute of the day and second\n"
                 "      --unixtime    read binary block times as 32-bit seconds since 1970\n"
                 "  -h, --help        print this help and exit\n"
                 "  -V, -v, --version print the version and exit\n"
                 "\n"
                 "Exit status: 0 if every file is a valid AVQ file, 1 on any error.\n",
                 program);
}

// --- output -----------------------------------------------------------------

void write_out(const std::string& s) {
    std::fwrite(s.data(), 1, s.size(), stdout);
}

void dump_block(const avq::Block& b, avq::Form form, std::string& out) {
    // The block's time fields as stored, the same on each of its rows.
    std::string time;
    if (form == avq::Form::binary) {
        avqdump::append_number(time, b.time.word0);
        time.push_back(' ');
        avqdump::append_number(time, b.time.word1);
    } else {
        time.append(b.fields[0][0]).append(" ").append(b.fields[0][1]);
    }
    out.clear();
    for (unsigned j = 0; j < avq::SAMPLES; ++j) {
        avqdump::append_number(out, static_cast<long long>(b.index));
        out.push_back(' ');
        avqdump::append_number(out, j);
        out.push_back(' ');
        out.append(time);
        for (unsigned c = 0; c < avq::CHANNELS; ++c) {
            out.push_back(' ');
            avqdump::append_value(out, b, form, c, j);
        }
        out.push_back('\n');
    }
    write_out(out);
}

// --- summary ------------------------------------------------------------------

std::string utc_text(std::int64_t seconds) {
    return avq::utc_text(seconds, "%Y-%m-%d %H:%M:%S UTC");
}

std::string binary_time_text(const avq::TimeHeader& t, bool unix_seconds) {
    std::string s = std::to_string(t.word0) + " " + std::to_string(t.word1);
    if (unix_seconds) {
        s += " (" + std::to_string(avq::header_value(t)) + " s: " + utc_text(avq::header_value(t)) +
             ")";
    } else {
        char buf[64];
        std::snprintf(buf, sizeof buf, " (%02u:%02u:%02u UTC)", t.word0 / 60u, t.word0 % 60u,
                      static_cast<unsigned>(t.word1));
        s += buf;
    }
    return s;
}

std::string ascii_time_text(const AsciiTime& at) {
    std::string text = at.minute_field + " " + at.second_field;
    const avq::StoredTime meaning = avq::ascii_time_meaning(at.minute, at.second);
    const double t = meaning.seconds;
    char buf[64];
    if (meaning.kind == TimeKind::unknown) return text;
    if (meaning.kind == TimeKind::unix_seconds) { // all in the second field
        std::snprintf(buf, sizeof buf, "%.6f", t - std::floor(t));
        std::string frac = buf + 1; // ".xxxxxx"
        while (!frac.empty() && (frac.back() == '0' || frac.back() == '.'))
            frac.pop_back();
        std::string date = utc_text(static_cast<std::int64_t>(std::floor(t)));
        if (date.size() > 4) date.insert(date.size() - 4, frac);
        return text + " (" + date + ")";
    }
    std::snprintf(buf, sizeof buf, "%s%g", at.second < 10 ? "0" : "", at.second);
    if (meaning.kind == TimeKind::epoch_minutes) {
        std::string date = utc_text(static_cast<std::int64_t>(at.minute) * 60);
        return text + " (" + date.substr(0, 17) + buf + " UTC)";
    }
    char hm[16];
    const int mi = static_cast<int>(at.minute);
    std::snprintf(hm, sizeof hm, "%02d:%02d:", mi / 60, mi % 60);
    return text + " (minute of the day: " + hm + buf + ")";
}

// --- the modes ------------------------------------------------------------------

void print_rows(const char* name, avq::Reader& reader, bool several) {
    if (several) std::printf("# %s\n", name);
    avq::Block b;
    std::string out;
    while (reader.next(b))
        dump_block(b, reader.form(), out);
}

// The start of a run as --info names it.
std::string run_start_text(const avq::Timeline& timeline, double start) {
    if (!std::isfinite(start)) return "no time";
    if (timeline.dated()) return avq::iso_utc(start);
    const double day = std::floor(start / 86400);
    const double of_day = start - day * 86400;
    std::string s = avq::iso_time_of_day(std::floor(of_day / 60), std::fmod(of_day, 60));
    if (day > 0) s += " of day " + std::to_string(static_cast<long long>(day) + 1);
    return s + " (no date)";
}

// The runs of the timeline, the first RUNS_SHOWN of them one per line.
constexpr std::size_t RUNS_SHOWN = 10;
void print_runs(const avq::Timeline& timeline) {
    const auto& runs = timeline.runs();
    std::printf("runs: %zu", runs.size());
    switch (timeline.fs_source()) {
    case avq::FrequencySource::header:
        std::printf(", at %g samples per second (sampfrek in the header)\n", timeline.fs());
        break;
    case avq::FrequencySource::fitted:
        std::printf(", at %g samples per second (fitted to the block times)\n", timeline.fs());
        break;
    case avq::FrequencySource::unknown:
        std::printf(runs.empty() ? "\n"
                                 : ", sampling frequency unknown: only the first sample of "
                                   "each block has a time\n");
        break;
    }
    for (std::size_t r = 0; r < runs.size() && r < RUNS_SHOWN; ++r) {
        std::printf("run %zu: block %llu, %s\n", r + 1,
                    static_cast<unsigned long long>(runs[r].first_block),
                    run_start_text(timeline, runs[r].start).c_str());
    }
    if (runs.size() > RUNS_SHOWN)
        std::printf("(%zu more runs; --json lists them all)\n", runs.size() - RUNS_SHOWN);
}

void print_info(const char* name, const avq::Reader& reader, const Summary& sum,
                const avq::Timeline& timeline) {
    const bool unix_seconds = timeline.kind() == TimeKind::unix_seconds;
    const avq::Form form = reader.form();
    std::printf("file: %s\n", name);
    std::printf("form: %s\n", form == avq::Form::binary
                                  ? "binary (header line ends in a carriage return)"
                                  : "ASCII (header line ends in a line feed)");
    std::printf("header: %s\n", reader.header().c_str());
    std::printf("blocks: %llu\n", static_cast<unsigned long long>(sum.blocks));
    std::printf("samples per channel: %llu\n",
                static_cast<unsigned long long>(sum.blocks * avq::SAMPLES));
    if (form == avq::Form::ascii) {
        if (sum.blocks > 0) {
            std::printf("first block time: %s\n", ascii_time_text(sum.first_ascii).c_str());
            std::printf("last block time: %s\n", ascii_time_text(sum.last_ascii).c_str());
        }
        std::printf("block times: %s\n", sum.steps(timeline).describe().c_str());
        print_runs(timeline);
        return;
    }
    std::printf("time form: %s (%s)\n",
                unix_seconds ? "32-bit seconds since 1970-01-01 UTC"
                             : "minute of the day and second",
                timeline.kind_reason());
    if (sum.blocks > 0) {
        std::printf("first block time: %s\n",
                    binary_time_text(sum.first_words, unix_seconds).c_str());
        std::printf("last block time: %s\n",
                    binary_time_text(sum.last_words, unix_seconds).c_str());
    }
    std::printf("block times: %s\n", sum.steps(timeline).describe().c_str());
    print_runs(timeline);
    for (unsigned c = 0; c < avq::CHANNELS; ++c) {
        std::printf("16-bit limits ch%u: %llu at 32767, %llu at -32768\n", c + 1,
                    static_cast<unsigned long long>(sum.at_max[c]),
                    static_cast<unsigned long long>(sum.at_min[c]));
    }
}

// Writes the picture to `path` as velkor writes its outputs (<avq/output.h>):
// through a temporary file renamed over the target, so that a failed write
// leaves no half picture and any earlier one as it was; devices and pipes
// are written in place.
void write_picture(const std::string& path, const std::string& svg) {
    avq::OutputError e;
    const std::unique_ptr<avq::OutputFile> out = avq::OutputFile::open(path.c_str(), e);
    if (out != nullptr) {
        out->write(svg.data(), svg.size());
        e = out->finish();
    }
    if (e) {
        throw std::runtime_error("cannot write the picture to " + path + ": " +
                                 std::strerror(e.error));
    }
}

// Whether the picture may be written to `path`: not when it is an existing
// regular file (a symbolic link followed) that begins, after blanks, with
// neither "<?xml" nor "<svg", such as the AVQ or data file that a slip of the
// command line names in its place. A file that cannot be read, or holds
// blanks only, is left to the write.
bool may_hold_picture(const std::string& path) {
    struct stat st {};
    if (path == "-" || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return true;
    std::ifstream in(path, std::ios::binary);
    std::string start;
    for (char c; start.size() < 5 && in.get(c);) {
        if (start.empty() && std::strchr(" \t\r\n", c) != nullptr) continue;
        start.push_back(c);
    }
    if (!in.is_open() || start.empty()) return true; // nothing to lose
    return start.rfind("<?xml", 0) == 0 || start.rfind("<svg", 0) == 0;
}

void plot(const char* name, avq::Reader& reader, const avq::Timeline& timeline,
          const Settings& set) {
    avqdump::Plot picture(timeline);
    avq::Block b;
    while (reader.next(b))
        picture.add(b);
    const std::string svg = picture.svg(reader.header(), name);
    if (set.plot_out == "-") {
        write_out(svg);
    } else {
        write_picture(set.plot_out, svg);
    }
}

// Reading: the file `name` opened in binary mode, or standard input for "-";
// null, after saying why, when it cannot be opened. `file` holds it open.
std::istream* open_input(const char* name, std::ifstream& file) {
    if (std::strcmp(name, "-") == 0) return &std::cin;
    file.open(name, std::ios::binary);
    if (file) return &file;
    std::fprintf(stderr, "%s: %s: cannot open: %s\n", program, name, std::strerror(errno));
    return nullptr;
}

// The timeline of the blocks `builder` was given. Settled before anything is
// printed: --normaltime on Unix times is an error.
avq::Timeline settle(const avq::TimelineBuilder& builder) {
    try {
        return builder.finish();
    } catch (const avq::FormatError& e) {
        throw avq::FormatError(std::string("--normaltime: ") + e.what());
    }
}

// Standard input kept for a second reading, in a temporary file that has no
// name (it goes when it is closed).
class Spool {
  public:
    explicit Spool(std::istream& from) {
        const char* dir = std::getenv("TMPDIR");
        std::string path =
            std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/avqdump-XXXXXX";
        const int fd = ::mkstemp(path.data());
        if (fd < 0) fail(errno);
        file_.open(path, std::ios::binary);
        ::unlink(path.c_str());
        int err = file_ ? 0 : errno;
        char buf[1 << 16];
        while (err == 0 && from.read(buf, sizeof buf).gcount() > 0) {
            const auto n = static_cast<std::size_t>(from.gcount());
            for (std::size_t done = 0; err == 0 && done < n;) {
                const ssize_t w = ::write(fd, buf + done, n - done);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) err = w < 0 ? errno : EIO;
                done += w > 0 ? static_cast<std::size_t>(w) : 0;
            }
        }
        if (err == 0 && from.bad()) err = EIO;
        ::close(fd);
        if (err != 0) fail(err);
    }
    std::istream& stream() { return file_; }

  private:
    [[noreturn]] static void fail(int err) {
        throw std::runtime_error(std::string("cannot keep standard input for a second reading: ") +
                                 std::strerror(err));
    }
    std::ifstream file_;
};

// Where `in` stands, when it can be read again from there (a file; not a
// pipe).
std::optional<std::streampos> origin_of(std::istream& in) {
    const std::streampos here = in.tellg();
    in.clear();
    if (here == std::streampos(-1)) return {};
    return here;
}

// Summarising and printing: what the mode of `set` makes of the blocks that
// `reader` reads from `in`, which began at `origin`. --info summarises the
// whole file before it prints; the CSV and the picture read the file a
// second time, with its timeline; the rows go block by block.
void print_file(const char* name, std::istream& in, std::streampos origin, avq::Reader& reader,
                const Settings& set, bool several) {
    if (set.mode == Mode::rows) {
        print_rows(name, reader, several);
        return;
    }
    avq::TimelineBuilder builder(reader.header(), reader.form(), set.time_form);
    avqdump::Summary sum;
    avq::Block b;
    while (reader.next(b)) {
        builder.add(b);
        if (set.mode == Mode::info) sum.add(b, reader.form());
    }
    const avq::Timeline timeline = settle(builder);
    if (set.mode == Mode::info) {
        if (set.json) {
            avqdump::print_info_json(name, reader, sum, timeline);
        } else {
            print_info(name, reader, sum, timeline);
        }
        return;
    }
    in.clear();
    in.seekg(origin);
    avq::Reader again(in);
    if (set.mode == Mode::plot) {
        plot(name, again, timeline, set);
        return;
    }
    if (!timeline.dated()) {
        std::fprintf(stderr,
                     "%s: %s: the file holds no date: column seconds counts from the midnight "
                     "of its first block's day\n",
                     program, name);
    }
    avqdump::write_csv(again, timeline);
}

// Reads `name` with the mode of `set` and reports what goes wrong as
// "avqdump: FILE: what". Returns false on any error.
bool examine(const char* name, const Settings& set, bool several) {
    std::ifstream file;
    std::istream* in = open_input(name, file);
    if (in == nullptr) return false;
    try {
        std::optional<Spool> spool;
        std::streampos origin = 0;
        if (set.mode == Mode::csv || set.mode == Mode::plot) {
            if (const auto at = origin_of(*in)) {
                origin = *at;
            } else {
                spool.emplace(*in);
                in = &spool->stream();
            }
        }
        avq::Reader reader(*in);
        print_file(name, *in, origin, reader, set, several);
        return true;
    } catch (const std::runtime_error& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s: %s\n", program, name, e.what());
        return false;
    }
}

// Rejects what cannot be done together; prints why and returns false.
bool check_combination(const Settings& set, int modes, int files, int stdin_names) {
    const char* why = nullptr;
    char buf[128];
    if (modes > 1) {
        why = "--info, --csv and --plot exclude each other";
    } else if (files == 0) {
        why = "no AVQ file named";
    } else if (files > 1 && (set.mode == Mode::csv || set.mode == Mode::plot)) {
        std::snprintf(buf, sizeof buf, "%s takes one AVQ file, %d are named",
                      set.mode == Mode::csv ? "--csv" : "--plot", files);
        why = buf;
    } else if (stdin_names > 1) {
        why = "standard input (-) is named more than once";
    }
    if (why == nullptr) return true;
    std::fprintf(stderr, "%s: %s\n", program, why);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", program);
    return false;
}

} // namespace

int main(int argc, char** argv) {
    // Standard input is read through std::cin, standard output written with
    // stdio only: unsynchronised, std::cin reads in large blocks.
    std::ios_base::sync_with_stdio(false);
    // A write past the file size limit fails (EFBIG) and is reported, rather
    // than ending the run with a temporary picture left behind.
    std::signal(SIGXFSZ, SIG_IGN);
    static const option long_options[] = {
        {"info", no_argument, nullptr, 'i'},
        {"json", no_argument, nullptr, 'J'},
        {"csv", no_argument, nullptr, 'C'},
        {"plot", required_argument, nullptr, 'P'},
        {"normaltime", no_argument, nullptr, 'N'},
        {"unixtime", no_argument, nullptr, 'U'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    Settings set;
    bool info = false, csv = false, plot = false;
    for (;;) {
        const int c = getopt_long(argc, argv, "ihVv", long_options, nullptr);
        if (c == -1) break;
        switch (c) {
        case 'i':
            info = true;
            break;
        case 'J':
            set.json = info = true;
            break;
        case 'C':
            csv = true;
            break;
        case 'P':
            plot = true;
            set.plot_out = optarg;
            break;
        case 'N':
            set.time_form = TimeForm::minute_second;
            break;
        case 'U':
            set.time_form = TimeForm::unix_seconds;
            break;
        case 'h':
            usage(stdout);
            return 0;
        case 'V':
        case 'v':
            std::printf("avqdump (velkor) %s\n", AVQDUMP_VERSION);
            return 0;
        default:
            std::fprintf(stderr, "Try '%s --help' for more information.\n", program);
            return 1;
        }
    }
    set.mode = info ? Mode::info : csv ? Mode::csv : plot ? Mode::plot : Mode::rows;
    const int files = argc - optind;
    const int stdin_names = static_cast<int>(std::count_if(
        argv + optind, argv + argc, [](const char* a) { return std::strcmp(a, "-") == 0; }));
    if (!check_combination(set, info + csv + plot, files, stdin_names)) return 1;
    if (plot && !may_hold_picture(set.plot_out)) {
        std::fprintf(stderr, "%s: %s exists and is not an SVG picture; it is left as it is\n",
                     program, set.plot_out.c_str());
        return 1;
    }
    bool ok = true;
    for (int i = optind; i < argc; ++i) {
        if (set.mode == Mode::info && !set.json && i > optind) std::printf("\n");
        ok = examine(argv[i], set, files > 1) && ok;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: error writing standard output: %s\n", program,
                     std::strerror(errno));
        return 1;
    }
    return ok ? 0 : 1;
}
