// The Python module avq: AVQ infrasound files read into numpy arrays, with
// the times of libavq's timeline (<avq/timeline.h>) and the checks of its
// reader (<avq/reader.h>), and written from them with its writers
// (<avq/writer.h>) through its output files (<avq/output.h>).
//
// A file's samples go straight into one (n, 3) array: binary records, read
// and checked by the reader a batch at a time, are decoded into its rows;
// ASCII blocks are parsed by the reader and their values copied in. The
// array's memory is mapped for it alone: reserved at once for the most
// blocks the file's size allows (virtual, until written), grown by
// remapping when the size is not known, and handed to numpy as the array's
// base. No sample is copied twice, no Python object is made per sample, and
// the interpreter's lock is released while the file is read.
//
// avq.write settles everything Python must say (the array's memory and
// layout, the start as seconds, the header) with the lock, then releases it
// and writes the rows block by block, each block's columns copied into
// doubles as the writer takes them. The output's signal handlers leave
// SIGINT to the interpreter, whose handler it is (the write finishes, then
// KeyboardInterrupt is raised); SIGXFSZ, which Python ignores, makes a write
// beyond the file size limit fail with EFBIG.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <avq/output.h>
#include <avq/reader.h>
#include <avq/timeline.h>
#include <avq/writer.h>

namespace py = pybind11;

namespace {

// Memory of its own for one array: mapped, grown by remapping (never by
// copying), released by unmapping. It is asked for in huge pages where the
// system gives them (as numpy does for its own large arrays): a few page
// faults instead of one per 4 KiB.
class Mapping {
  public:
    Mapping() = default;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() {
        if (base_ != nullptr) ::munmap(base_, capacity_);
    }

    void* data() const { return base_; }
    std::size_t capacity() const { return capacity_; }

    // Makes room for at least `bytes`, keeping what is written.
    void reserve(std::size_t bytes) {
        if (bytes <= capacity_) return;
        bytes = whole_pages(bytes);
        void* p;
        if (base_ == nullptr) {
            // A huge page more than asked, so that the start can be aligned
            // to one.
            p = ::mmap(nullptr, bytes + HUGE_PAGE, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc();
            const auto at = reinterpret_cast<std::uintptr_t>(p);
            const std::size_t head = (HUGE_PAGE - at % HUGE_PAGE) % HUGE_PAGE;
            if (head > 0) ::munmap(p, head);
            ::munmap(static_cast<char*>(p) + head + bytes, HUGE_PAGE - head);
            p = static_cast<char*>(p) + head;
        } else {
            p = ::mremap(base_, capacity_, bytes, MREMAP_MAYMOVE);
            if (p == MAP_FAILED) throw std::bad_alloc();
        }
        ::madvise(p, bytes, MADV_HUGEPAGE);
        base_ = p;
        capacity_ = bytes;
    }

    // Gives back what lies beyond `bytes` (pages that were reserved and
    // never written).
    void shrink(std::size_t bytes) {
        bytes = whole_pages(bytes);
        if (base_ == nullptr || bytes >= capacity_ || bytes == 0) return;
        ::munmap(static_cast<char*>(base_) + bytes, capacity_ - bytes);
        capacity_ = bytes;
    }

  private:
    static constexpr std::size_t HUGE_PAGE = 2 << 20;
    static std::size_t whole_pages(std::size_t bytes) {
        return (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    }

    void* base_ = nullptr;
    std::size_t capacity_ = 0;
};

// Why a file could not be opened: its errno.
struct OpenError {
    int err;
};

// What read() takes from a file, made without the interpreter's lock.
struct Contents {
    std::string header;
    avq::Form form = avq::Form::binary;
    std::uint64_t blocks = 0;
    std::unique_ptr<Mapping> data; // blocks × 512 rows of 3 samples
    avq::Timeline timeline;
};

// The most blocks a file of `size` bytes can hold after a header of
// `header` bytes: a binary record, and the three lines of an ASCII block
// (514 fields of at least one character, 513 spaces, a line feed), are each
// at least 3084 bytes.
std::uint64_t most_blocks(std::uint64_t size, std::size_t header) {
    return size > header ? (size - header - 1) / avq::RECORD_BYTES : 0;
}

// Makes room in `c` for `more` blocks of samples of `sample_bytes` bytes
// beyond those it holds: the room it has, else twice as much.
void make_room(Contents& c, std::size_t more, std::size_t sample_bytes) {
    const std::size_t block_bytes = avq::SAMPLES * avq::CHANNELS * sample_bytes;
    const auto held = static_cast<std::size_t>(c.blocks);
    if ((held + more) * block_bytes <= c.data->capacity()) return;
    c.data->reserve(std::max(held + more, 2 * held + 64) * block_bytes);
}

// Binary records straight from the file: a batch of them at a time, decoded
// into the array's rows.
void read_binary(avq::Reader& reader, avq::TimelineBuilder& timeline, Contents& c) {
    constexpr std::size_t BATCH = 256; // records, 790 kB
    std::vector<unsigned char> records(BATCH * avq::RECORD_BYTES);
    for (;;) {
        const std::size_t n = reader.next_records(records.data(), BATCH);
        if (n == 0) return;
        make_room(c, n, sizeof(std::int16_t));
        auto* row = static_cast<std::int16_t*>(c.data->data()) +
                    static_cast<std::size_t>(c.blocks) * avq::SAMPLES * avq::CHANNELS;
        for (std::size_t k = 0; k < n; ++k) {
            const unsigned char* rec = records.data() + k * avq::RECORD_BYTES;
            timeline.add(avq::record_time_header(rec));
            for (unsigned j = 0; j < avq::SAMPLES; ++j)
                for (unsigned ch = 0; ch < avq::CHANNELS; ++ch)
                    *row++ =
                        static_cast<std::int16_t>(avq::get_le16(rec + avq::sample_offset(ch, j)));
        }
        c.blocks += n;
    }
}

// ASCII blocks as the reader parses them, their values into the array's rows.
void read_ascii(avq::Reader& reader, avq::TimelineBuilder& timeline, Contents& c) {
    avq::Block b;
    while (reader.next(b)) {
        timeline.add(b);
        make_room(c, 1, sizeof(double));
        double* row = static_cast<double*>(c.data->data()) +
                      static_cast<std::size_t>(c.blocks) * avq::SAMPLES * avq::CHANNELS;
        for (unsigned j = 0; j < avq::SAMPLES; ++j)
            for (unsigned ch = 0; ch < avq::CHANNELS; ++ch)
                *row++ = b.values[ch][j];
        ++c.blocks;
    }
}

Contents read_contents(const std::string& path) {
    std::ifstream in;
    errno = 0;
    in.open(path, std::ios::binary);
    if (!in) throw OpenError{errno != 0 ? errno : EIO};
    struct stat st {};
    const bool sized = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);

    avq::Reader reader(in);
    Contents c;
    c.header = reader.header();
    c.form = reader.form();
    c.data = std::make_unique<Mapping>();
    const bool binary = c.form == avq::Form::binary;
    const std::size_t sample_bytes = binary ? sizeof(std::int16_t) : sizeof(double);
    // The mapping is reserved at once for the most blocks the file's size
    // allows (untouched pages cost nothing); a file whose size is not known,
    // or that grows, has it grown.
    if (sized) {
        const auto most = static_cast<std::size_t>(
            most_blocks(static_cast<std::uint64_t>(st.st_size), c.header.size()));
        if (most > 0) c.data->reserve(most * avq::SAMPLES * avq::CHANNELS * sample_bytes);
    }
    avq::TimelineBuilder timeline(c.header, c.form);
    if (binary) {
        read_binary(reader, timeline, c);
    } else {
        read_ascii(reader, timeline, c);
    }
    c.data->shrink(static_cast<std::size_t>(c.blocks) * avq::SAMPLES * avq::CHANNELS *
                   sample_bytes);
    c.timeline = timeline.finish();
    return c;
}

constexpr std::int64_t NAT = std::numeric_limits<std::int64_t>::min();

// Seconds since the epoch as nanoseconds, the whole seconds kept apart from
// the fraction so that no digit is lost; NaT when they are no time or beyond
// the range of datetime64[ns].
std::int64_t nanoseconds(double seconds) {
    if (!(std::fabs(seconds) < 9.2e9)) return NAT;
    const double whole = std::floor(seconds);
    return static_cast<std::int64_t>(whole) * 1000000000 + std::llround((seconds - whole) * 1e9);
}

// One read file, as avq.read returns it.
class AvqFile {
  public:
    AvqFile(Contents c, py::str name) : c_(std::move(c)), name_(std::move(name)) {
        const bool binary = c_.form == avq::Form::binary;
        const auto rows = static_cast<py::ssize_t>(c_.blocks * avq::SAMPLES);
        if (rows == 0) {
            const std::vector<py::ssize_t> none{0, 3};
            data_ = binary ? py::array(py::array_t<std::int16_t>(none))
                           : py::array(py::array_t<double>(none));
            return;
        }
        // The array's base owns the mapping and unmaps it with the array.
        Mapping* m = c_.data.release();
        py::capsule owner(m, [](void* p) { delete static_cast<Mapping*>(p); });
        if (binary) {
            data_ = py::array_t<std::int16_t>({rows, py::ssize_t{3}},
                                              static_cast<const std::int16_t*>(m->data()), owner);
        } else {
            data_ = py::array_t<double>({rows, py::ssize_t{3}},
                                        static_cast<const double*>(m->data()), owner);
        }
    }

    py::str header() const { return decoded(c_.header); }
    py::bytes header_bytes() const { return py::bytes(c_.header); }
    const char* form() const { return c_.form == avq::Form::binary ? "binary" : "ascii"; }
    double fs() const { return c_.timeline.fs(); }
    py::object fs_from() const {
        switch (c_.timeline.fs_source()) {
        case avq::FrequencySource::header:
            return py::str("header");
        case avq::FrequencySource::fitted:
            return py::str("block_times");
        case avq::FrequencySource::unknown:
            break;
        }
        return py::none();
    }
    bool dated() const { return c_.timeline.dated(); }
    py::object start() const {
        const double s = c_.timeline.start();
        if (!dated() || !std::isfinite(s)) return py::none();
        return time_object(s);
    }
    py::array data() const { return data_; }

    py::array block_times() const {
        const auto& t = c_.timeline.block_times();
        return times_array(t.size(), [&](std::size_t k) { return std::pair{t[k], 0.0}; });
    }

    py::list runs() const {
        py::object run = py::module_::import("avq").attr("Run");
        py::list out;
        for (const avq::Run& r : c_.timeline.runs())
            out.append(run(r.first_block, r.blocks, time_object(r.start)));
        return out;
    }

    py::array times() const {
        const avq::Timeline& t = c_.timeline;
        return times_array(static_cast<std::size_t>(t.samples()), [&](std::size_t n) {
            return std::pair{t.run_of(n / avq::SAMPLES).start, t.offset(n)};
        });
    }

    std::string repr() const {
        char rate[64] = "unknown frequency";
        if (std::isfinite(fs())) std::snprintf(rate, sizeof rate, "%g Hz", fs());
        return "<avq file " + std::string(py::repr(name_)) + ": " + form() + ", " +
               std::to_string(c_.blocks * avq::SAMPLES) + " samples per channel at " + rate + ", " +
               std::to_string(c_.timeline.runs().size()) + " run" +
               (c_.timeline.runs().size() == 1 ? "" : "s") + (dated() ? "" : ", undated") + ">";
    }

  private:
    static py::str decoded(const std::string& s) {
        PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<py::ssize_t>(s.size()), "replace");
        if (o == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::str>(o);
    }

    // A time as numpy.datetime64 in ns (dated files) or float seconds.
    py::object time_object(double seconds) const {
        if (!dated()) return py::float_(seconds);
        return py::module_::import("numpy").attr("datetime64")(nanoseconds(seconds), "ns");
    }

    // `count` times, each a start and an offset from it, as datetime64[ns]
    // (dated files) or float64 seconds.
    template <class Time> py::array times_array(std::size_t count, Time time) const {
        const auto n = static_cast<py::ssize_t>(count);
        if (!dated()) {
            py::array_t<double> out(n);
            double* p = out.mutable_data();
            py::gil_scoped_release unlocked;
            for (std::size_t k = 0; k < count; ++k) {
                const auto [start, offset] = time(k);
                p[k] = start + offset;
            }
            return out;
        }
        py::array out(py::dtype("datetime64[ns]"), std::vector<py::ssize_t>{n});
        auto* p = static_cast<std::int64_t*>(out.mutable_data());
        py::gil_scoped_release unlocked;
        for (std::size_t k = 0; k < count; ++k) {
            const auto [start, offset] = time(k);
            const std::int64_t s = nanoseconds(start);
            p[k] = s == NAT || !std::isfinite(offset) ? NAT : s + std::llround(offset * 1e9);
        }
        return out;
    }

    Contents c_;
    py::str name_;
    py::array data_;
};

AvqFile read_file(const py::object& path) {
    py::module_ os = py::module_::import("os");
    const std::string fs_path = py::bytes(os.attr("fsencode")(path));
    const py::str name = os.attr("fsdecode")(path);
    std::string error;
    std::optional<Contents> contents;
    int open_errno = 0;
    {
        py::gil_scoped_release unlocked;
        try {
            contents = read_contents(fs_path);
        } catch (const OpenError& e) {
            open_errno = e.err;
        } catch (const std::bad_alloc&) {
            throw; // MemoryError, once the lock is back
        } catch (const std::exception& e) {
            error = e.what();
        }
    }
    if (open_errno != 0) {
        errno = open_errno;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
        throw py::error_already_set();
    }
    if (!contents) throw py::value_error(std::string(name) + ": " + error);
    return AvqFile(std::move(*contents), name);
}

// ---------------------------------------------------------------------------
// avq.write
// ---------------------------------------------------------------------------

// The block times the module writes lie from 1970-01-01 on (the ASCII form
// counts minutes since then and has no negative ones) and before 2^32 s
// (2106-02-07, beyond which Unix block times of the binary form wrap).
constexpr double LAST_TIME = 4294967296.0;
// Minute-of-day block times tell the day of a block only from the block
// before it: blocks a day or more apart cannot be told apart from blocks in
// one day.
constexpr double DAY = 86400.0;

// The rows of an (n, 3) array, as avq.write takes them: n rows at `base`,
// `row_stride` bytes apart, the channels `column_stride` bytes apart.
struct Rows {
    enum class Type { int16, float32, float64 };
    Type type = Type::float64;
    const char* base = nullptr;
    std::uint64_t n = 0;
    py::ssize_t row_stride = 0;
    py::ssize_t column_stride = 0;
};

// What avq.write writes: settled from its arguments with the interpreter's
// lock, written without it.
struct WriteJob {
    std::string path; // as the file system has it
    std::string header;
    avq::WriteOptions options; // the form and the block time form; scale 1
    double start = 0;          // the time of row 0, seconds since the epoch
    double fs = 0;
    bool force = false;
    Rows rows;
};

struct WriteOutcome {
    avq::OutputError error;
    bool refused = false;      // an existing file that holds no AVQ file
    std::uint64_t clipped = 0; // binary values saturated
};

template <class T>
void copy_columns(const Rows& r, std::uint64_t first, unsigned count,
                  double (&columns)[avq::CHANNELS][avq::SAMPLES]) {
    for (unsigned c = 0; c < avq::CHANNELS; ++c) {
        const char* p = r.base + static_cast<py::ssize_t>(first) * r.row_stride +
                        static_cast<py::ssize_t>(c) * r.column_stride;
        for (unsigned i = 0; i < count; ++i, p += r.row_stride) {
            T v; // numpy arrays need not be aligned
            std::memcpy(&v, p, sizeof v);
            columns[c][i] = static_cast<double>(v);
        }
    }
}

// Rows first to first + count - 1 into the columns of a block, the rest of it
// zeroes (as velkor completes a last block with --zero).
void block_columns(const Rows& r, std::uint64_t first,
                   double (&columns)[avq::CHANNELS][avq::SAMPLES]) {
    const auto count = static_cast<unsigned>(std::min<std::uint64_t>(r.n - first, avq::SAMPLES));
    switch (r.type) {
    case Rows::Type::int16:
        copy_columns<std::int16_t>(r, first, count, columns);
        break;
    case Rows::Type::float32:
        copy_columns<float>(r, first, count, columns);
        break;
    case Rows::Type::float64:
        copy_columns<double>(r, first, count, columns);
        break;
    }
    for (auto& column : columns)
        std::fill(column + count, column + avq::SAMPLES, 0.0);
}

WriteOutcome write_contents(const WriteJob& job) {
    WriteOutcome outcome;
    // An existing file that holds something else is not replaced unasked.
    if (!job.force && !avq::special_output_name(job.path.c_str()) &&
        avq::holds_other_than_avq(job.path.c_str())) {
        outcome.refused = true;
        return outcome;
    }
    const std::unique_ptr<avq::OutputFile> out =
        avq::OutputFile::open(job.path.c_str(), outcome.error);
    if (!out) return outcome;
    avq::Writer writer(out->buffer(), job.options);
    writer.header(job.header);
    double columns[avq::CHANNELS][avq::SAMPLES];
    for (std::uint64_t first = 0; first < job.rows.n && out->buffer().error() == 0;
         first += avq::SAMPLES) {
        block_columns(job.rows, first, columns);
        // Block k starts at row first = 512 k, at start + 512 k / fs.
        const double time = job.start + static_cast<double>(first) / job.fs;
        outcome.clipped += writer.block({time, {columns[0], columns[1], columns[2]}});
    }
    outcome.error = out->finish();
    return outcome;
}

// The rows of `data`, which must be an (n, 3) array of int16 or floating
// point numbers; other floating point types (and byte orders) are converted
// to float64 into `keep`, which must outlive the rows.
Rows data_rows(const py::object& data, py::array& keep) {
    keep = py::array::ensure(data);
    if (!keep) {
        PyErr_Clear();
        throw py::type_error("data must be a numpy array of shape (n, 3), not " +
                             std::string(py::str(py::type::handle_of(data).attr("__name__"))));
    }
    if (keep.ndim() != 2 || keep.shape(1) != avq::CHANNELS) {
        throw py::value_error("data must have shape (n, 3), one column per channel, not " +
                              std::string(py::str(keep.attr("shape"))));
    }
    const py::dtype type = keep.dtype();
    const bool native = type.attr("isnative").cast<bool>();
    Rows r;
    if (type.kind() == 'i' && type.itemsize() == 2 && native) {
        r.type = Rows::Type::int16;
    } else if (type.kind() == 'f' && type.itemsize() == 4 && native) {
        r.type = Rows::Type::float32;
    } else if (type.kind() == 'f') {
        if (type.itemsize() != 8 || !native) keep = keep.attr("astype")("float64");
        r.type = Rows::Type::float64;
    } else {
        throw py::value_error("data must hold int16 or floating point numbers, not " +
                              std::string(py::str(static_cast<const py::handle&>(type))) +
                              " (convert it with data.astype(numpy.int16) or "
                              "data.astype(numpy.float64))");
    }
    r.base = static_cast<const char*>(keep.data());
    r.n = static_cast<std::uint64_t>(keep.shape(0));
    r.row_stride = keep.strides(0);
    r.column_stride = keep.strides(1);
    return r;
}

// Whether `o` is a real number (a Python or numpy int or float, not a bool).
bool is_number(const py::object& o) {
    const py::module_ np = py::module_::import("numpy");
    return !py::isinstance<py::bool_>(o) &&
           (py::isinstance<py::int_>(o) || py::isinstance<py::float_>(o) ||
            py::isinstance(o, np.attr("integer")) || py::isinstance(o, np.attr("floating")));
}

// The number `o`, argument `name`, which is `what`.
double number(const py::object& o, const char* name, const char* what) {
    if (!is_number(o)) {
        throw py::type_error(std::string(name) + " must be a number, " + what + ", not " +
                             std::string(py::str(py::type::handle_of(o).attr("__name__"))));
    }
    return py::float_(o);
}

// `start` as seconds since 1970-01-01 UTC: a numpy.datetime64 of any unit, a
// datetime.datetime (naive ones taken as UTC), or a number of seconds.
double start_seconds(const py::object& start) {
    const py::module_ np = py::module_::import("numpy");
    const py::module_ dt = py::module_::import("datetime");
    const py::object utc = dt.attr("timezone").attr("utc");
    double seconds;
    if (py::isinstance(start, np.attr("datetime64"))) {
        const py::object since = start - np.attr("datetime64")(0, "s");
        seconds = py::float_(since / np.attr("timedelta64")(1, "s"));
    } else if (py::isinstance(start, dt.attr("datetime"))) {
        py::object aware = start;
        if (start.attr("utcoffset")().is_none())
            aware = start.attr("replace")(py::arg("tzinfo") = utc);
        const py::object epoch = dt.attr("datetime")(1970, 1, 1, py::arg("tzinfo") = utc);
        seconds = py::float_((aware - epoch) / dt.attr("timedelta")(py::arg("seconds") = 1));
    } else if (is_number(start)) {
        seconds = py::float_(start);
    } else {
        throw py::type_error("start must be a numpy.datetime64, a datetime.datetime or seconds "
                             "since 1970 (float), not " +
                             std::string(py::str(py::type::handle_of(start).attr("__name__"))));
    }
    if (!std::isfinite(seconds)) {
        throw py::value_error("start is not a time: " + std::string(py::repr(start)));
    }
    return seconds;
}

// The header avq.write writes: the one given, checked, or the one velkor
// builds. Sets the block time form that goes with it.
std::string settled_header(const py::object& given, WriteJob& job) {
    if (given.is_none()) {
        // The frequency in full where "%g" would round it: readers take the
        // header's frequency for the sample times.
        return avq::built_header({job.fs, "1", "x", job.start, false, true});
    }
    std::string h;
    if (py::isinstance<py::bytes>(given)) {
        h = given.cast<std::string>();
    } else if (py::isinstance<py::str>(given)) {
        h = py::bytes(given.attr("encode")("utf-8")).cast<std::string>();
    } else {
        throw py::type_error("header must be str, bytes or None, not " +
                             std::string(py::str(py::type::handle_of(given).attr("__name__"))));
    }
    if (h.empty() || h[0] != '!') throw py::value_error("header must begin with \"!\"");
    if (h.find_first_of("\r\n") != std::string::npos) {
        throw py::value_error("header holds a carriage return or line feed; it must be one line");
    }
    if (h.size() > avq::MAX_HEADER_BYTES) {
        throw py::value_error("header longer than " + std::to_string(avq::MAX_HEADER_BYTES) +
                              " bytes: readers would not find its end");
    }
    // The header tells readers how the block times are stored.
    job.options.unix_seconds = avq::header_mark(h) == avq::HeaderMark::unix_seconds;
    // Readers take the header's frequency and date for the sample times:
    // they must be those of the data. A frequency as "%g" writes fs is
    // taken as fs.
    const double sampfrek = avq::header_sampfrek(h);
    char written[64], given_text[64];
    std::snprintf(written, sizeof written, "%g", job.fs);
    std::snprintf(given_text, sizeof given_text, "%g", sampfrek);
    if (sampfrek > 0 && sampfrek != job.fs && std::strcmp(written, given_text) != 0) {
        throw py::value_error("the header's sampfrek " + std::string(given_text) + " is not fs, " +
                              written);
    }
    const std::optional<std::int64_t> date = avq::header_date(h);
    const double first = std::floor(avq::stored_block_time(job.start));
    const double midnight = std::floor(first / DAY) * DAY;
    if (job.options.form == avq::Form::binary && !job.options.unix_seconds && date &&
        static_cast<double>(*date) != midnight) {
        throw py::value_error("the header's date " + avq::utc_text(*date, "%Y-%m-%d") +
                              " is not the date of start, " +
                              avq::utc_text(static_cast<std::int64_t>(midnight), "%Y-%m-%d") +
                              " (binary block times are minutes of that day)");
    }
    return h;
}

void write_file(const py::object& path, const py::object& data, const py::object& start,
                const py::object& rate, bool ascii, const py::object& header, bool force) {
    py::module_ os = py::module_::import("os");
    const py::str name = os.attr("fsdecode")(path);
    WriteJob job;
    job.path = py::bytes(os.attr("fsencode")(path));
    // A Python program's "-" is a file of that name, not standard output.
    if (job.path == "-") job.path = "./-";
    job.force = force;
    job.options.form = ascii ? avq::Form::ascii : avq::Form::binary;
    py::array keep;
    job.rows = data_rows(data, keep);
    job.start = start_seconds(start);
    const double fs = number(rate, "fs", "the sampling frequency in Hz");
    if (!(fs > 0) || !std::isfinite(fs)) {
        throw py::value_error("fs must be a positive finite number of samples per second, not " +
                              std::string(py::repr(py::float_(fs))));
    }
    job.fs = fs;
    const std::uint64_t blocks = (job.rows.n + avq::SAMPLES - 1) / avq::SAMPLES;
    const double last =
        job.start + static_cast<double>(blocks > 0 ? blocks - 1 : 0) * avq::SAMPLES / fs;
    if (job.start < 0 || !(last < LAST_TIME)) {
        throw py::value_error("the block times must lie from 1970-01-01 to 2106-02-07 (" +
                              std::to_string(blocks) + " blocks from " +
                              avq::utc_text_hundredths(job.start) + " at " +
                              std::string(py::repr(py::float_(fs))) + " Hz)");
    }
    job.header = settled_header(header, job);
    if (blocks > 1 && job.options.form == avq::Form::binary && !job.options.unix_seconds &&
        !(avq::SAMPLES / fs < DAY)) {
        throw py::value_error("fs must be above 512/86400 Hz for binary block times, which are "
                              "minutes of the day: blocks of 512 samples a day or more apart "
                              "could not be told apart");
    }

    WriteOutcome outcome;
    {
        py::gil_scoped_release unlocked;
        outcome = write_contents(job);
    }
    if (outcome.refused) {
        const py::object error =
            py::module_::import("builtins")
                .attr("FileExistsError")(EEXIST,
                                         "File exists and is not an AVQ file; it is left as it is "
                                         "(force=True replaces it)",
                                         name);
        PyErr_SetObject(PyExc_FileExistsError, error.ptr());
        throw py::error_already_set();
    }
    if (outcome.error) {
        errno = outcome.error.error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
        throw py::error_already_set();
    }
    if (outcome.clipped > 0 &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "%llu values beyond the 16-bit range were stored as -32768 or 32767 in %U",
                         static_cast<unsigned long long>(outcome.clipped), name.ptr()) != 0) {
        throw py::error_already_set();
    }
}

} // namespace

PYBIND11_MODULE(avq, m) {
    m.doc() = R"(AVQ infrasound files in numpy arrays.

An AVQ file holds a one-line header comment and blocks of 512 samples of
three channels, as 16-bit binary records or as ASCII text; it stores one time
per block. avq.read() reads either form, checks it strictly (as avqdump does)
and gives the samples as one (n, 3) array with the time of every sample:

    >>> f = avq.read("day.avq")
    >>> f.fs, f.start, f.data.shape
    (20.0, numpy.datetime64('2026-01-02T00:00:00.000000000'), (2560, 3))
    >>> t = f.times()          # datetime64[ns], one per row of f.data

avq.write() writes an (n, 3) array as an AVQ file of either form, as velkor
writes one, and avq.read() gives it back:

    >>> avq.write("new.avq", f.data, f.start, f.fs)

Sample times follow the file's runs: within a run of blocks whose block times
agree with the sampling frequency, sample i of the run is at start + i / fs,
without jumps at block boundaries; a gap, a jump back or a new day begins a
new run. A file whose block times are minutes of the day and whose header
holds no date is undated: its times are float seconds from the midnight of
its first block's day.

Built from libavq, the library of velkor and avqdump; see avqdump(1) for the
rules of the sample times.)";

    py::module_ collections = py::module_::import("collections");
    py::object run = collections.attr("namedtuple")("Run", "first_block blocks start");
    run.attr("__doc__") = "A run of blocks on one timeline: the index of its first block, its "
                          "number of blocks, and the time of its first sample (numpy.datetime64 "
                          "in ns, or float seconds for an undated file; NaT or nan when unknown).";
    run.attr("__module__") = "avq";
    m.attr("Run") = run;

    py::class_<AvqFile>(m, "AvqFile", "The contents of one AVQ file, as avq.read() returns them.")
        .def_property_readonly("header", &AvqFile::header,
                               "The header comment (str); bytes that are not UTF-8 appear as "
                               "U+FFFD. header_bytes holds it as stored.")
        .def_property_readonly("header_bytes", &AvqFile::header_bytes,
                               "The header comment as stored (bytes).")
        .def_property_readonly("form", &AvqFile::form, "\"binary\" or \"ascii\".")
        .def_property_readonly("fs", &AvqFile::fs,
                               "The sampling frequency in Hz (float): the header's sampfrek, else "
                               "fitted to the block times; nan when it cannot be known.")
        .def_property_readonly("fs_from", &AvqFile::fs_from,
                               "Where fs comes from: \"header\", \"block_times\" (fitted), or "
                               "None (unknown).")
        .def_property_readonly("dated", &AvqFile::dated,
                               "False for a file whose block times are minutes of the day and "
                               "whose header holds no date.")
        .def_property_readonly("start", &AvqFile::start,
                               "The time of the first sample as numpy.datetime64 in ns; None "
                               "when the file is undated or holds no sample.")
        .def_property_readonly("data", &AvqFile::data,
                               "The samples, an array of shape (n, 3), one column per channel: "
                               "int16 as stored in the binary form, float64 in the ASCII form.")
        .def_property_readonly("block_times", &AvqFile::block_times,
                               "The time of each block as stored (binary: truncated to the "
                               "second), datetime64[ns], or float seconds when undated; NaT or "
                               "nan where a block time is no time.")
        .def_property_readonly("runs", &AvqFile::runs,
                               "The runs of the file's timeline, a list of avq.Run.")
        .def("times", &AvqFile::times,
             "The time of every row of data: datetime64[ns], or float64 seconds from the "
             "midnight of the first block's day when the file is undated. NaT or nan where no "
             "time can be known.")
        .def("__repr__", &AvqFile::repr);

    m.def("read", &read_file, py::arg("path"),
          R"(Reads the AVQ file at path (str, bytes or os.PathLike), in either form.

Returns an AvqFile with header, form, fs, start, data, block_times, runs and
times(). Raises ValueError, with the file's name and what is wrong, for a file
that is not a whole, well-formed AVQ file, and OSError when it cannot be
opened.)");

    m.def("write", &write_file, py::arg("path"), py::arg("data"), py::arg("start"), py::arg("fs"),
          py::arg("ascii") = false, py::arg("header") = py::none(), py::arg("force") = false,
          R"(Writes an AVQ file at path (str, bytes or os.PathLike), as velkor writes one.

data is an array of shape (n, 3), one column per channel, of int16 or
floating point numbers. Block k holds rows 512 k to 512 k + 511 and has the
time start + k * 512 / fs; a last block of fewer rows is completed with
zeroes (as velkor's --zero does).

start is the time of row 0: a numpy.datetime64 of any unit, a
datetime.datetime (a naive one is taken as UTC, an aware one converted), or
seconds since 1970-01-01 UTC as a number. fs is the sampling frequency in Hz,
a positive finite number.

Binary form (the default): each value is stored as a 16-bit number, truncated
toward zero and saturated at -32768 and 32767, NaN as 0 (no scale); a
RuntimeWarning counts the values saturated. Block times are stored in whole
seconds, as the minute of the UTC day and the second ("!S"), so that
avq.read() gives the start to the second: exactly for a start on a whole
second, else at most 1 s early.
ASCII form (ascii=True): each value as float64, written with 14 significant
digits (printf "%.14g"); block times as minutes since 1970 and seconds with
their fraction.

header=None writes the header velkor builds: "!S512Tidserier sampfrek: 20
gain: 1 station: x date: 2026-01-02 time: 00:00:00" with fs (in full where
six digits would round it) and the date and second of start. A header given
(str, written as UTF-8, or bytes) is written as it is: one line that begins
with "!"; if it begins with "!U" the block times are stored as Unix seconds.
Its sampfrek, when it has one, must be fs, and in the binary form its date
the date of start, since readers take both for the sample times.

The file is written to a temporary file beside path and renamed over it once
whole: a failure leaves any earlier file as it was. An existing file that is
not empty and holds no AVQ file is not replaced (FileExistsError) unless
force=True, as velkor needs --force for it. The block times must lie from
1970-01-01 to 2106-02-07.

Raises ValueError for bad arguments (shape, dtype, fs, start, header),
TypeError for arguments of the wrong type, and OSError, with errno and the
file's name, when the file cannot be written.)");
}
