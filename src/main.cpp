// velkor: converts three channels of infrasound time series from plain text
// into AVQ infrasound files.
//
//   velkor [options] [-2] t_ch1 t_ch2 t_ch3 outfile       three time/value files
//   velkor [options] [-1] -t time ch1 ch2 ch3 outfile     time file + three value files
//   velkor [options] -4 t_ch123 outfile                   one four-column file
//
// Options are parsed first, wherever they stand; the positional arguments
// then form groups of inputs, one output file per group ("-o" names the
// output of the next group only). Arguments beginning with "@" or "$" name
// argument files; every run is logged to "logfile" in the working directory.
//
// Exit status: 0 when every group was converted, and for --help and
// --version; 1 on any error (an unknown option or a missing option argument
// included), after which outputs of earlier groups stay as written.
#include <getopt.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "argutil.h"
#include "velkor.h"
#include "version.h"

namespace {

// Index of "help" in long_options, to tell an explicit help request from a
// parser error (both come back as '?').
constexpr int HELP_OPTION = 3;

option long_options[] = {
    {"scale", required_argument, nullptr, 's'},
    {"time", required_argument, nullptr, 't'},
    {"output", required_argument, nullptr, 'o'},
    {"help", no_argument, nullptr, '?'},
    {"binary", no_argument, &binary, 1},
    {"ascii", no_argument, &binary, 0},
    {"minutes", no_argument, &time_in_minutes, 1},
    {"seconds", no_argument, &time_in_minutes, 0},
    {"debug", no_argument, &debug, 1},
    {"zero", no_argument, &end_mode, EM_ZERO},
    {"mirror", no_argument, &end_mode, EM_MIRROR},
    {"truncate", no_argument, &end_mode, EM_TRUNCATE},
    {"normaltime", no_argument, &normaltime, 1},
    {"unixtime", no_argument, &normaltime, 0},
    {"minutes-in-day", no_argument, &min_in_day, 1},
    {"minutes-of-day", no_argument, &min_in_day, 1},
    {"version", no_argument, nullptr, 'v'},
    {nullptr, 0, nullptr, 0},
};

const char* const short_options = "124E:HO:S:T:?e:ho:s:t:v";

// The time zone is forced to UTC for the whole run; putenv keeps the
// pointer, so the text must live as long as the process.
char tz_utc[] = "TZ=UTC";

void usage(const char* path) {
    const char* name = std::strrchr(path, '\\');
    if (name == nullptr) name = std::strrchr(path, '/');
    name = name == nullptr ? path : name + 1;

    std::printf("%s\n", Version);
    std::printf("Usage: \n");
    std::printf("   3 files with 2 columns each\n");
    std::printf("   %s [options] [-2] t_ch1 t_ch2 t_ch3 outfile\n", name);
    std::printf("   %s [options] [-2] -o outfile t_ch1 t_ch2 t_ch3\n", name);
    std::printf(" or:\n");
    std::printf("   4 files with 1 column each\n");
    std::printf("   %s [options] [-1] -t time ch1 ch2 ch3 outfile\n", name);
    std::printf("   %s [options] [-1] -o outfile -t time ch1 ch2 ch3\n", name);
    std::printf(" or:\n");
    std::printf("   1 file with 4 columns\n");
    std::printf("   %s [options] -4 t_ch123 outfile\n", name);
    std::printf("   %s [options] -4 -o outfile t_ch123\n", name);
    std::printf("\n");
    std::printf("This program converts CHANNELS timeseries to an AVQ infrasound file.\n");
    std::printf("options:\n");
    std::printf(" -1                      Mode 1\n");
    std::printf(" -2                      Mode 2 (Default)\n");
    std::printf(" -4                      Mode 4\n");
    std::printf(" -s, --scale=#           scales the input by #\n");
    std::printf(" -t, --time=filename     takes time from filename\n");
    std::printf(" -o, --output=outfile    set the output filename\n");
    std::printf("     --zero              zero-fill up to even %u samples(default)\n", SAMPLES);
    std::printf("     --mirror            mirror last samples to get even 512 samples\n");
    std::printf("     --truncate          remove the last samples to get even 512 samples\n");
    std::printf("     --minutes           treat time as minutes instead of seconds\n");
    std::printf("     --seconds           treat time as seconds (default)\n");
    std::printf("     --binary            AVQ binary format\n");
    std::printf("     --ascii             AVQ ascii format\n");
    std::printf("     --unixtime          save time as 32-bit time_t\n");
    std::printf("     --minutes-in-day    express minutes as minutes of day (0-1439)\n");
    std::printf("     --version           print version\n");
    std::printf("\n");
    std::printf("%s\n%s\n%s\n", Version, Copyright, Bugs);
}

// getopt_long returns '?' both for the option "-?" (and "--help") and for
// every error it reports. An error leaves optopt at the offending option
// character, except for long options, which are recognised by their element.
// `before` is optind before the call: when it has not moved, the call took a
// character from the middle of a group of short options.
bool explicit_help(char** argv, int longindex, int before) {
    if (longindex == HELP_OPTION) return true;
    if (longindex >= 0) return false;
    const char* element = optind == before ? argv[optind] : argv[optind - 1];
    const bool long_option = element[0] == '-' && element[1] == '-';
    return !long_option && (optopt == 0 || optopt == '?');
}

[[noreturn]] void no_output() {
    std::fputs("Error: no output file given\n", stderr);
    std::exit(1);
}

} // namespace

int main(int argc, char** argv) {
    // Start-up: locale for the log's time stamp, argument files, the log
    // entry in the caller's time zone, then UTC for everything else.
    std::setlocale(LC_TIME, "");
    rebuild_argv(&argc, &argv);
    logfile(argc, argv);
    putenv(tz_utc);
    tzset();

    // Argument files may leave nothing at all, not even a program name (a
    // first element beginning with "#", or naming an empty file).
    const char* const program = argc > 0 ? argv[0] : "velkor";
    if (argc == 0) {
        usage(program);
        return 0;
    }

    int mode = MODE_2_COLUMN;
    std::string timename;
    std::string oname;

    for (;;) {
        int longindex = -1;
        const int before = optind;
        const int c = getopt_long(argc, argv, short_options, long_options, &longindex);
        if (c == -1) break;
        switch (c) {
        case 0:
            std::printf("option %s", long_options[longindex].name);
            if (optarg != nullptr) std::printf(" with arg %s", optarg);
            std::printf("\n");
            break;
        case '1':
            mode = MODE_1_COLUMN;
            break;
        case '2':
            mode = MODE_2_COLUMN;
            break;
        case '4':
            mode = MODE_4_COLUMN;
            break;
        case 't':
        case 'T':
            timename = optarg;
            mode = MODE_1_COLUMN;
            break;
        case 's':
        case 'S':
            global_scale = std::strtod(optarg, nullptr);
            break;
        case 'o':
        case 'O':
            oname = optarg;
            break;
        case '?':
        case 'h':
        case 'H': {
            // A mistyped option must not look like a successful run.
            const bool asked = c != '?' || explicit_help(argv, longindex, before);
            usage(program);
            std::exit(asked ? 0 : 1);
        }
        case 'v':
            std::fprintf(stderr, "%s\n", Version);
            std::exit(0);
        default:
            std::printf("?? getopt returned character code %d ??\n", c);
            break;
        }
    }

    int p = optind;
    if (p >= argc) {
        usage(program);
        return 0;
    }
    while (p < argc) {
        if (mode == MODE_1_COLUMN && timename.empty()) {
            std::fputs("Error: no time file given\n", stderr);
            return 1;
        }
        const int inputs = mode == MODE_4_COLUMN ? 1 : 3;
        int length = inputs;
        if (oname.empty()) {
            if (p + inputs >= argc) no_output();
            oname = argv[p + inputs];
            ++length;
        } else if (p + inputs > argc) {
            std::fputs("Error: not enough input files\n", stderr);
            return 1;
        }
        if (mode == MODE_4_COLUMN) {
            std::printf("%s->%s\n", argv[p], oname.c_str());
            process_file(mode, nullptr, argv[p], nullptr, nullptr, oname.c_str());
        } else {
            if (mode == MODE_1_COLUMN) std::printf("%s+", timename.c_str());
            std::printf("%s+%s+%s->%s\n", argv[p], argv[p + 1], argv[p + 2], oname.c_str());
            process_file(mode, mode == MODE_1_COLUMN ? timename.c_str() : nullptr, argv[p],
                         argv[p + 1], argv[p + 2], oname.c_str());
        }
        oname.clear();
        p += length;
    }
    return 0;
}
