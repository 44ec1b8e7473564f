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
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "argutil.h"
#include "convert.h"
#include "group_checks.h"
#include "settings.h"
#include "strformat.h"
#include "version.h"

namespace {

// Ends the run with the message of a failure.
[[noreturn]] void fail(const Error& e) {
    std::fputs(e.message.c_str(), stderr);
    std::exit(1);
}

// The value getopt_long returns for --help: that of -h, the same request.
constexpr int HELP_OPTION = 'h';
// Long options without a short form.
enum : int {
    DELIMITER_OPTION = 256,
    DECIMAL_COMMA_OPTION,
    STRICT_OPTION,
    STATION_OPTION,
    GAIN_OPTION,
    DEBUG_OPTION,
};

// The settings that getopt_long sets itself, through the flag of the option
// (it then returns 0): the last of the options that set one wins.
struct Flags {
    int binary = 1;
    int time_in_minutes = 0;
    int end_mode = 0; // EndMode as a number
    int normaltime = 1;
    int min_in_day = 0;
    int summary = 0;
};

// The long options; --minutes-in-day and --minutes-of-day are one option
// (so that an abbreviation of both is no ambiguity).
struct LongOptions {
    explicit LongOptions(Flags& f)
        : table{
              {"scale", required_argument, nullptr, 's'},
              {"time", required_argument, nullptr, 't'},
              {"output", required_argument, nullptr, 'o'},
              {"help", no_argument, nullptr, HELP_OPTION},
              {"binary", no_argument, &f.binary, 1},
              {"ascii", no_argument, &f.binary, 0},
              {"minutes", no_argument, &f.time_in_minutes, 1},
              {"seconds", no_argument, &f.time_in_minutes, 0},
              {"debug", no_argument, nullptr, DEBUG_OPTION}, // accepted, no effect
              {"zero", no_argument, &f.end_mode, static_cast<int>(EndMode::zero)},
              {"mirror", no_argument, &f.end_mode, static_cast<int>(EndMode::mirror)},
              {"truncate", no_argument, &f.end_mode, static_cast<int>(EndMode::truncate)},
              {"normaltime", no_argument, &f.normaltime, 1},
              {"unixtime", no_argument, &f.normaltime, 0},
              {"minutes-in-day", no_argument, &f.min_in_day, 1},
              {"minutes-of-day", no_argument, &f.min_in_day, 1},
              {"version", no_argument, nullptr, 'v'},
              {"summary", no_argument, &f.summary, 1},
              {"delimiter", required_argument, nullptr, DELIMITER_OPTION},
              {"decimal-comma", no_argument, nullptr, DECIMAL_COMMA_OPTION},
              {"quiet", no_argument, nullptr, 'q'},
              {"strict", no_argument, nullptr, STRICT_OPTION},
              {"station", required_argument, nullptr, STATION_OPTION},
              {"gain", required_argument, nullptr, GAIN_OPTION},
              {"force", no_argument, nullptr, 'f'},
              {nullptr, 0, nullptr, 0},
          } {}
    option table[26];
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
// run. The lines about the options are held while the options are parsed:
// where they go is known only once every group's output name is.
struct Lines {
    std::FILE* progress = stdout;
    bool quiet = false; // -q: errors and warnings only
    std::vector<std::string> notes;

    void say(const std::string& line) const {
        std::fputs(line.c_str(), progress);
        std::fflush(progress);
    }
    // A progress line, unless -q asks for errors and warnings only.
    void progress_line(const std::string& line) const {
        if (!quiet) say(line);
    }
    void print_notes() {
        for (const std::string& n : notes)
            progress_line(n);
        notes.clear();
    }
    // The notes, then the failure that ends the run.
    [[noreturn]] void fail_after_notes(const Error& e) {
        print_notes();
        fail(e);
    }
};

// The scale must be a number as strtod reads it, all of it (blanks before
// and after aside), and finite: "abc" or "1,000" would otherwise silently
// scale every value by 0 or by 1.
std::optional<double> parse_scale(const char* text) {
    char* end = nullptr;
    const double scale = std::strtod(text, &end);
    bool valid = end != text && std::isfinite(scale);
    for (; valid && *end != '\0'; ++end)
        valid = std::isspace(static_cast<unsigned char>(*end)) != 0;
    if (!valid) return std::nullopt;
    return scale;
}

// --delimiter: ",", ";", or a tab (written "tab", or as the character);
// 0 for none of these.
char parse_delimiter(const char* text) {
    if (std::strcmp(text, ",") == 0 || std::strcmp(text, ";") == 0) return text[0];
    if (std::strcmp(text, "tab") == 0 || std::strcmp(text, "\t") == 0) return '\t';
    return 0;
}

// --station: one word of at most 32 printable characters, as the built
// header's field is one word.
bool valid_station(const char* text) {
    const std::size_t n = std::strlen(text);
    bool valid = n > 0 && n <= 32;
    for (std::size_t i = 0; valid && i < n; ++i)
        valid = text[i] > ' ' && text[i] < 0x7f;
    return valid;
}

// --gain: a decimal number (sign, digits with at most one point, an
// exponent), of at most 32 characters, written into the header as given.
bool valid_gain(const char* text) {
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
    return valid && *p == '\0' && std::strlen(text) <= 32;
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
    GroupWalk(const Layout& layout, bool have_time, std::string output, int first, int argc,
              char** argv)
        : layout_(layout), have_time_(have_time), output_(std::move(output)), p_(first),
          argc_(argc), argv_(argv) {}

    Walk next(Group& g) {
        if (p_ >= argc_) return Walk::end;
        if (layout_.kind == Layout::Kind::one_column && !have_time_) return Walk::no_time_file;
        const int inputs = layout_.inputs();
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
    const Layout& layout_;
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

// "Error: no output file given", and a second line that says what the
// layout takes and what was left of the command line, with the likely slip.
Error no_output(const Layout& layout, int left) {
    const char* hint = "for one four-column file use -4 and name an output";
    if (layout.one_file()) {
        hint = "name the output after the input, or with -o";
    } else if (left == 3) {
        hint = "name the output after the inputs, or with -o";
    } else if (layout.kind == Layout::Kind::one_column) {
        hint = "check that no value file is missing";
    } else if (left == 2) {
        hint = "for one four-column file use -4";
    }
    return Error{strformat("Error: no output file given\n  %s; %d %s left (%s)\n", layout.takes,
                           left, left == 1 ? "name was" : "names were", hint)};
}

// What the option loop leaves for the walk over the groups: the settings,
// the time file and the first group's output.
struct Options {
    Settings settings;
    std::string timename; // -t
    std::string oname;    // -o: the output of the first group
};

// The option loop: every option, wherever it stands, before the first group.
// --help, --version and a mistyped option end the process here.
class OptionParser {
  public:
    OptionParser(int argc, char** argv, const char* program, Lines& lines)
        : argc_(argc), argv_(argv), program_(program), lines_(lines), long_(flags_) {}

    Options parse() {
        for (;;) {
            int longindex = -1;
            const int before = optind;
            const int c = getopt_long(argc_, argv_, short_options, long_.table, &longindex);
            if (c == -1) break;
            take(c, longindex, before);
        }
        Settings& s = o_.settings;
        // A comma cannot be both the decimal mark and the delimiter.
        if (s.read.decimal_comma && s.read.delimiter == ',') {
            lines_.fail_after_notes(
                Error{"Error: --decimal-comma cannot be used with --delimiter=,\n"});
        }
        s.binary = flags_.binary != 0;
        s.time_in_minutes = flags_.time_in_minutes != 0;
        s.end_mode = static_cast<EndMode>(flags_.end_mode);
        s.normaltime = flags_.normaltime != 0;
        s.min_in_day = flags_.min_in_day != 0;
        s.summary = flags_.summary != 0;
        return o_;
    }

  private:
    void take(int c, int longindex, int before);
    [[noreturn]] void invalid(const char* what, const char* text, const char* rule = nullptr) {
        lines_.fail_after_notes(
            Error{strformat("Error: invalid %s %s%s%s%s\n", what, text, rule != nullptr ? " (" : "",
                            rule != nullptr ? rule : "", rule != nullptr ? ")" : "")});
    }

    int argc_;
    char** argv_;
    const char* program_;
    Lines& lines_;
    Flags flags_;
    LongOptions long_;
    Options o_;
};

void OptionParser::take(int c, int longindex, int before) {
    Settings& s = o_.settings;
    switch (c) {
    case 0:
        lines_.notes.push_back(std::string("option ") + long_.table[longindex].name +
                               (optarg != nullptr ? std::string(" with arg ") + optarg : "") +
                               "\n");
        break;
    case DEBUG_OPTION:
        lines_.notes.push_back("option debug\n");
        break;
    case '1':
        s.layout = &ONE_COLUMN;
        break;
    case '2':
        s.layout = &TWO_COLUMN;
        break;
    case '4':
        s.layout = &FOUR_COLUMN;
        break;
    case 't':
    case 'T':
        o_.timename = optarg;
        s.layout = &ONE_COLUMN;
        break;
    case 's':
    case 'S': {
        const std::optional<double> scale = parse_scale(optarg);
        if (!scale) invalid("scale", optarg);
        s.global_scale = *scale;
        break;
    }
    case 'o':
    case 'O':
        o_.oname = optarg;
        break;
    case 'f':
        s.force_output = true;
        break;
    case '?':
    case HELP_OPTION:
    case 'H': {
        // A mistyped option must not look like a successful run.
        const bool asked = c != '?' || explicit_help(argv_, before);
        lines_.print_notes();
        usage(program_);
        std::exit(asked ? 0 : 1);
    }
    case 'v':
        lines_.print_notes();
        std::fprintf(stderr, "%s\n", Version);
        std::exit(0);
    case 'q':
        lines_.quiet = s.quiet = true;
        break;
    case DELIMITER_OPTION:
        s.read.delimiter = parse_delimiter(optarg);
        if (s.read.delimiter == 0) invalid("delimiter", optarg, "one of , ; tab");
        break;
    case DECIMAL_COMMA_OPTION:
        s.read.decimal_comma = true;
        lines_.notes.push_back("option decimal-comma\n");
        break;
    case STRICT_OPTION:
        s.strict = true;
        lines_.notes.push_back("option strict\n");
        break;
    case STATION_OPTION:
        if (!valid_station(optarg)) {
            invalid("station", optarg, "one word of at most 32 printable characters");
        }
        s.station = optarg;
        break;
    case GAIN_OPTION:
        if (!valid_gain(optarg)) invalid("gain", optarg, "a decimal number such as 0.5 or 2e3");
        s.gain = optarg;
        break;
    default:
        lines_.notes.push_back("?? getopt returned character code " + std::to_string(c) + " ??\n");
        break;
    }
}

// The names of group `g`, and its progress line.
GroupNames names_of(const Options& o, char** argv, const Group& g, std::string& line) {
    GroupNames names;
    names.output = g.output.c_str();
    const Layout& layout = *o.settings.layout;
    const int p = g.first;
    if (layout.one_file()) {
        names.input[1] = argv[p];
        line = std::string(argv[p]) + "->" + g.output + "\n";
        return names;
    }
    for (int k = 1; k <= 3; ++k)
        names.input[k] = argv[p + k - 1];
    line = layout.kind == Layout::Kind::one_column ? o.timename + "+" : "";
    if (layout.kind == Layout::Kind::one_column) names.input[0] = o.timename.c_str();
    line += std::string(argv[p]) + "+" + argv[p + 1] + "+" + argv[p + 2] + "->" + g.output + "\n";
    return names;
}

// The walk over the groups of positional arguments, from optind on: one
// conversion per group. Returns the exit status; a failing group ends the
// run.
int convert_groups(const Options& o, int argc, char** argv, Lines& lines) {
    const Settings& s = o.settings;
    GroupWalk walk(*s.layout, !o.timename.empty(), o.oname, optind, argc, argv);
    if (writes_standard_output(walk)) lines.progress = stderr;
    lines.print_notes();
    bool stdin_taken = false; // by an earlier group
    for (;;) {
        Group g;
        switch (walk.next(g)) {
        case Walk::group: {
            std::string line;
            const GroupNames names = names_of(o, argv, g, line);
            lines.progress_line(line);
            if (Status st = check_group_names(names, stdin_taken)) fail(*st);
            GroupSummary summary;
            if (Status st = convert_group(s, names, summary)) fail(*st);
            if (s.summary) lines.say(summary_line(names.output, summary));
            break;
        }
        case Walk::end:
            return 0;
        case Walk::no_time_file:
            fail(Error{"Error: no time file given\n"});
        case Walk::no_output:
            fail(no_output(*s.layout, walk.left()));
        case Walk::too_few_inputs:
            fail(Error{"Error: not enough input files\n"});
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
    Lines lines;
    const Options options = OptionParser(argc, argv, program, lines).parse();
    if (optind >= argc) {
        lines.print_notes();
        usage(program);
        return 0;
    }
    return convert_groups(options, argc, argv, lines);
}
