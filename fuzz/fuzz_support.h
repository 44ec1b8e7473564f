// Shared helpers of the fuzz targets: splitting one fuzzed input into
// several files, and quieting the converter's warnings on standard error.
// Files and directories come from the tests' helpers (test_files.h).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "../tests/test_files.h"

namespace fuzz {

using testfiles::make_temp_dir;
using testfiles::try_read_file;
using testfiles::write_file;

// Stops the run with a message: a fuzz target's finding.
[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "FUZZ FINDING: %s\n%s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void check(bool ok, const char* what, const std::string& detail = {}) {
    if (!ok) fail(what, detail);
}

// Splits `data` at each occurrence of `sep` into at most `parts` pieces (the
// last piece keeps any further separators); missing pieces are empty.
inline std::vector<std::string> split(std::string_view data, std::string_view sep,
                                      std::size_t parts) {
    std::vector<std::string> out;
    while (out.size() + 1 < parts) {
        const std::size_t at = data.find(sep);
        if (at == std::string_view::npos) break;
        out.emplace_back(data.substr(0, at));
        data.remove_prefix(at + sep.size());
    }
    out.emplace_back(data);
    out.resize(parts);
    return out;
}

// Sends what the code under test writes to the C stream stderr to
// /dev/null while it lives. Sanitizer reports (written to file descriptor 2)
// and libFuzzer's own output (its own copy of the stream) still get through.
class QuietStderr {
  public:
    QuietStderr() {
        static std::FILE* devnull = std::fopen("/dev/null", "w");
        if (devnull != nullptr && std::getenv("FUZZ_VERBOSE") == nullptr) {
            std::fflush(stderr);
            stderr = devnull;
        }
    }
    ~QuietStderr() {
        std::fflush(stderr);
        stderr = saved_;
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

  private:
    std::FILE* saved_ = stderr;
};

// Collects what the code under test writes to the C stream stderr while it
// lives, in place of writing it.
class CapturedStderr {
  public:
    CapturedStderr() : file_(std::tmpfile()) {
        std::fflush(stderr);
        if (file_ != nullptr) stderr = file_;
    }
    ~CapturedStderr() {
        stderr = saved_;
        if (file_ != nullptr) std::fclose(file_);
    }
    CapturedStderr(const CapturedStderr&) = delete;
    CapturedStderr& operator=(const CapturedStderr&) = delete;

    // What was written so far.
    std::string text() {
        std::string s;
        if (file_ == nullptr) return s;
        std::fflush(file_);
        std::rewind(file_);
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0)
            s.append(buf, n);
        return s;
    }

  private:
    std::FILE* saved_ = stderr;
    std::FILE* file_;
};

} // namespace fuzz
