// Checks of a group's file names, made before anything of the group is read:
// standard input named twice, an empty output name, an output that is one of
// the group's own inputs (which the conversion would replace), and, once the
// inputs are open, an output that holds something else than an AVQ file
// (a data file named as the output by a slip of a glob) or a terminal that
// would be sent binary data.
//
// Standard input can be read once in a run: the group that reads it takes it
// in blocks, so what a later group would find there is lost or nothing (a
// time file "-" serves every group, a regular one is opened again). A later
// group that names it is refused rather than converted from no rows.
#include "group_checks.h"

#include <sys/stat.h>

#include <string>

#include <avq/output.h>
#include <avq/reader.h>

#include "strformat.h"

namespace {

// Whether the input `name` is the same file as the output, an existing
// regular file whose status is `out`: a hard link, a symbolic link or another
// spelling of its path all count. Standard input is never compared.
bool same_file(const struct stat& out, const char* name) {
    struct stat in {};
    if (name == nullptr || names_standard_stream(name) || ::stat(name, &in) != 0) return false;
    return S_ISREG(in.st_mode) && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

} // namespace

Status check_group_names(const GroupNames& names, bool& stdin_taken) {
    int from_stdin = 0;
    for (const char* name : names.input)
        from_stdin += names_standard_stream(name);
    if (from_stdin > 1) {
        return Error{"Error: standard input (\"-\") is given as more than one input of a group\n"};
    }
    if (from_stdin > 0 && stdin_taken) {
        return Error{"Error: standard input (\"-\") was read by an earlier group; it can be read "
                     "only once\n"};
    }
    stdin_taken = stdin_taken || from_stdin > 0;
    // An empty name cannot be opened; say so before the group is converted.
    const char* oname = names.output;
    if (oname[0] == '\0') return Error{"Can't open output file : No such file or directory\n"};

    // Devices, pipes and standard output are written in place and never
    // replace an input; only an existing regular file is compared.
    struct stat out {};
    if (avq::special_output_name(oname) || ::stat(oname, &out) != 0 || !S_ISREG(out.st_mode)) {
        return {};
    }
    for (const char* name : names.input) {
        if (same_file(out, name)) {
            return Error{strformat("Error: output file %s is also an input\n", oname)};
        }
    }
    return {};
}

Status check_group_output(const Settings& s, const char* oname) {
    if (s.binary && avq::output_is_terminal(oname)) {
        return Error{"Error: binary AVQ data is not written to a terminal; name an output file or "
                     "redirect standard output\n"};
    }
    // Devices, pipes, standard output, new names and empty files are written
    // as they are; an existing AVQ file is the output of an earlier run.
    if (s.force_output || avq::special_output_name(oname) || !avq::holds_other_than_avq(oname))
        return {};
    return Error{strformat("Error: output file %s exists and is not an AVQ file; it is left as it "
                           "is (use --force to replace it)\n",
                           oname)};
}
