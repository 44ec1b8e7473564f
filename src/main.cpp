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
// The name "-" reads standard input or writes standard output; when any
// group writes standard output, the progress lines, summary lines and option
// acknowledgements go to standard error, so that the data stream holds the
// AVQ file alone.
//
// Exit status: 0 when every group was converted, and for --help and
// --version; 1 on any error (an unknown option or a missing option argument
// included), after which outputs of earlier groups stay as written.
#include <getopt.h>

#include <cctype>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "argutil.h"
#include "fatal.h"
#include "report.h"
#include "velkor.h"
#include "version.h"

namespace {

// The value getopt_long returns for --help: that of -h, the same request.
constexpr int HELP_OPTION = 'h';
// Long options without a short form.
enum : int {
    DELIMITER_OPTION = 256,
    DECIMAL_COMMA_OPTION,
    STRICT_OPTION,
    STATION_OPTION,
    GAIN_OPTION,
};

option long_options[] = {
    {"scale", required_argument, nullptr, 's'},
    {"time", required_argument, nullptr, 't'},
    {"output", required_argument, nullptr, 'o'},
    {"help", no_argument, nullptr, HELP_OPTION},
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
    {"summary", no_argument, &summary, 1},
    {"delimiter", required_argument, nullptr, DELIMITER_OPTION},
    {"decimal-comma", no_argument, nullptr, DECIMAL_COMMA_OPTION},
    {"quiet", no_argument, nullptr, 'q'},
    {"strict", no_argument, nullptr, STRICT_OPTION},
    {"station", required_argument, nullptr, STATION_OPTION},
    {"gain", required_argument, nullptr, GAIN_OPTION},
    {"force", no_argument, nullptr, 'f'},
    {nullptr, 0, nullptr, 0},
};

const char* const short_options = "124E:HO:S:T:?e:fho:qs:t:v";

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
    std::printf(" -f, --force             replace an output file that is not an AVQ file\n");
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
    std::printf("     --summary           print one line per output: rows, blocks, times\n");
    std::printf("     --delimiter=C       fields separated by C: , ; or tab\n");
    std::printf("     --decimal-comma     numbers written with a decimal comma\n");
    std::printf("     --station=NAME      station of the built header (default x)\n");
    std::printf("     --gain=NUMBER       gain of the built header (default 1)\n");
    std::printf(" -q, --quiet             print errors and warnings only\n");
    std::printf("     --strict            a group with warnings about its data leaves no output\n");
    std::printf("\n");
    std::printf("%s\n%s\n%s\n", Version, Copyright, Bugs);
}

// getopt_long returns '?' both for the option "-?" and for every error it
// reports. An error leaves optopt at the offending option character, except
// for long options, which are recognised by their element. `before` is
// optind before the call: when it has not moved, the call took a character
// from the middle of a group of short options.
bool explicit_help(char** argv, int before) {
    const char* element = optind == before ? argv[optind] : argv[optind - 1];
    const bool long_option = element[0] == '-' && element[1] == '-';
    return !long_option && (optopt == 0 || optopt == '?');
}

// Progress lines, option acknowledgements, --summary lines and the codes of
// ignored options go to standard output, or to standard error when the run
// writes an AVQ file to standard output. Each is flushed at once, so that it
// stands in order with the warnings of its group when both go to one file. A
// line that cannot be written (the reader of a pipe has gone) is no error:
// the conversion goes on, and only AVQ data that cannot be written fail the
// run.
std::FILE* progress = stdout;

void say(const std::string& line) {
    std::fputs(line.c_str(), progress);
    std::fflush(progress);
}

// The lines about the options, held while the options are parsed: where
// they go is known only once every group's output name is.
std::vector<std::string> notes;

void print_notes() {
    if (!run_options.quiet) {
        for (const std::string& n : notes)
            say(n);
    }
    notes.clear();
}

// The scale must be a number as strtod reads it, all of it (blanks before
// and after aside), and finite: "abc" or "1,000" would otherwise silently
// scale every value by 0 or by 1.
double parse_scale(const char* text) {
    char* end = nullptr;
    const double scale = std::strtod(text, &end);
    bool valid = end != text && std::isfinite(scale);
    for (; valid && *end != '\0'; ++end)
        valid = std::isspace(static_cast<unsigned char>(*end)) != 0;
    if (!valid) {
        print_notes();
        fatal("Error: invalid scale %s\n", text);
    }
    return scale;
}

// --delimiter: ",", ";", or a tab (written "tab", or as the character).
char parse_delimiter(const char* text) {
    if (std::strcmp(text, ",") == 0 || std::strcmp(text, ";") == 0) return text[0];
    if (std::strcmp(text, "tab") == 0 || std::strcmp(text, "\t") == 0) return '\t';
    print_notes();
    fatal("Error: invalid delimiter %s (one of , ; tab)\n", text);
}

// --station: one word of at most 32 printable characters, as the built
// header's field is one word.
std::string parse_station(const char* text) {
    const std::size_t n = std::strlen(text);
    bool valid = n > 0 && n <= 32;
    for (std::size_t i = 0; valid && i < n; ++i)
        valid = text[i] > ' ' && text[i] < 0x7f;
    if (!valid) {
        print_notes();
        fatal("Error: invalid station %s (one word of at most 32 printable characters)\n", text);
    }
    return text;
}

// --gain: a decimal number (sign, digits with at most one point, an
// exponent), of at most 32 characters, written into the header as given.
std::string parse_gain(const char* text) {
    const char* p = text;
    if (*p == '+' || *p == '-') ++p;
    const std::size_t whole = std::strspn(p, "0123456789");
    p += whole;
    std::size_t fraction = 0;
    if (*p == '.') {
        fraction = std::strspn(p + 1, "0123456789");
        p += 1 + fraction;
    }
    bool valid = whole + fraction > 0;
    if (valid && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        if (*q == '+' || *q == '-') ++q;
        const std::size_t digits = std::strspn(q, "0123456789");
        valid = digits > 0;
        p = q + digits;
    }
    if (!valid || *p != '\0' || std::strlen(text) > 32) {
        print_notes();
        fatal("Error: invalid gain %s (a decimal number such as 0.5 or 2e3)\n", text);
    }
    return text;
}

// One group of positional arguments: its first argument, how many it
// takes, and its output name.
struct Group {
    int first = 0;
    int length = 0;
    std::string output;
};

enum class Walk { group, end, no_time_file, no_output, too_few_inputs };

// Walks the positional arguments group by group, as the layout takes them;
// the run walks them once to see where the progress lines go, and once to
// convert.
class GroupWalk {
  public:
    GroupWalk(int mode, bool have_time, std::string output, int first, int argc, char** argv)
        : mode_(mode), have_time_(have_time), output_(std::move(output)), p_(first), argc_(argc),
          argv_(argv) {}

    Walk next(Group& g) {
        if (p_ >= argc_) return Walk::end;
        if (mode_ == MODE_1_COLUMN && !have_time_) return Walk::no_time_file;
        const int inputs = mode_ == MODE_4_COLUMN ? 1 : 3;
        g.first = p_;
        g.length = inputs;
        if (output_.empty()) {
            if (p_ + inputs >= argc_) return Walk::no_output;
            g.output = argv_[p_ + inputs];
            ++g.length;
        } else if (p_ + inputs > argc_) {
            return Walk::too_few_inputs;
        } else {
            g.output = output_;
        }
        // "-o" names the first group's output only.
        output_.clear();
        p_ += g.length;
        return Walk::group;
    }

    // The positional arguments not yet taken.
    int left() const { return argc_ - p_; }

  private:
    int mode_;
    bool have_time_;
    std::string output_;
    int p_;
    int argc_;
    char** argv_;
};

// Whether any group of the run writes to standard output.
bool writes_standard_output(GroupWalk walk) {
    Group g;
    while (walk.next(g) == Walk::group) {
        if (names_standard_stream(g.output.c_str())) return true;
    }
    return false;
}

// The hint of the line after "Error: no output file given": the likely
// slip, given the layout and the number of names left.
const char* no_output_hint(int mode, int left) {
    if (mode == MODE_4_COLUMN) return "name the output after the input, or with -o";
    if (left == 3) return "name the output after the inputs, or with -o";
    if (mode == MODE_1_COLUMN) return "check that no value file is missing";
    if (left == 2) return "for one four-column file use -4";
    return "for one four-column file use -4 and name an output";
}

// "Error: no output file given", and a second line that says what the
// layout takes and what was left of the command line.
[[noreturn]] void no_output(int mode, int left) {
    const char* takes = "the -2 layout takes three input files and an output";
    if (mode == MODE_4_COLUMN) takes = "the -4 layout takes one input file and an output";
    if (mode == MODE_1_COLUMN) takes = "the -1 layout takes three value files and an output";
    fatal("Error: no output file given\n  %s; %d %s left (%s)\n", takes, left,
          left == 1 ? "name was" : "names were", no_output_hint(mode, left));
}

// A progress line, unless -q asks for errors and warnings only.
void progress_line(const std::string& line) {
    if (!run_options.quiet) say(line);
}

void convert(int mode, const std::string& timename, char** argv, const Group& g) {
    const char* out = g.output.c_str();
    const int p = g.first;
    if (mode == MODE_4_COLUMN) {
        progress_line(std::string(argv[p]) + "->" + out + "\n");
        process_file(mode, nullptr, argv[p], nullptr, nullptr, out);
        return;
    }
    std::string line = mode == MODE_1_COLUMN ? timename + "+" : "";
    line += std::string(argv[p]) + "+" + argv[p + 1] + "+" + argv[p + 2] + "->" + out + "\n";
    progress_line(line);
    process_file(mode, mode == MODE_1_COLUMN ? timename.c_str() : nullptr, argv[p], argv[p + 1],
                 argv[p + 2], out);
}

// What the option loop leaves for the walk over the groups, besides the
// process-wide settings it sets.
struct Options {
    int mode = MODE_2_COLUMN;
    std::string timename; // -t
    std::string oname;    // -o: the output of the first group
};

// The option loop: every option, wherever it stands, before the first group.
// --help, --version and a mistyped option end the process here.
Options parse_options(int argc, char** argv, const char* program) {
    Options o;
    for (;;) {
        int longindex = -1;
        const int before = optind;
        const int c = getopt_long(argc, argv, short_options, long_options, &longindex);
        if (c == -1) {
            // A comma cannot be both the decimal mark and the delimiter.
            if (run_options.read.decimal_comma && run_options.read.delimiter == ',') {
                print_notes();
                fatal("Error: --decimal-comma cannot be used with --delimiter=,\n");
            }
            return o;
        }
        switch (c) {
        case 0:
            notes.push_back(std::string("option ") + long_options[longindex].name +
                            (optarg != nullptr ? std::string(" with arg ") + optarg : "") + "\n");
            break;
        case '1':
            o.mode = MODE_1_COLUMN;
            break;
        case '2':
            o.mode = MODE_2_COLUMN;
            break;
        case '4':
            o.mode = MODE_4_COLUMN;
            break;
        case 't':
        case 'T':
            o.timename = optarg;
            o.mode = MODE_1_COLUMN;
            break;
        case 's':
        case 'S':
            global_scale = parse_scale(optarg);
            break;
        case 'o':
        case 'O':
            o.oname = optarg;
            break;
        case 'f':
            force_output = 1;
            break;
        case '?':
        case HELP_OPTION:
        case 'H': {
            // A mistyped option must not look like a successful run.
            const bool asked = c != '?' || explicit_help(argv, before);
            print_notes();
            usage(program);
            std::exit(asked ? 0 : 1);
        }
        case 'v':
            print_notes();
            std::fprintf(stderr, "%s\n", Version);
            std::exit(0);
        case 'q':
            run_options.quiet = true;
            break;
        case DELIMITER_OPTION:
            run_options.read.delimiter = parse_delimiter(optarg);
            break;
        case DECIMAL_COMMA_OPTION:
            run_options.read.decimal_comma = true;
            notes.push_back("option decimal-comma\n");
            break;
        case STRICT_OPTION:
            run_options.strict = true;
            notes.push_back("option strict\n");
            break;
        case STATION_OPTION:
            run_options.station = parse_station(optarg);
            break;
        case GAIN_OPTION:
            run_options.gain = parse_gain(optarg);
            break;
        default:
            notes.push_back("?? getopt returned character code " + std::to_string(c) + " ??\n");
            break;
        }
    }
}

// The walk over the groups of positional arguments, from optind on: one
// conversion per group. Returns the exit status; a failing group ends the
// process on its own.
int convert_groups(const Options& o, int argc, char** argv) {
    GroupWalk walk(o.mode, !o.timename.empty(), o.oname, optind, argc, argv);
    if (writes_standard_output(walk)) progress = stderr;
    print_notes();
    for (;;) {
        Group g;
        switch (walk.next(g)) {
        case Walk::group:
            convert(o.mode, o.timename, argv, g);
            if (summary) say(summary_line(g.output.c_str(), group_summary));
            break;
        case Walk::end:
            return 0;
        case Walk::no_time_file:
            fatal("Error: no time file given\n");
        case Walk::no_output:
            no_output(o.mode, walk.left());
        case Walk::too_few_inputs:
            fatal("Error: not enough input files\n");
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    // A reader of standard output that goes away (velkor ... | head) must
    // not end the run: writes then fail with EPIPE instead.
    std::signal(SIGPIPE, SIG_IGN);
    // A write past the file size limit (ulimit -f) must fail with EFBIG, and
    // take the error path that removes the temporary output, rather than
    // end the run.
    std::signal(SIGXFSZ, SIG_IGN);
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
    const Options options = parse_options(argc, argv, program);
    if (optind >= argc) {
        print_notes();
        usage(program);
        return 0;
    }
    return convert_groups(options, argc, argv);
}
