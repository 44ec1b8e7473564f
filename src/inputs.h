// The input files of a group: opened in the layout's order, refused when one
// is an AVQ file, read line by line (line_reader.h), and closed when the
// group is done, whichever way it ends.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "error.h"
#include "line_reader.h"
#include "settings.h"

// The file name "-": standard input as an input, standard output as the
// output.
inline bool names_standard_stream(const char* name) {
    return name != nullptr && name[0] == '-' && name[1] == '\0';
}

// The names of a group: its inputs by slot (0 the time file, 1-3 the channel
// files; null where the layout has none) and its output.
struct GroupNames {
    const char* input[4] = {};
    const char* output = "";
};

// One input file of a group, and where its reading stands.
struct InputSlot {
    // Both null when the layout does not use the slot.
    std::FILE* file = nullptr;
    const char* name = nullptr;
    std::unique_ptr<LineReader> reader;
    bool at_end = false;       // the last read met the end of the file
    std::uint64_t line_no = 0; // lines read so far, comment lines included
    // The current line, without a byte order mark that begins the file.
    const char* text = "";
    bool rows_begun = false; // a data line (or the heading) has been read
    bool has_data = false;   // the current line is the data line of the row being read

    // The length of the current line in bytes, zero bytes included.
    std::size_t length() const {
        return reader->length() - static_cast<std::size_t>(text - reader->line());
    }
    // The second line of a parse error: where it happened and what the
    // line holds.
    std::string where() const;
};

// The opened inputs of a group. Standard input belongs to the process and
// stays open; the other files are closed with the group.
struct GroupInputs {
    explicit GroupInputs(const Layout& l) : layout(l) {}
    ~GroupInputs();
    GroupInputs(const GroupInputs&) = delete;
    GroupInputs& operator=(const GroupInputs&) = delete;

    // Whether every input is a regular file (which may be read at several
    // places at once).
    bool all_regular() const;

    const Layout& layout;
    InputSlot slots[4];
};

// Opens the inputs named in `names` in the order time file, channel 2,
// channel 3, channel 1 (as the layout uses them); fails when one cannot be
// opened or is an AVQ file.
Status open_inputs(GroupInputs& in, const GroupNames& names);
