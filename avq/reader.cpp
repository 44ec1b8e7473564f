// Reading and validating AVQ files: see <avq/reader.h>.
#include <avq/reader.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>

namespace avq {

namespace {

std::string format(const char* fmt, auto... args) {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

// The three channel records of binary record `record`, block `block`, must
// carry the same time header.
void check_record_times(const unsigned char* record, std::uint64_t block) {
    const TimeHeader t{get_le16(record), get_le16(record + 2)};
    for (unsigned c = 1; c < CHANNELS; ++c) {
        const unsigned char* ch = record + channel_record_offset(c);
        const TimeHeader u{get_le16(ch), get_le16(ch + 2)};
        if (u.word0 != t.word0 || u.word1 != t.word1) {
            throw FormatError(format("block %llu: the time header of channel %u (%u %u) differs "
                                     "from channel 1's (%u %u)",
                                     static_cast<unsigned long long>(block), c + 1, u.word0,
                                     u.word1, t.word0, t.word1));
        }
    }
}

std::string quoted(std::string_view s) {
    constexpr std::size_t shown = 40;
    std::string q = "\"";
    q.append(s.substr(0, shown));
    if (s.size() > shown) q.append("...");
    q.append("\"");
    return q;
}

} // namespace

int split_fields(std::string_view line, std::array<std::string_view, ASCII_FIELDS>& out) {
    std::size_t n = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t space = line.find(' ', start);
        const std::size_t end = space == std::string_view::npos ? line.size() : space;
        if (end == start) return -1;
        if (n < out.size()) out[n] = line.substr(start, end - start);
        ++n;
        if (space == std::string_view::npos)
            return static_cast<int>(std::min<std::size_t>(n, INT_MAX));
        start = space + 1;
    }
}

bool parse_number(std::string_view field, double& value) {
    // The writer's notation: decimal and exponent forms, inf and nan, no
    // plus sign and no white space.
    const char* first = field.data();
    const char* last = first + field.size();
    const auto r = std::from_chars(first, last, value);
    return first != last && r.ec == std::errc() && r.ptr == last;
}

Reader::Reader(std::istream& in) : in_(in) {
    for (;;) {
        const int c = in_.get();
        if (c == std::char_traits<char>::eof()) {
            throw FormatError(header_.empty()
                                  ? "empty file, not an AVQ file"
                                  : "no header line: the file ends before a carriage return or "
                                    "line feed, not an AVQ file");
        }
        if (c == BINARY_HEADER_END) {
            form_ = Form::binary;
            break;
        }
        if (c == ASCII_HEADER_END) {
            form_ = Form::ascii;
            break;
        }
        if (header_.size() >= MAX_HEADER_BYTES) {
            throw FormatError(format("no header line: no carriage return or line feed in the "
                                     "first %zu bytes, not an AVQ file",
                                     MAX_HEADER_BYTES));
        }
        header_.push_back(static_cast<char>(c));
    }
    if (form_ == Form::binary) {
        // Check the length up front when the stream can tell it, so that a
        // damaged file is refused before anything is printed.
        const std::streampos here = in_.tellg();
        if (here != std::streampos(-1) && in_.seekg(0, std::ios::end)) {
            const std::streampos end = in_.tellg();
            in_.seekg(here);
            if (end != std::streampos(-1) && in_)
                check_binary_length(static_cast<std::uint64_t>(end - here));
        }
        in_.clear();
    }
}

void Reader::check_binary_length(std::uint64_t data_bytes) const {
    const std::uint64_t rest = data_bytes % RECORD_BYTES;
    if (rest == 0) return;
    throw FormatError(format("binary data after the header is %llu bytes, not a whole number of "
                             "%zu-byte records (%llu whole records and %llu bytes left over)",
                             static_cast<unsigned long long>(data_bytes), RECORD_BYTES,
                             static_cast<unsigned long long>(data_bytes / RECORD_BYTES),
                             static_cast<unsigned long long>(rest)));
}

bool Reader::next(Block& b) {
    return form_ == Form::binary ? next_binary(b) : next_ascii(b);
}

bool Reader::next_binary(Block& b) {
    unsigned char record[RECORD_BYTES];
    in_.read(reinterpret_cast<char*>(record), sizeof record);
    const auto got = static_cast<std::uint64_t>(in_.gcount());
    if (got == 0 && in_.eof()) return false;
    if (in_.bad()) throw FormatError("read error");
    if (got != sizeof record) check_binary_length(binary_bytes_ + got);
    binary_bytes_ += got;

    check_record_times(record, blocks_);
    b.index = blocks_;
    b.time = {get_le16(record), get_le16(record + 2)};
    for (unsigned c = 0; c < CHANNELS; ++c) {
        for (unsigned j = 0; j < SAMPLES; ++j) {
            const std::uint16_t word = get_le16(record + sample_offset(c, j));
            b.samples[c][j] = static_cast<std::int16_t>(word);
        }
    }
    ++blocks_;
    return true;
}

std::size_t Reader::next_records(unsigned char* out, std::size_t max) {
    if (form_ != Form::binary) throw std::logic_error("next_records: not a binary AVQ file");
    in_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(max * RECORD_BYTES));
    const auto got = static_cast<std::uint64_t>(in_.gcount());
    if (in_.bad()) throw FormatError("read error");
    if (got % RECORD_BYTES != 0) check_binary_length(binary_bytes_ + got);
    binary_bytes_ += got;
    const std::size_t records = static_cast<std::size_t>(got / RECORD_BYTES);
    for (std::size_t k = 0; k < records; ++k)
        check_record_times(out + k * RECORD_BYTES, blocks_ + k);
    blocks_ += records;
    return records;
}

bool Reader::next_ascii(Block& b) {
    b.index = blocks_;
    for (unsigned c = 0; c < CHANNELS; ++c) {
        std::string& line = b.lines[c];
        if (!std::getline(in_, line)) {
            if (in_.bad()) throw FormatError("read error");
            if (c == 0) return false;
            throw FormatError(format("the file ends inside block %llu, after %u of its 3 lines "
                                     "(one line per channel)",
                                     static_cast<unsigned long long>(blocks_), c));
        }
        ++line_;
        const auto where = [&] {
            return format("line %llu (block %llu, channel %u)",
                          static_cast<unsigned long long>(line_),
                          static_cast<unsigned long long>(blocks_), c + 1);
        };
        if (in_.eof()) {
            throw FormatError(where() + ": the last line has no line feed (file cut short?)");
        }
        if (!line.empty() && line.back() == '\r') {
            throw FormatError(where() + ": the line ends in a carriage return (was the file "
                                        "converted to CR LF line ends?)");
        }
        auto& fields = b.fields[c];
        const int n = split_fields(line, fields);
        if (n < 0) {
            throw FormatError(where() + ": an empty field (two spaces in a row, or a space at "
                                        "the start or end of the line)");
        }
        if (static_cast<unsigned>(n) != ASCII_FIELDS) {
            throw FormatError(where() + format(": %d fields, expected %u (minute, second and "
                                               "%u values)",
                                               n, ASCII_FIELDS, SAMPLES));
        }
        for (unsigned f = 0; f < ASCII_FIELDS; ++f) {
            double v;
            if (!parse_number(fields[f], v)) {
                throw FormatError(where() + format(": field %u is not a number: ", f + 1) +
                                  quoted(fields[f]));
            }
            if (f >= 2) {
                b.values[c][f - 2] = v;
            } else if (c == 0) {
                (f == 0 ? b.ascii_minute : b.ascii_second) = v;
            }
        }
        if (c > 0 && (fields[0] != b.fields[0][0] || fields[1] != b.fields[0][1])) {
            throw FormatError(where() + ": the block time (" + std::string(fields[0]) + " " +
                              std::string(fields[1]) + ") differs from channel 1's (" +
                              std::string(b.fields[0][0]) + " " + std::string(b.fields[0][1]) +
                              ")");
        }
    }
    ++blocks_;
    return true;
}

} // namespace avq
