// Shared helpers of the fuzz targets: temporary directories and files,
// splitting one fuzzed input into several files, and quieting the
// converter's warnings on standard error.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// Thrown by the fuzz build's fatal() (fatal_throw.cpp) in place of exiting.
struct FatalError {
    std::string message;
};

// Stops the run with a message: a fuzz target's finding.
[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "FUZZ FINDING: %s\n%s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void check(bool ok, const char* what, const std::string& detail = {}) {
    if (!ok) fail(what, detail);
}

// A directory of its own under TMPDIR (or /tmp) for the process's files.
inline std::string make_temp_dir(const char* tag) {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + tag + "-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) fail("cannot create a temporary directory", tmpl);
    return tmpl;
}

inline void write_file(const std::string& path, std::string_view bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) fail("cannot write a temporary file", path);
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        fail("cannot write a temporary file", path);
    }
    if (std::fclose(f) != 0) fail("cannot close a temporary file", path);
}

inline std::optional<std::string> read_file(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return std::nullopt;
    std::string s;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    std::fclose(f);
    return s;
}

// Names in the directory, "." and ".." left out.
inline std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return names;
    while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    return names;
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

} // namespace fuzz
