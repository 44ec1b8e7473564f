// The input files of a group: see inputs.h. The name "-" stands for
// standard input. An input that is an AVQ file (a command line with the
// input and the output swapped) is refused before anything is read from it.
#include "inputs.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>

#include <avq/avq.h>

#include "display_line.h"
#include "strformat.h"

namespace {

// A pipe's buffer holds 64 KiB by default: the program that writes into it
// (gunzip -c, say) stops whenever the buffer is full, and would stop for
// most of the time that the reading spends on a block. The buffer is made
// as large as a block of the reading, where the system allows it.
void widen_pipe(std::FILE* f) {
    struct stat st {};
    if (::fstat(fileno(f), &st) == 0 && S_ISFIFO(st.st_mode))
        ::fcntl(fileno(f), F_SETPIPE_SZ, static_cast<int>(LineReader::BLOCK));
}

// An AVQ file where a text input belongs is refused; the bytes looked at
// stay in the reader for the reading itself.
Status open_slot(InputSlot& slot, const char* name) {
    slot.name = name;
    slot.file = names_standard_stream(name) ? stdin : std::fopen(name, "r");
    if (slot.file == nullptr) {
        return Error{strformat("Can't open file %s: %s\n", name, std::strerror(errno))};
    }
    widen_pipe(slot.file);
    try {
        slot.reader = std::make_unique<LineReader>(slot.file);
    } catch (const std::bad_alloc&) {
        return Error{strformat("Out of memory reading file %s\n", name)};
    }
    bool whole = false;
    const std::string_view start = slot.reader->peek(whole);
    if (avq::detect_form(start, whole) != avq::Detected::text) {
        return Error{strformat("Error: %s is an AVQ file, not a text input (are the input and "
                               "output swapped?)\n",
                               name)};
    }
    return {};
}

} // namespace

std::string InputSlot::where() const {
    return "  line " + std::to_string(line_no) + ": " + display_line({text, length()}) + "\n";
}

GroupInputs::~GroupInputs() {
    for (InputSlot& slot : slots) {
        if (slot.file != nullptr && slot.file != stdin) std::fclose(slot.file);
    }
}

bool GroupInputs::all_regular() const {
    for (int k = layout.first_slot; k <= layout.last_slot; ++k) {
        struct stat st {};
        const std::FILE* f = slots[k].file;
        if (f == stdin || ::fstat(fileno(slots[k].file), &st) != 0 || !S_ISREG(st.st_mode)) {
            return false;
        }
    }
    return true;
}

Status open_inputs(GroupInputs& in, const GroupNames& names) {
    // The order decides which of several missing files is named: the time
    // file, channels 2 and 3, then channel 1.
    for (const int k : {0, 2, 3, 1}) {
        if (k < in.layout.first_slot || k > in.layout.last_slot) continue;
        if (Status s = open_slot(in.slots[k], names.input[k])) return s;
    }
    return {};
}
