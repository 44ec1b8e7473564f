// Output files of both writers: see output_file.h.
#include "output_file.h"

#include <cstring>
#include <utility>

#include "fatal.h"

OutputFile::OutputFile(const char* name) {
    avq::OutputError e;
    file_ = avq::OutputFile::open(name, e);
    if (e.step == avq::OutputStep::write) {
        fatal("Error writing file %s: %s\n", name, std::strerror(e.error));
    }
    if (e) fatal("Can't open output file %s: %s\n", name, std::strerror(e.error));
}

std::unique_ptr<OutputFile> OutputFile::replacing(const char* name) {
    std::unique_ptr<avq::OutputFile> file = avq::OutputFile::replacing(name);
    if (file == nullptr) return nullptr;
    return std::unique_ptr<OutputFile>(new OutputFile(std::move(file)));
}

void OutputFile::fail(int error) {
    file_->abandon();
    fatal("Error writing file %s: %s\n", file_->name().c_str(), std::strerror(error));
}

void OutputFile::finish() {
    if (const avq::OutputError e = file_->finish())
        fatal("Error writing file %s: %s\n", file_->name().c_str(), std::strerror(e.error));
}
