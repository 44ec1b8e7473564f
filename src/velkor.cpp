// The conversion of one group (`process_file`) and the process-wide state
// that its stages share.
#include "velkor.h"

#include <cstdio>

#include "report.h"

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
const std::size_t maxsamples = 655360; // 1280 blocks of 512 rows

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
    // All input is read and parsed before the output is opened, so a group
    // that fails while reading leaves no output behind.
    read_group(mode, timename, fname1, fname2, fname3);
    const bool built = settle_comment(mode, fname1, mode == MODE_4_COLUMN ? nullptr : fname2,
                                      mode == MODE_4_COLUMN ? nullptr : fname3);
    // What is wrong with the data: after the header's lines, before block
    // completion's.
    for (const std::string& line : report_end(group_report, built))
        std::fputs(line.c_str(), stderr);
    complete_last_block();
    std::uint64_t clipped = 0;
    if (binary) {
        clipped = write_binary(oname);
    } else {
        write_ascii(oname);
    }
    group_summary = make_summary(group_report, n1, end_mode, clipped);
    return 0;
}
