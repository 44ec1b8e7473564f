// avq_first_samples: prints the header and the first samples of an AVQ file,
// in either form, with libavq, the library that velkor and avqdump use; with
// --write it first writes a small file of its own with the library's writer.
//
//   c++ -o avq_first_samples avq_first_samples.cpp $(pkg-config --cflags --libs avq)
//   ./avq_first_samples day.avq 5
//   ./avq_first_samples --write ramp.avq 5
//
// The file written is one block of 512 rows sampled 20 times a second from
// 2026-01-02T00:00:00Z: a ramp on channel 1, half of it negated on channel 2
// and a ramp 1000 times as steep on channel 3, which the binary form clips at
// 32767.
//
// Output: the form, the header comment, the sample times of the whole file
// (the runs, the sampling frequency and the first sample's time, from
// <avq/timeline.h>), the first block's time fields as stored (and their UTC
// time where the header marks Unix seconds), then one line per sample,
// "sample ch1 ch2 ch3", with the values as stored. Exit status 1 when the
// file cannot be opened or is not a valid AVQ file.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <avq/avq.h>
#include <avq/output.h>
#include <avq/reader.h>
#include <avq/timeline.h>
#include <avq/writer.h>

namespace {

void print_block_time(const avq::Reader& reader, const avq::Block& b) {
    if (reader.form() == avq::Form::ascii) {
        std::printf("block time: %s %s\n", std::string(b.fields[0][0]).c_str(),
                    std::string(b.fields[0][1]).c_str());
        return;
    }
    std::printf("block time: %u %u", b.time.word0, b.time.word1);
    if (avq::header_mark(reader.header()) == avq::HeaderMark::unix_seconds)
        std::printf(" (%s)", avq::iso_utc(avq::header_value(b.time)).c_str());
    std::printf("\n");
}

void print_times(const avq::Timeline& t) {
    std::printf("sample times: %zu run%s", t.runs().size(), t.runs().size() == 1 ? "" : "s");
    if (t.fs_source() != avq::FrequencySource::unknown)
        std::printf(" at %g samples per second", t.fs());
    if (t.blocks() > 0 && t.dated()) std::printf(" from %s", avq::iso_utc(t.start()).c_str());
    if (t.blocks() > 0 && !t.dated()) std::printf(" from %g s after midnight (no date)", t.start());
    std::printf("\n");
}

void print_sample(const avq::Reader& reader, const avq::Block& b, unsigned j) {
    std::printf("%u", j);
    for (unsigned c = 0; c < avq::CHANNELS; ++c) {
        if (reader.form() == avq::Form::binary) {
            std::printf(" %d", b.samples[c][j]);
        } else {
            std::printf(" %s", std::string(b.fields[c][j + 2]).c_str());
        }
    }
    std::printf("\n");
}

// Writes the example file `name` (see above); false, with a message, when
// it cannot be written.
bool write_ramp(const char* program, const char* name) {
    static double ch[avq::CHANNELS][avq::SAMPLES];
    for (unsigned j = 0; j < avq::SAMPLES; ++j) {
        ch[0][j] = j;
        ch[1][j] = -0.5 * j;
        ch[2][j] = 1000.0 * j;
    }
    const double start = 1767312000.0, fs = 20;
    avq::OutputError e;
    const auto out = avq::OutputFile::open(name, e);
    if (out != nullptr) {
        avq::Writer writer(out->buffer(), avq::WriteOptions{});
        writer.header(avq::built_header({fs, "1", "example", start}));
        const unsigned clipped = writer.block({start, {ch[0], ch[1], ch[2]}});
        std::fprintf(stderr, "%s: %u values clipped\n", name, clipped);
        e = out->finish();
    }
    if (e) std::fprintf(stderr, "%s: cannot write %s\n", program, name);
    return !e;
}

} // namespace

int main(int argc, char** argv) {
    const bool write = argc > 1 && std::string(argv[1]) == "--write";
    if (write) {
        --argc;
        ++argv;
    }
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s [--write] FILE.avq [SAMPLES]\n", argv[0]);
        return 1;
    }
    if (write && !write_ramp(argv[0], argv[1])) return 1;
    const unsigned long wanted = argc == 3 ? std::strtoul(argv[2], nullptr, 10) : 10;
    const unsigned shown = wanted < avq::SAMPLES ? static_cast<unsigned>(wanted) : avq::SAMPLES;
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot open %s\n", argv[0], argv[1]);
        return 1;
    }
    try {
        // The sample times need the block times of the whole file, so the
        // file is read (and checked) whole before anything is printed, and
        // then again from the start for its first block.
        avq::Reader whole(in);
        const avq::Timeline timeline = avq::read_timeline(whole);
        in.clear();
        in.seekg(0);
        avq::Reader reader(in);
        avq::Block block;
        const bool any = reader.next(block);
        std::printf("form: %s\n", reader.form() == avq::Form::binary ? "binary" : "ASCII");
        std::printf("header: %s\n", reader.header().c_str());
        print_times(timeline);
        if (!any) {
            std::printf("no blocks\n");
            return 0;
        }
        print_block_time(reader, block);
        for (unsigned j = 0; j < shown; ++j)
            print_sample(reader, block, j);
    } catch (const avq::FormatError& e) {
        std::fprintf(stderr, "%s: %s: %s\n", argv[0], argv[1], e.what());
        return 1;
    }
    return 0;
}
