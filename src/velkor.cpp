// The conversion of one group (`process_file`) and the process-wide state
// that its stages share.
#include "velkor.h"

#include <cstdio>

#include "fatal.h"
#include "read_input.h"
#include "report.h"
#include "stream.h"
#include "writers.h"

std::vector<samp_> samples;
std::uint32_t n1 = 0;
std::string cline[4];

double global_scale = 1.0;
int binary = 1;
int normaltime = 1;
int time_in_minutes = 0;
int end_mode = EM_ZERO;
int min_in_day = 0;
int debug = 0;
int summary = 0;
int force_output = 0;
const std::size_t maxsamples = 655360; // 1280 blocks of 512 rows
RunOptions run_options;

void refuse_strict(const char* oname) {
    fatal("Error: --strict: no output written to %s because of the warnings above\n", oname);
}

namespace {

// The conversion through the sample table, for inputs that can be read only
// once and outputs written in place. Returns the number of values clipped.
std::uint64_t convert_in_memory(GroupInputs& in, const char* oname) {
    // All input is read and parsed before the output is opened, so a group
    // that fails while reading leaves no output behind.
    read_into_table(in);
    const bool built =
        settle_comment(in.mode, in.slots[1].name, in.slots[2].name, in.slots[3].name);
    if (binary) {
        ValueCounts values[CHANNELS];
        count_values(samples.data(), samples.size(), global_scale, values);
        report_add_values(group_report, values);
    }
    // What is wrong with the data: after the header's lines, before block
    // completion's.
    const std::vector<std::string> lines = report_end(group_report, built);
    for (const std::string& line : lines)
        std::fputs(line.c_str(), stderr);
    complete_last_block();
    // Under --strict the group is refused before the output is opened: it
    // is known here whether the data drew warnings, and clipping is counted
    // up front. The clipping lines (or a block time's error) still come.
    if (run_options.strict &&
        (group_report.reading_warnings + lines.size() > 0 || (binary && count_clipped() > 0))) {
        if (binary) write_binary(nullptr);
        refuse_strict(oname);
    }
    if (!binary) {
        write_ascii(oname);
        return 0;
    }
    return write_binary(oname);
}

} // namespace

int process_file(int mode, const char* timename, const char* fname1, const char* fname2,
                 const char* fname3, const char* oname) {
    // Each group is converted from its own rows and comments only.
    samples.clear();
    n1 = 0;
    for (std::string& c : cline)
        c.clear();

    check_group_names(mode == MODE_1_COLUMN ? timename : nullptr, fname1,
                      mode == MODE_4_COLUMN ? nullptr : fname2,
                      mode == MODE_4_COLUMN ? nullptr : fname3, oname);
    GroupInputs in;
    open_inputs(in, mode, timename, fname1, fname2, fname3);
    check_group_output(oname);
    std::uint64_t clipped = 0;
    if (!stream_group(in, oname, clipped)) clipped = convert_in_memory(in, oname);
    close_inputs(in);
    group_summary = make_summary(group_report, n1, end_mode, clipped);
    return 0;
}
