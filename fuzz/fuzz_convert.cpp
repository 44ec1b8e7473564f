// Fuzz target: converting one group of fuzzed files with velkor's
// conversion (convert_group), in each of the three input layouts.
//
// Input: byte 0 picks the layout (value % 3: time file and three one-column
// files, three two-column files, one four-column file) and, (byte 0 minus
// '0') / 3, the reading and run options (bits 0-1 the delimiter: none, ",",
// ";" or tab; bit 2 decimal comma, not with ","; bit 3 --strict; bit 4
// -q), so that the bytes '0' to '2' read plainly; byte 1 minus '0' the
// settings (bit 0 ASCII output, bits 1-2 end mode, bit 3 times in minutes,
// bit 4 Unix time, bit 5 minute of the day, bits 6-7 the scale). The rest is
// the contents of the group's files, separated by the line "===="
// (time file first in the one-column layout, then channels 1, 2, 3).
//
// Each group is converted twice from the same bytes: on two threads (a
// binary group of more than about 1,950 rows is split between them:
// split_min_rows is lowered here; an ASCII group's lines are written by the
// second thread), and on one thread, as a pipe is read. Both must give the
// same output bytes, messages, failure and summary. A group either fails
// with one line of message (and, for a line that does not parse, a second
// line showing it and hint lines in parentheses), leaving the previous
// output of that name byte for byte as it was and no stray file in the
// directory, or it succeeds with an output that the strict AVQ reader
// accepts, in the form asked for, with as many blocks as the summary says.
//
// A group read with a delimiter or a decimal comma that converts is also
// converted as its plain twin: the same files with blanks for the delimiter
// and points for the commas in every line but comments. Both must give the
// same output bytes: the options read exactly the values of the plain text.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <avq/reader.h>
#include <avq/writer.h>

#include "convert.h"
#include "fuzz_support.h"
#include "numscan.h"

namespace {

const std::string dir = fuzz::make_temp_dir("velkor-fuzz-convert");
const std::string out_name = dir + "/out.avq";
// An earlier output: an AVQ file (a header line alone), which velkor replaces.
const std::string previous = "!previous output of this name\n";

const double SCALES[] = {1.0, 1000.0, -0.001, 1e300};
const char DELIMITERS[] = {0, ',', ';', '\t'};

// The plain twin of a file read with `o`: blanks for the delimiter and
// points for decimal commas, in every line but comments (the header). A
// line whose first field is empty (";0;1;2", the heading a spreadsheet
// writes for an unnamed index column) has no plain twin: blanks would move
// its numbers into the first field. As the first line of a file it is a
// heading and skipped; anywhere else it fails. So it becomes a "#" line,
// which is skipped too.
std::string plain_twin(const std::string& text, const ReadOptions& o) {
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        const std::size_t first = start == 0 && line.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
        std::size_t lead = first;
        while (lead < line.size() && is_space(line[lead]))
            ++lead;
        if (o.delimiter != 0 && o.delimiter != '\t' && lead < line.size() &&
            line[lead] == o.delimiter)
            line.insert(first, "#");
        if (line.size() <= first || line[first] != '!') {
            for (std::size_t i = first; i < line.size(); ++i) {
                if (o.delimiter != 0 && line[i] == o.delimiter) line[i] = ' ';
                if (o.decimal_comma && line[i] == ',') line[i] = '.';
            }
        }
        out += line;
        start = end;
    }
    return out;
}

void check_output(const std::string& bytes, const Settings& settings, const GroupSummary& summary) {
    std::istringstream in(bytes, std::ios::in | std::ios::binary);
    try {
        avq::Reader reader(in);
        fuzz::check(reader.form() == (settings.binary ? avq::Form::binary : avq::Form::ascii),
                    "output written in the wrong form");
        fuzz::check(!reader.header().empty() && reader.header()[0] == '!',
                    "output header is no comment line", reader.header());
        avq::Block block;
        std::uint64_t blocks = 0;
        while (reader.next(block))
            ++blocks;
        fuzz::check(blocks == summary.blocks, "record count differs from the summary's",
                    std::to_string(blocks) + " records, " + std::to_string(summary.blocks) +
                        " in the summary");
    } catch (const avq::FormatError& e) {
        fuzz::fail("the AVQ reader rejects the output", e.what());
    }
}

// One conversion of the group: whether it failed, with what message, what it
// wrote on standard error, the output file after it and its summary.
struct Run {
    bool failed = false;
    std::string message;
    std::string err;
    std::optional<std::string> out;
    GroupSummary summary;
};

Run convert(const Settings& settings, const GroupNames& names, std::vector<std::string> files) {
    fuzz::write_file(out_name, previous);
    Run run;
    {
        fuzz::CapturedStderr captured;
        if (Status st = convert_group(settings, names, run.summary)) {
            run.failed = true;
            run.message = st->message;
        }
        run.err = captured.text();
    }
    const std::vector<std::string> present = testfiles::list_dir(dir);
    std::sort(files.begin(), files.end());
    std::string listing;
    for (const std::string& n : present)
        listing += n + "\n";
    fuzz::check(present == files, "stray files left in the output directory", listing);
    run.out = fuzz::try_read_file(out_name);
    return run;
}

std::string summary_of(const Run& r) {
    return r.failed ? "" : summary_line("out", r.summary);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    Settings settings;
    const Layout* layouts[] = {&ONE_COLUMN, &TWO_COLUMN, &FOUR_COLUMN};
    settings.layout = layouts[data[0] % 3];
    const unsigned extra = static_cast<std::uint8_t>(data[0] - '0') / 3u;
    settings.read.delimiter = DELIMITERS[extra & 3];
    settings.read.decimal_comma = (extra & 4) != 0 && settings.read.delimiter != ',';
    settings.strict = (extra & 8) != 0;
    settings.quiet = (extra & 16) != 0;
    const unsigned flags = static_cast<std::uint8_t>(data[1] - '0');
    settings.binary = (flags & 1) == 0;
    settings.end_mode = static_cast<EndMode>(((flags >> 1) & 3) % 3);
    settings.time_in_minutes = ((flags >> 3) & 1) != 0;
    settings.normaltime = ((flags >> 4) & 1) == 0;
    settings.min_in_day = ((flags >> 5) & 1) != 0;
    settings.global_scale = SCALES[(flags >> 6) & 3];
    // Groups of more than about 1,950 rows are split between two threads
    // (the first part must hold the 1,000 rows that give the typical steps).
    settings.split_min_rows = 1024;

    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::vector<std::string> parts = fuzz::split(rest, "====\n", 4);
    const char* const slot_files[4] = {"time.txt", "ch1.txt", "ch2.txt", "ch3.txt"};
    for (const char* n : slot_files)
        ::unlink((dir + "/" + n).c_str());
    std::vector<std::string> files; // expected in the directory
    std::string paths[4];
    GroupNames names;
    names.output = out_name.c_str();
    std::size_t part = 0;
    std::vector<std::string> contents; // of the files, in the order of `files`
    for (int k = settings.layout->first_slot; k <= settings.layout->last_slot; ++k) {
        paths[k] = dir + "/" + slot_files[k];
        fuzz::write_file(paths[k], parts[part]);
        contents.push_back(parts[part++]);
        files.push_back(slot_files[k]);
        names.input[k] = paths[k].c_str();
    }
    files.push_back("out.avq");

    const Run two = convert(settings, names, files);
    Settings one_thread = settings;
    one_thread.threads = 1;
    const Run one = convert(one_thread, names, files);
    const std::string both =
        "two threads:\n" + two.err + two.message + "\none thread:\n" + one.err + one.message;
    fuzz::check(two.failed == one.failed && two.message == one.message,
                "the conversion on two threads fails otherwise than on one", both);
    fuzz::check(two.err == one.err, "the conversion on two threads writes other messages", both);
    fuzz::check(two.out == one.out, "the conversion on two threads writes another output");
    fuzz::check(summary_of(two) == summary_of(one),
                "the conversion on two threads sums up otherwise",
                summary_of(two) + summary_of(one));

    fuzz::check(one.out.has_value(), "output file missing");
    if (one.failed) {
        // One line; a line that does not parse is shown on a second line,
        // and hints follow it, each in parentheses.
        const std::string& message = one.message;
        const std::vector<std::string> lines = fuzz::split(message, "\n", 64);
        bool shape = !message.empty() && message.back() == '\n';
        for (std::size_t i = 1; shape && i < lines.size() && !lines[i].empty(); ++i) {
            shape = i == 1 ? lines[i].rfind("  line ", 0) == 0
                           : lines[i].rfind("  (", 0) == 0 && lines[i].back() == ')';
        }
        fuzz::check(shape, "error message is not one line (the line it failed on, hints)", message);
        fuzz::check(*one.out == previous, "a failed group changed the existing output", message);
        return 0;
    }
    check_output(*one.out, settings, one.summary);

    // The plain twin of a group read with the options gives the same bytes.
    const ReadOptions read = settings.read;
    if (read.delimiter == 0 && !read.decimal_comma) return 0;
    one_thread.read = ReadOptions{};
    for (std::size_t i = 0; i < contents.size(); ++i)
        fuzz::write_file(dir + "/" + files[i], plain_twin(contents[i], read));
    const Run twin = convert(one_thread, names, files);
    fuzz::check(!twin.failed && twin.out == one.out,
                "the plain twin of a delimited or decimal-comma group converts otherwise",
                twin.message + twin.err);
    return 0;
}
