// The output file of a group: see group_output.h.
#include "group_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "strformat.h"

Status GroupOutput::open(const char* name, std::unique_ptr<GroupOutput>& out) {
    out.reset(new GroupOutput());
    out->name_ = name;
    out->file_ = avq::OutputFile::replacing(name);
    if (out->file_ != nullptr) return {};
    int error = 0;
    out->spool_ = avq::Spool::make(error);
    if (out->spool_ != nullptr) return {};
    return Error{strformat("Can't make a temporary file in %s for %s: %s\n",
                           avq::Spool::directory_for().c_str(), name, std::strerror(error))};
}

int GroupOutput::descriptor() const {
    return spool_ != nullptr ? spool_->descriptor() : file_->descriptor();
}

void GroupOutput::begin(const std::string& first_header) {
    if (spool_ != nullptr) return;
    first_header_ = first_header;
    blocks_at_ = first_header.size();
    // A failure here shows again where the header is rewritten.
    for (std::size_t done = 0; done < first_header.size();) {
        const ssize_t n = ::pwrite(file_->descriptor(), first_header.data() + done,
                                   first_header.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
}

Error GroupOutput::write_error(int error) const {
    if (error == ENOMEM) return Error{strformat("Out of memory writing file %s\n", name_.c_str())};
    if (spool_ == nullptr) return failure({avq::OutputStep::write, error});
    return Error{strformat("Error writing a temporary file in %s for %s: %s\n",
                           spool_->directory().c_str(), name_.c_str(), std::strerror(error))};
}

Error GroupOutput::failure(const avq::OutputError& e) const {
    if (e.error == ENOMEM)
        return Error{strformat("Out of memory writing file %s\n", name_.c_str())};
    const char* what =
        e.step == avq::OutputStep::open ? "Can't open output file" : "Error writing file";
    return Error{strformat("%s %s: %s\n", what, name_.c_str(), std::strerror(e.error))};
}

Status GroupOutput::settle(const std::string& header, std::uint64_t blocks,
                           std::int64_t& failed_at) {
    std::uint64_t at = 0;
    int error = 0;
    failed_at = -1;
    if (spool_ == nullptr) {
        error =
            file_->rewrite_start(first_header_.size(), header, first_header_.size() + blocks, at);
        if (error != 0) file_->abandon();
    } else {
        avq::OutputError e;
        file_ = avq::OutputFile::open(name_.c_str(), e);
        if (e) return failure(e);
        file_->write(header.data(), header.size());
        error = file_->append_from(spool_->descriptor(), 0, blocks, at);
    }
    if (error == 0) return {};
    if (at >= header.size()) failed_at = static_cast<std::int64_t>(at - header.size());
    return failure({avq::OutputStep::write, error});
}

Status GroupOutput::finish() {
    spool_.reset();
    if (const avq::OutputError e = file_->finish()) return failure(e);
    return {};
}
