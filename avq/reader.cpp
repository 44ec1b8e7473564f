// Reading and validating AVQ files: see <avq/reader.h>.
#include <avq/reader.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>

namespace avq {

namespace {

std::string format(const char* fmt, auto... args) {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
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

namespace {

// What is wrong with binary data of `data_bytes` bytes after the header.
std::string length_fault(std::uint64_t data_bytes) {
    return format("binary data after the header is %llu bytes, not a whole number of %zu-byte "
                  "records (%llu whole records and %llu bytes left over)",
                  static_cast<unsigned long long>(data_bytes), RECORD_BYTES,
                  static_cast<unsigned long long>(data_bytes / RECORD_BYTES),
                  static_cast<unsigned long long>(data_bytes % RECORD_BYTES));
}

// What is wrong with the block times of the record of block `block`: "" when
// its three channels carry the same one.
std::string record_time_fault(const unsigned char* record, std::uint64_t block) {
    const TimeHeader first = record_time_header(record);
    for (unsigned c = 1; c < CHANNELS; ++c) {
        const TimeHeader t = record_time_header(record, c);
        if (t.word0 != first.word0 || t.word1 != first.word1) {
            return format("block %llu: the time header of channel %u (%u %u) differs from "
                          "channel 1's (%u %u)",
                          static_cast<unsigned long long>(block), c + 1, t.word0, t.word1,
                          first.word0, first.word1);
        }
    }
    return "";
}

// What is wrong with one ASCII block line as read (without its line feed;
// `ended`: a line feed followed it), as the reader says it after "line N
// (block B, channel C): "; "" for a good line. Splits the line into `fields`
// and reads them into `numbers`.
std::string block_line_fault(std::string_view line, bool ended,
                             std::array<std::string_view, ASCII_FIELDS>& fields,
                             std::array<double, ASCII_FIELDS>& numbers) {
    if (!ended) return "the last line has no line feed (file cut short?)";
    if (!line.empty() && line.back() == '\r') {
        return "the line ends in a carriage return (was the file converted to CR LF line ends?)";
    }
    const int n = split_fields(line, fields);
    if (n < 0) {
        return "an empty field (two spaces in a row, or a space at the start or end of the line)";
    }
    if (static_cast<unsigned>(n) != ASCII_FIELDS) {
        return format("%d fields, expected %u (minute, second and %u values)", n, ASCII_FIELDS,
                      SAMPLES);
    }
    for (unsigned f = 0; f < ASCII_FIELDS; ++f) {
        if (!parse_number(fields[f], numbers[f])) {
            return format("field %u is not a number: ", f + 1) + quoted(fields[f]);
        }
    }
    return "";
}

Recognition not_avq(std::string fault) {
    Recognition r;
    r.fault = std::move(fault);
    return r;
}

Recognition avq_file(Form form) {
    Recognition r;
    r.avq = true;
    r.form = form;
    return r;
}

} // namespace

Recognition recognise(std::string_view start, bool whole) {
    if (start.empty())
        return whole ? not_avq("empty file, not an AVQ file") : avq_file(Form::binary);
    if (start[0] != '!')
        return not_avq("the first line does not begin with \"!\", not an AVQ file");
    const std::size_t end = start.find_first_of("\r\n");
    if (end > MAX_HEADER_BYTES) {
        if (end != std::string_view::npos || start.size() > MAX_HEADER_BYTES) {
            return not_avq(format("no header line: no carriage return or line feed in the first "
                                  "%zu bytes, not an AVQ file",
                                  MAX_HEADER_BYTES));
        }
        if (whole) {
            return not_avq("no header line: the file ends before a carriage return or line feed, "
                           "not an AVQ file");
        }
        return avq_file(Form::binary); // the header line has not ended yet
    }
    const std::string_view rest = start.substr(end + 1);
    if (start[end] == BINARY_HEADER_END) {
        // The first record tells; a file cut short after it is a damaged AVQ
        // file, which the reader refuses when it comes to the cut.
        std::string fault;
        if (rest.size() >= RECORD_BYTES) {
            fault = record_time_fault(reinterpret_cast<const unsigned char*>(rest.data()), 0);
        } else if (whole && !rest.empty()) {
            fault = length_fault(rest.size());
        }
        if (fault.empty()) return avq_file(Form::binary);
        // A record may begin with a line feed (a block time of minute 10 of
        // the day), but when none follows, this is a line of a text file.
        if (rest[0] == ASCII_HEADER_END) {
            fault = "the first line ends in a carriage return and a line feed, and no binary "
                    "records follow: not an AVQ file (a text file with CR LF line ends?)";
        }
        return not_avq(fault);
    }
    if (rest.empty()) return avq_file(Form::ascii);
    const std::size_t line_end = rest.find(ASCII_HEADER_END);
    if (line_end == std::string_view::npos && !whole) {
        if (rest.size() <= MAX_BLOCK_LINE_BYTES) return avq_file(Form::ascii);
        return not_avq(format("line 2 (block 0, channel 1): no line feed in its first %zu bytes, "
                              "not a block line",
                              MAX_BLOCK_LINE_BYTES));
    }
    std::array<std::string_view, ASCII_FIELDS> fields{};
    std::array<double, ASCII_FIELDS> numbers{};
    const std::string fault = block_line_fault(rest.substr(0, line_end),
                                               line_end != std::string_view::npos, fields, numbers);
    if (!fault.empty()) return not_avq("line 2 (block 0, channel 1): " + fault);
    return avq_file(Form::ascii);
}

Reader::Reader(std::istream& in) : in_(in) {
    // The header line and its end, read byte by byte: a stream may be a
    // pipe, and nothing beyond the line must be taken from it. The reading
    // stops where the bytes already show that this is no AVQ file.
    std::string start;
    bool whole = false;
    for (;;) {
        const int c = in_.get();
        if (c == std::char_traits<char>::eof()) {
            whole = true;
            break;
        }
        start.push_back(static_cast<char>(c));
        if (c == BINARY_HEADER_END || c == ASCII_HEADER_END) break;
        if ((start.size() == 1 && c != '!') || start.size() > MAX_HEADER_BYTES) break;
    }
    const char line_end = whole || start.empty() ? '\0' : start.back();
    bool known_length = false;
    std::uint64_t data_bytes = 0;
    if (line_end == BINARY_HEADER_END) {
        // The length, when the stream can tell it, so that a damaged file is
        // refused before anything is printed.
        const std::streampos here = in_.tellg();
        if (here != std::streampos(-1) && in_.seekg(0, std::ios::end)) {
            const std::streampos end = in_.tellg();
            in_.seekg(here);
            known_length = end != std::streampos(-1) && in_.good();
            if (known_length) data_bytes = static_cast<std::uint64_t>(end - here);
        }
        in_.clear();
        // The first record, to recognise the file by.
        ahead_bytes_.resize(RECORD_BYTES);
        in_.read(ahead_bytes_.data(), RECORD_BYTES);
        ahead_bytes_.resize(static_cast<std::size_t>(in_.gcount()));
        if (in_.bad()) throw FormatError("read error");
        whole = ahead_bytes_.size() < RECORD_BYTES;
        in_.clear();
        ahead_ = !ahead_bytes_.empty();
        start += ahead_bytes_;
    } else if (line_end == ASCII_HEADER_END) {
        // The first block line, to recognise the file by.
        if (in_.peek() == std::char_traits<char>::eof()) {
            whole = true;
        } else {
            ahead_ = static_cast<bool>(std::getline(in_, ahead_bytes_));
            if (in_.bad()) throw FormatError("read error");
            whole = in_.eof();
            start += ahead_bytes_;
            if (!whole) start.push_back(ASCII_HEADER_END);
        }
        in_.clear();
    }
    const Recognition r = recognise(start, whole);
    if (!r.avq) throw FormatError(r.fault);
    form_ = r.form;
    header_ = start.substr(0, start.find(line_end));
    if (known_length) check_binary_length(data_bytes);
}

void Reader::check_binary_length(std::uint64_t data_bytes) const {
    if (data_bytes % RECORD_BYTES != 0) throw FormatError(length_fault(data_bytes));
}

bool Reader::next(Block& b) {
    return form_ == Form::binary ? next_binary(b) : next_ascii(b);
}

bool Reader::next_binary(Block& b) {
    unsigned char record[RECORD_BYTES];
    if (next_records(record, 1) == 0) return false;
    b.index = blocks_ - 1;
    b.time = record_time_header(record);
    for (unsigned c = 0; c < CHANNELS; ++c) {
        for (unsigned j = 0; j < SAMPLES; ++j) {
            const std::uint16_t word = get_le16(record + sample_offset(c, j));
            b.samples[c][j] = static_cast<std::int16_t>(word);
        }
    }
    return true;
}

std::size_t Reader::next_records(unsigned char* out, std::size_t max) {
    if (form_ != Form::binary) throw std::logic_error("next_records: not a binary AVQ file");
    if (max == 0) return 0;
    // The record the constructor read to recognise the file comes first.
    std::uint64_t got = 0;
    if (ahead_) {
        ahead_ = false;
        got = ahead_bytes_.size();
        std::memcpy(out, ahead_bytes_.data(), ahead_bytes_.size());
    }
    if (got % RECORD_BYTES == 0) { // a shorter look-ahead met the end of the file
        in_.read(reinterpret_cast<char*>(out) + got,
                 static_cast<std::streamsize>(max * RECORD_BYTES - got));
        got += static_cast<std::uint64_t>(in_.gcount());
        if (in_.bad()) throw FormatError("read error");
    }
    if (got % RECORD_BYTES != 0) check_binary_length(binary_bytes_ + got);
    binary_bytes_ += got;
    const std::size_t records = static_cast<std::size_t>(got / RECORD_BYTES);
    for (std::size_t k = 0; k < records; ++k) {
        std::string fault = record_time_fault(out + k * RECORD_BYTES, blocks_ + k);
        if (!fault.empty()) throw FormatError(fault);
    }
    blocks_ += records;
    return records;
}

bool Reader::next_ascii(Block& b) {
    b.index = blocks_;
    std::array<double, ASCII_FIELDS> numbers;
    for (unsigned c = 0; c < CHANNELS; ++c) {
        std::string& line = b.lines[c];
        bool ended = true;
        if (ahead_) { // the first line, read by the constructor
            ahead_ = false;
            line.swap(ahead_bytes_);
        } else if (!std::getline(in_, line)) {
            if (in_.bad()) throw FormatError("read error");
            if (c == 0) return false;
            throw FormatError(format("the file ends inside block %llu, after %u of its 3 lines "
                                     "(one line per channel)",
                                     static_cast<unsigned long long>(blocks_), c));
        } else {
            ended = !in_.eof();
        }
        ++line_;
        const auto where = [&] {
            return format("line %llu (block %llu, channel %u)",
                          static_cast<unsigned long long>(line_),
                          static_cast<unsigned long long>(blocks_), c + 1);
        };
        auto& fields = b.fields[c];
        if (const std::string fault = block_line_fault(line, ended, fields, numbers);
            !fault.empty()) {
            throw FormatError(where() + ": " + fault);
        }
        std::copy(numbers.begin() + 2, numbers.end(), b.values[c].begin());
        if (c == 0) {
            b.ascii_minute = numbers[0];
            b.ascii_second = numbers[1];
        } else if (fields[0] != b.fields[0][0] || fields[1] != b.fields[0][1]) {
            throw FormatError(where() + ": the block time (" + std::string(fields[0]) + " " +
                              std::string(fields[1]) + ") differs from channel 1's (" +
                              std::string(b.fields[0][0]) + " " + std::string(b.fields[0][1]) +
                              ")");
        }
    }
    ++blocks_;
    return true;
}

Recognition recognise_file(const char* path, int& error) {
    error = 0;
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return not_avq(std::strerror(error));
    }
    std::string start(RECOGNITION_BYTES, '\0');
    std::size_t got = 0;
    bool whole = false;
    while (got < start.size()) {
        const ssize_t n = ::read(fd, start.data() + got, start.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break; // a FIFO or device with no more for now
        if (n < 0) {
            error = errno;
            ::close(fd);
            return not_avq(std::strerror(error));
        }
        if (n == 0) {
            whole = true;
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    start.resize(got);
    return recognise(start, whole);
}

bool holds_other_than_avq(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return false;
    int error = 0;
    const Recognition r = recognise_file(path, error);
    return error == 0 && !r.avq;
}

} // namespace avq
