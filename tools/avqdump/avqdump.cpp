// avqdump: prints what an AVQ infrasound file holds, and checks it on the way.
//
//   avqdump [--unixtime|--normaltime] FILE...           one text row per sample
//   avqdump --info [--unixtime|--normaltime] FILE...    a summary per file
//
// Both forms of the file are read; the form is told by the end of the header
// line (carriage return: binary, line feed: ASCII).
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
// per channel the number of samples at the 16-bit limits (binary form), and
// whether the block times advance regularly. --unixtime and --normaltime tell
// how a binary time header is to be read (32-bit seconds since the epoch, or
// minute of the day and second); without them the header line decides when it
// begins with "!U" or "!S", and otherwise the values do.
//
// Validation is strict (see avq_reader.h): a damaged file is reported on
// standard error as "avqdump: FILE: what is wrong" and counts as an error.
//
// Exit status: 0 when every file was read and is a valid AVQ file (and for
// --help and --version); 1 on any error: an unknown option, no file named, a
// file that cannot be opened or read, a file that is not a valid AVQ file, or
// standard output that cannot be written. Files after a failing one are still
// examined.
#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "avq_reader.h"

#ifndef AVQDUMP_VERSION
#define AVQDUMP_VERSION "0.0.0"
#endif

namespace {

using avqdump::Block;
using avqdump::Form;

enum class TimeForm { guess, normal, unix_seconds };

const char* program = "avqdump";

void usage(std::FILE* f) {
    std::fprintf(f,
                 "Usage: %s [options] FILE...\n"
                 "Print the samples of AVQ infrasound files (binary or ASCII form) as text,\n"
                 "one row per sample: block sample time1 time2 ch1 ch2 ch3.\n"
                 "\n"
                 "Options:\n"
                 "  -i, --info        print a summary of each file instead of the samples\n"
                 "      --normaltime  read binary block times as minute of the day and second\n"
                 "      --unixtime    read binary block times as 32-bit seconds since 1970\n"
                 "  -h, --help        print this help and exit\n"
                 "  -V, --version     print the version and exit\n"
                 "\n"
                 "Exit status: 0 if every file is a valid AVQ file, 1 on any error.\n",
                 program);
}

// --- output -----------------------------------------------------------------

void append_int(std::string& s, long long v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    s.append(buf, r.ptr);
}

void write_out(const std::string& s) {
    std::fwrite(s.data(), 1, s.size(), stdout);
}

void dump_block(const Block& b, Form form, std::string& out) {
    out.clear();
    for (unsigned j = 0; j < SAMPLES; ++j) {
        append_int(out, static_cast<long long>(b.index));
        out.push_back(' ');
        append_int(out, j);
        out.push_back(' ');
        if (form == Form::binary) {
            append_int(out, b.time.word0);
            out.push_back(' ');
            append_int(out, b.time.word1);
            for (int c = 0; c < CHANNELS; ++c) {
                out.push_back(' ');
                append_int(out, b.samples[c][j]);
            }
        } else {
            out.append(b.fields[0][0]);
            out.push_back(' ');
            out.append(b.fields[0][1]);
            for (int c = 0; c < CHANNELS; ++c) {
                out.push_back(' ');
                out.append(b.fields[c][j + 2]);
            }
        }
        out.push_back('\n');
    }
    write_out(out);
}

// --- summary ------------------------------------------------------------------

// Steps between consecutive block times, in seconds.
struct Steps {
    explicit Steps(double tol) : tolerance(tol) {}
    double tolerance;
    std::optional<double> first_time, prev_time, last_time;
    std::optional<double> first_step;
    double min_step = 0, max_step = 0;
    std::uint64_t count = 0;
    std::uint64_t blocks = 0;
    std::uint64_t first_odd_block = 0; // block whose step first differs from the first step

    void add(double t, bool wraps_at_midnight) {
        if (prev_time) {
            double d = t - *prev_time;
            if (d < 0 && wraps_at_midnight) d += 86400;
            if (!first_step) {
                first_step = d;
                min_step = max_step = d;
            }
            min_step = std::min(min_step, d);
            max_step = std::max(max_step, d);
            if (first_odd_block == 0 && (std::fabs(d - *first_step) > tolerance || d <= 0))
                first_odd_block = blocks;
            ++count;
        } else {
            first_time = t;
        }
        prev_time = t;
        last_time = t;
        ++blocks;
    }

    std::string describe() const {
        char buf[256];
        if (blocks == 0) return "none (no blocks)";
        if (blocks == 1) return "one block only";
        const bool regular = min_step > 0 && max_step - min_step <= tolerance;
        if (regular) {
            if (max_step - min_step > 1e-6) {
                std::snprintf(buf, sizeof buf, "regular, one block every %g to %g s", min_step,
                              max_step);
            } else {
                std::snprintf(buf, sizeof buf, "regular, one block every %g s", min_step);
            }
            return buf;
        }
        std::snprintf(buf, sizeof buf,
                      "irregular, steps from %g to %g s; block %llu is the first whose step "
                      "differs from the first step (%g s)",
                      min_step, max_step, static_cast<unsigned long long>(first_odd_block),
                      *first_step);
        return buf;
    }
};

std::string utc_text(long long seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr) return "";
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
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

// An ASCII block time: the two fields as stored and their values.
struct AsciiTime {
    std::string minute_field, second_field;
    double minute = 0, second = 0;
};

std::string ascii_time_text(const AsciiTime& at) {
    std::string text = at.minute_field + " " + at.second_field;
    const double minute = at.minute, second = at.second;
    if (!std::isfinite(minute) || !std::isfinite(second) || minute < 0 || second < 0 ||
        minute > 1e12 || second > 1e15)
        return text;
    const double t = minute * 60 + second;
    char buf[64];
    if (minute == 0 && second >= 60) { // Unix-time form: all in the second field
        std::snprintf(buf, sizeof buf, "%.6f", t - std::floor(t));
        std::string frac = buf + 1; // ".xxxxxx"
        while (!frac.empty() && (frac.back() == '0' || frac.back() == '.'))
            frac.pop_back();
        std::string date = utc_text(static_cast<long long>(std::floor(t)));
        if (date.size() > 4) date.insert(date.size() - 4, frac);
        return text + " (" + date + ")";
    }
    std::snprintf(buf, sizeof buf, "%s%g", second < 10 ? "0" : "", second);
    if (minute >= 1440) { // minutes since the epoch
        std::string date = utc_text(static_cast<long long>(minute) * 60);
        return text + " (" + date.substr(0, 17) + buf + " UTC)";
    }
    char hm[16];
    const int mi = static_cast<int>(minute);
    std::snprintf(hm, sizeof hm, "%02d:%02d:", mi / 60, mi % 60);
    return text + " (minute of the day: " + hm + buf + ")";
}

struct Summary {
    std::uint64_t blocks = 0;
    avq::TimeHeader first_words, last_words;
    AsciiTime first_ascii, last_ascii;
    std::uint64_t at_max[CHANNELS] = {}, at_min[CHANNELS] = {};
    // Binary times are whole seconds (truncated), so steps may differ by one;
    // ASCII times keep the fraction of the second.
    Steps normal{1}, unix_seconds{1}, ascii{1e-3};
    bool words_fit_minute_second = true;
    double prev_ascii_minute = -1;

    void add(const Block& b, Form form) {
        if (form == Form::binary) {
            for (int c = 0; c < CHANNELS; ++c) {
                for (std::int16_t v : b.samples[c]) {
                    at_max[c] += v == 32767;
                    at_min[c] += v == -32768;
                }
            }
            normal.add(b.time.word0 * 60.0 + b.time.word1, true);
            unix_seconds.add(avq::header_value(b.time), false);
            words_fit_minute_second =
                words_fit_minute_second && b.time.word0 < 1440 && b.time.word1 <= 60;
            if (blocks == 0) first_words = b.time;
            last_words = b.time;
        } else {
            // The minute of the day wraps at midnight; minutes since the
            // epoch and the Unix-time form (minute 0) do not.
            const double m = b.ascii_minute;
            const bool wraps = prev_ascii_minute >= 0 && prev_ascii_minute < 1440 && m < 1440 &&
                               m < prev_ascii_minute;
            ascii.add(m * 60 + b.ascii_second, wraps);
            prev_ascii_minute = m;
            last_ascii = {std::string(b.fields[0][0]), std::string(b.fields[0][1]), b.ascii_minute,
                          b.ascii_second};
            if (blocks == 0) first_ascii = last_ascii;
        }
        ++blocks;
    }
};

// --- one file -------------------------------------------------------------------

bool examine(const char* name, bool info, TimeForm time_form, bool several) {
    std::ifstream in(name, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: %s: cannot open: %s\n", program, name, std::strerror(errno));
        return false;
    }
    try {
        avqdump::Reader reader(in);
        const Form form = reader.form();
        if (!info && several) std::printf("# %s\n", name);
        Block b;
        Summary sum;
        std::string out;
        while (reader.next(b)) {
            if (info) {
                sum.add(b, form);
            } else {
                dump_block(b, form, out);
            }
        }
        if (!info) return true;

        std::printf("file: %s\n", name);
        std::printf("form: %s\n", form == Form::binary
                                      ? "binary (header line ends in a carriage return)"
                                      : "ASCII (header line ends in a line feed)");
        std::printf("header: %s\n", reader.header().c_str());
        std::printf("blocks: %llu\n", static_cast<unsigned long long>(sum.blocks));
        std::printf("samples per channel: %llu\n",
                    static_cast<unsigned long long>(sum.blocks * SAMPLES));
        if (form == Form::binary) {
            bool unix_seconds = false;
            const char* why = "";
            const std::string& h = reader.header();
            if (time_form != TimeForm::guess) {
                unix_seconds = time_form == TimeForm::unix_seconds;
                why = "as asked";
            } else if (h.rfind("!U", 0) == 0) {
                unix_seconds = true;
                why = "the header begins with \"!U\"";
            } else if (h.rfind("!S", 0) == 0) {
                why = "the header begins with \"!S\"";
            } else {
                unix_seconds = !sum.words_fit_minute_second;
                why = unix_seconds ? "the values are no minute of the day and second"
                                   : "the values fit a minute of the day and a second";
            }
            std::printf("time form: %s (%s)\n",
                        unix_seconds ? "32-bit seconds since 1970-01-01 UTC"
                                     : "minute of the day and second",
                        why);
            if (sum.blocks > 0) {
                std::printf("first block time: %s\n",
                            binary_time_text(sum.first_words, unix_seconds).c_str());
                std::printf("last block time: %s\n",
                            binary_time_text(sum.last_words, unix_seconds).c_str());
            }
            std::printf("block times: %s\n",
                        (unix_seconds ? sum.unix_seconds : sum.normal).describe().c_str());
            for (int c = 0; c < CHANNELS; ++c) {
                std::printf("16-bit limits ch%d: %llu at 32767, %llu at -32768\n", c + 1,
                            static_cast<unsigned long long>(sum.at_max[c]),
                            static_cast<unsigned long long>(sum.at_min[c]));
            }
        } else {
            if (sum.blocks > 0) {
                std::printf("first block time: %s\n", ascii_time_text(sum.first_ascii).c_str());
                std::printf("last block time: %s\n", ascii_time_text(sum.last_ascii).c_str());
            }
            std::printf("block times: %s\n", sum.ascii.describe().c_str());
        }
        return true;
    } catch (const avqdump::FormatError& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s: %s\n", program, name, e.what());
        return false;
    }
}

} // namespace

int main(int argc, char** argv) {
    static const option long_options[] = {
        {"info", no_argument, nullptr, 'i'},     {"normaltime", no_argument, nullptr, 'N'},
        {"unixtime", no_argument, nullptr, 'U'}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},  {nullptr, 0, nullptr, 0},
    };
    bool info = false;
    TimeForm time_form = TimeForm::guess;
    for (;;) {
        const int c = getopt_long(argc, argv, "ihV", long_options, nullptr);
        if (c == -1) break;
        switch (c) {
        case 'i':
            info = true;
            break;
        case 'N':
            time_form = TimeForm::normal;
            break;
        case 'U':
            time_form = TimeForm::unix_seconds;
            break;
        case 'h':
            usage(stdout);
            return 0;
        case 'V':
            std::printf("avqdump (velkor) %s\n", AVQDUMP_VERSION);
            return 0;
        default:
            std::fprintf(stderr, "Try '%s --help' for more information.\n", program);
            return 1;
        }
    }
    if (optind >= argc) {
        std::fprintf(stderr, "%s: no AVQ file named\n", program);
        std::fprintf(stderr, "Try '%s --help' for more information.\n", program);
        return 1;
    }
    const bool several = argc - optind > 1;
    bool ok = true;
    for (int i = optind; i < argc; ++i) {
        if (info && i > optind) std::printf("\n");
        ok = examine(argv[i], info, time_form, several) && ok;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: error writing standard output: %s\n", program,
                     std::strerror(errno));
        return 1;
    }
    return ok ? 0 : 1;
}
