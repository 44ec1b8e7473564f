// Recognising an AVQ file by its first bytes (detect_form in <avq/avq.h>).
//
// An AVQ file given where a text input is expected (a swapped command line)
// would otherwise be read as text and converted into garbage over the file
// that was meant as the input; velkor refuses such inputs with this test.
#include <charconv>

#include <avq/avq.h>

namespace avq {

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t';
}

// Whether `line` holds exactly ASCII_FIELDS numbers separated by blanks (a
// carriage return at its end aside).
bool ascii_block_line(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    unsigned fields = 0;
    std::size_t i = 0;
    while (i < line.size()) {
        if (blank(line[i])) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < line.size() && !blank(line[j]))
            ++j;
        double value = 0;
        const char* first = line.data() + i;
        const char* last = line.data() + j;
        const auto r = std::from_chars(first, last, value);
        if (r.ec != std::errc() || r.ptr != last || ++fields > ASCII_FIELDS) return false;
        i = j;
    }
    return fields == ASCII_FIELDS;
}

} // namespace

Detected detect_form(std::string_view start, bool whole) {
    if (start.empty() || start[0] != '!') return Detected::text;
    const std::size_t end = start.find_first_of("\r\n");
    if (end == std::string_view::npos) return Detected::text;
    if (start[end] == BINARY_HEADER_END) {
        if (end + 1 < start.size()) {
            if (start[end + 1] != ASCII_HEADER_END) return Detected::binary;
        } else {
            return whole ? Detected::binary : Detected::text;
        }
    }
    // The header ends in a line feed (perhaps after a carriage return); the
    // next line must be the first line of a block.
    const std::size_t second = start.find(ASCII_HEADER_END, end) + 1;
    std::size_t stop = start.find(ASCII_HEADER_END, second);
    if (stop == std::string_view::npos) {
        if (!whole) return Detected::text;
        stop = start.size();
    }
    return ascii_block_line(start.substr(second, stop - second)) ? Detected::ascii : Detected::text;
}

} // namespace avq
