// Fuzz target: reading one group from fuzzed files and converting it, in
// each of the three input layouts, through process_file to an output file.
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
// Each group is converted twice: streamed from the files into the output
// (on two threads once it is longer than about 1,950 rows: split_min_rows is
// lowered here), and through the sample table. Both must give the same
// output bytes, messages and failure. fatal() throws in this build
// (fatal_throw.cpp), so one process can try input after input. A group
// either fails with one line of message (and, for a line that does not
// parse, a second line showing it and hint lines in parentheses), leaving
// the previous output of that name
// byte for byte as it was and no stray file in the directory, or it succeeds
// with an output that the strict AVQ reader accepts, headed by the settled
// comment, with one record per 512 rows and, in the binary form, every
// sample as the writer's saturation gives it from the table. (n1 is not
// raised by filling the last block: it stays the number of rows read, and
// the writers write every block that starts below it.)
//
// A group read with a delimiter or a decimal comma that converts is also
// converted as its plain twin: the same files with blanks for the delimiter
// and points for the commas in every line but comments. Both must give the
// same output bytes: the options read exactly the values of the plain text.
//
// The group's input files are closed only at the end of a successful read;
// a fatal error leaves them open, which does not matter when it ends the
// process but would exhaust this one. The target is linked with
// --wrap=fopen,fclose so it can close what a failed group left open.
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

#include "fuzz_support.h"
#include "stream.h"
#include "velkor.h"

namespace {

bool tracking = false;
std::vector<std::FILE*> open_files;

} // namespace

extern "C" std::FILE* __real_fopen(const char* name, const char* mode);
extern "C" int __real_fclose(std::FILE* f);

extern "C" std::FILE* __wrap_fopen(const char* name, const char* mode) {
    std::FILE* f = __real_fopen(name, mode);
    if (tracking && f != nullptr) open_files.push_back(f);
    return f;
}

extern "C" int __wrap_fclose(std::FILE* f) {
    open_files.erase(std::remove(open_files.begin(), open_files.end(), f), open_files.end());
    return __real_fclose(f);
}

namespace {

const std::string dir = fuzz::make_temp_dir("velkor-fuzz-convert");
const std::string out_name = dir + "/out.avq";
// An earlier output: an AVQ file (a header line alone), which velkor replaces.
const std::string previous = "!previous output of this name\n";

const double SCALES[] = {1.0, 1000.0, -0.001, 1e300};
const char DELIMITERS[] = {0, ',', ';', '\t'};

// The plain twin of a file read with `o`: blanks for the delimiter and
// points for decimal commas, in every line but comments (the header).
std::string plain_twin(const std::string& text, const ReadOptions& o) {
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        const std::size_t first = start == 0 && line.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
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

void check_output(const std::string& bytes) {
    std::istringstream in(bytes, std::ios::in | std::ios::binary);
    try {
        avq::Reader reader(in);
        fuzz::check(reader.form() == (binary ? avq::Form::binary : avq::Form::ascii),
                    "output written in the wrong form");
        fuzz::check(reader.header() == cline[1], "output header is not the settled comment",
                    reader.header() + "\n" + cline[1]);
        // n1 keeps the rows read (truncation lowers it); a completed last
        // block is written whole from the rows added to the table.
        const std::uint64_t want_blocks = (std::uint64_t{n1} + SAMPLES - 1) / SAMPLES;
        fuzz::check(samples.size() >= want_blocks * SAMPLES, "last block not completed");
        avq::Block block;
        std::uint64_t blocks = 0;
        while (reader.next(block)) {
            if (binary) {
                for (unsigned j = 0; j < SAMPLES; ++j) {
                    for (unsigned c = 0; c < avq::CHANNELS; ++c) {
                        unsigned clipped = 0;
                        const std::int16_t want = avq::clamp_to_short(
                            samples[blocks * SAMPLES + j].ch[c].data * global_scale, clipped);
                        if (block.samples[c][j] != want) {
                            fuzz::fail("binary sample differs",
                                       "block " + std::to_string(blocks) + " row " +
                                           std::to_string(j) + " channel " + std::to_string(c));
                        }
                    }
                }
            }
            ++blocks;
        }
        fuzz::check(blocks == want_blocks, "record count differs from the rows",
                    std::to_string(blocks) + " records, " + std::to_string(n1) + " rows");
    } catch (const avq::FormatError& e) {
        fuzz::fail("the AVQ reader rejects the output", e.what());
    }
}

// One conversion of the group: whether it failed, with what message, what it
// wrote on standard error, and the output file after it.
struct Run {
    bool failed = false;
    std::string message;
    std::string err;
    std::optional<std::string> out;
    std::uint32_t rows = 0;
    std::string header;
};

Run convert(bool stream, int mode, const std::string& t, const std::string& a, const std::string& b,
            const std::string& c, std::vector<std::string> names) {
    fuzz::write_file(out_name, previous);
    streaming = stream;
    Run run;
    {
        fuzz::CapturedStderr captured;
        tracking = true;
        try {
            process_file(mode, mode == MODE_1_COLUMN ? t.c_str() : nullptr, a.c_str(),
                         mode == MODE_4_COLUMN ? nullptr : b.c_str(),
                         mode == MODE_4_COLUMN ? nullptr : c.c_str(), out_name.c_str());
        } catch (const fuzz::FatalError& e) {
            run.failed = true;
            run.message = e.message;
        }
        tracking = false;
        run.err = captured.text();
    }
    while (!open_files.empty())
        __wrap_fclose(open_files.back());

    const std::vector<std::string> present = testfiles::list_dir(dir);
    std::sort(names.begin(), names.end());
    std::string listing;
    for (const std::string& n : present)
        listing += n + "\n";
    fuzz::check(present == names, "stray files left in the output directory", listing);
    run.out = fuzz::try_read_file(out_name);
    run.rows = n1;
    run.header = cline[1];
    return run;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // Groups of more than about 1,950 rows are split between two threads (the
    // first part must hold the 1,000 rows that give the typical steps).
    split_min_rows = 1024;
    const int mode = data[0] % 3;
    const unsigned extra = static_cast<std::uint8_t>(data[0] - '0') / 3u;
    run_options = RunOptions{};
    run_options.read.delimiter = DELIMITERS[extra & 3];
    run_options.read.decimal_comma = (extra & 4) != 0 && run_options.read.delimiter != ',';
    run_options.strict = (extra & 8) != 0;
    run_options.quiet = (extra & 16) != 0;
    const unsigned flags = static_cast<std::uint8_t>(data[1] - '0');
    binary = (flags & 1) ? 0 : 1;
    end_mode = static_cast<int>((flags >> 1) & 3) % 3;
    time_in_minutes = (flags >> 3) & 1;
    normaltime = (flags >> 4) & 1 ? 0 : 1;
    min_in_day = (flags >> 5) & 1;
    global_scale = SCALES[(flags >> 6) & 3];

    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::vector<std::string> parts = fuzz::split(rest, "====\n", 4);

    for (const char* n : {"time.txt", "ch1.txt", "ch2.txt", "ch3.txt"})
        ::unlink((dir + "/" + n).c_str());
    std::vector<std::string> names; // files expected in the directory
    auto input = [&](const char* name, const std::string& contents) {
        const std::string path = dir + "/" + name;
        fuzz::write_file(path, contents);
        names.push_back(name);
        return path;
    };
    std::string t, a, b, c;
    if (mode == MODE_1_COLUMN) {
        t = input("time.txt", parts[0]);
        a = input("ch1.txt", parts[1]);
        b = input("ch2.txt", parts[2]);
        c = input("ch3.txt", parts[3]);
    } else if (mode == MODE_2_COLUMN) {
        a = input("ch1.txt", parts[0]);
        b = input("ch2.txt", parts[1]);
        c = input("ch3.txt", parts[2]);
    } else {
        a = input("ch1.txt", parts[0]);
    }
    names.push_back("out.avq");

    const Run streamed = convert(true, mode, t, a, b, c, names);
    // Last, so that the table and n1 are this run's.
    const Run table = convert(false, mode, t, a, b, c, names);
    const std::string both =
        "streamed:\n" + streamed.err + streamed.message + "\ntable:\n" + table.err + table.message;
    fuzz::check(streamed.failed == table.failed && streamed.message == table.message,
                "the streamed conversion fails otherwise than the table's", both);
    fuzz::check(streamed.err == table.err,
                "the streamed conversion writes other messages than the table's", both);
    fuzz::check(streamed.out == table.out, "the streamed conversion writes another output");
    fuzz::check(streamed.failed || (streamed.rows == table.rows && streamed.header == table.header),
                "the streamed conversion leaves other rows or another header");

    fuzz::check(table.out.has_value(), "output file missing");
    if (table.failed) {
        // One line; a line that does not parse is shown on a second line,
        // and hints follow it, each in parentheses.
        const std::string& message = table.message;
        const std::vector<std::string> lines = fuzz::split(message, "\n", 64);
        bool shape = !message.empty() && message.back() == '\n';
        for (std::size_t i = 1; shape && i < lines.size() && !lines[i].empty(); ++i) {
            shape = i == 1 ? lines[i].rfind("  line ", 0) == 0
                           : lines[i].rfind("  (", 0) == 0 && lines[i].back() == ')';
        }
        fuzz::check(shape, "error message is not one line (the line it failed on, hints)", message);
        fuzz::check(*table.out == previous, "a failed group changed the existing output", message);
        return 0;
    }
    check_output(*table.out);

    // The plain twin of a group read with the options gives the same bytes.
    const ReadOptions read = run_options.read;
    if (read.delimiter == 0 && !read.decimal_comma) return 0;
    run_options.read = ReadOptions{};
    for (std::size_t i = 0; i < names.size() - 1; ++i)
        fuzz::write_file(dir + "/" + names[i], plain_twin(parts[i], read));
    const Run twin = convert(false, mode, t, a, b, c, names);
    fuzz::check(!twin.failed && twin.out == table.out,
                "the plain twin of a delimited or decimal-comma group converts otherwise",
                twin.message + twin.err);
    return 0;
}
