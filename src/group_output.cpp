// The output file of a group: see group_output.h.
#include "group_output.h"

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
    blocks_at_ = first_header.size();
    // The header goes in place of none at the start of the empty file. A
    // failure here shows again where the header is rewritten.
    std::uint64_t failed_at = 0;
    file_->rewrite_start(0, first_header, 0, failed_at);
}

Error GroupOutput::write_error(int error) const {
    if (spool_ == nullptr || error == ENOMEM) return failure({avq::OutputStep::write, error});
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
        error = file_->rewrite_start(blocks_at_, header, blocks_at_ + blocks, at);
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
