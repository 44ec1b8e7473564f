// The Python module avq: AVQ infrasound files read into numpy arrays, with
// the times of libavq's timeline (<avq/timeline.h>) and the checks of its
// reader (<avq/reader.h>).
//
// A file's samples go straight into one (n, 3) array: binary records, read
// and checked by the reader a batch at a time, are decoded into its rows;
// ASCII blocks are parsed by the reader and their values copied in. The
// array's memory is mapped for it alone: reserved at once for the most
// blocks the file's size allows (virtual, until written), grown by
// remapping when the size is not known, and handed to numpy as the array's
// base. No sample is copied twice, no Python object is made per sample, and
// the interpreter's lock is released while the file is read.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <avq/reader.h>
#include <avq/timeline.h>

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
            timeline.add(avq::TimeHeader{avq::get_le16(rec), avq::get_le16(rec + 2)});
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
        char fs[64] = "unknown frequency";
        if (std::isfinite(fs_value())) std::snprintf(fs, sizeof fs, "%g Hz", fs_value());
        return "<avq file " + std::string(py::repr(name_)) + ": " + form() + ", " +
               std::to_string(c_.blocks * avq::SAMPLES) + " samples per channel at " + fs + ", " +
               std::to_string(c_.timeline.runs().size()) + " run" +
               (c_.timeline.runs().size() == 1 ? "" : "s") + (dated() ? "" : ", undated") + ">";
    }

  private:
    double fs_value() const { return c_.timeline.fs(); }

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
}
