// Files and directories for the unit tests, the end-to-end tests and the
// fuzz targets: a fresh temporary directory (removed with everything in it),
// reading and writing whole files, listing a directory. Failures throw
// std::runtime_error: a test that cannot set up its files errs, and a fuzz
// target stops.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace testfiles {

// A new directory "TAG-XXXXXX" under TMPDIR (or /tmp).
inline std::string make_temp_dir(const std::string& tag) {
    const char* base = std::getenv("TMPDIR");
    std::string templ =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + tag + "-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + templ);
    return templ;
}

// Removes `dir` and everything in it, after giving back the owner's
// permissions that a test may have taken away.
inline void remove_tree(const std::string& dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (auto& entry : fs::recursive_directory_iterator(dir, ec)) {
        fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(dir, ec);
}

// The bytes of the file, or nothing when it cannot be opened.
inline std::optional<std::string> try_read_file(const std::string& path) {
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

inline std::string read_file(const std::string& path) {
    std::optional<std::string> s = try_read_file(path);
    if (!s) throw std::runtime_error("cannot read " + path);
    return *std::move(s);
}

// Creates or replaces the file with `bytes`.
inline void write_file(const std::string& path, std::string_view bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    bool ok = f != nullptr;
    if (ok && !bytes.empty()) ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f != nullptr && std::fclose(f) != 0) ok = false;
    if (!ok) throw std::runtime_error("cannot write " + path);
}

// Whether the path names anything, a dangling symbolic link included.
inline bool file_exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The names in the directory, sorted; "." and ".." left out.
inline std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A fresh temporary directory for one test, removed with everything in it
// when the test's fixture goes away.
class TempDir {
  public:
    explicit TempDir(const std::string& tag) : path_(make_temp_dir(tag)) {}
    ~TempDir() { remove_tree(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }

    // Writes `contents` to the file `name` in the directory; returns its path.
    std::string write(const std::string& name, std::string_view contents) const {
        const std::string p = path_ + "/" + name;
        write_file(p, contents);
        return p;
    }

  private:
    std::string path_;
};

} // namespace testfiles
