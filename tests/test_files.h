// A fresh temporary directory for one test, removed with everything in it
// when the test's fixture goes away.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

class TempDir {
  public:
    explicit TempDir(const std::string& prefix) {
        std::string templ = "/tmp/" + prefix + "-XXXXXX";
        if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = templ;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }

    // Writes `contents` to the file `name` in the directory; returns its path.
    std::string write(const std::string& name, const std::string& contents) const {
        const std::string p = path_ + "/" + name;
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out << contents;
        if (!out) throw std::runtime_error("cannot write " + p);
        return p;
    }

  private:
    std::string path_;
};
