// End-to-end test harness: runs the built velkor binary in a fresh temporary
// directory (it writes "logfile" into its working directory) and captures
// its standard output, standard error and exit status.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "../test_files.h"

namespace e2e {

using testfiles::file_exists;
using testfiles::read_file;
using testfiles::write_file;

struct Result {
    int status = -1; // exit status, or 128 + signal number
    std::string out; // standard output
    std::string err; // standard error
    // The child's maximum resident set size: the program's, but never below
    // the test process's own at the fork (Linux counts the pages it shared).
    long peak_kib = -1;
};

// Runs `program` with `args` (argv[0] is `program` unless `argv0` is given)
// in directory `dir`, with the environment of the test plus `env` entries
// ("NAME=value"; "NAME=" alone removes NAME).
Result run_program(const std::string& program, const std::vector<std::string>& args,
                   const std::string& dir, const std::vector<std::string>& env = {},
                   const std::string& argv0 = "");

// Starts `program` as run_program does, with standard output on `out_fd`
// and standard error on `err_fd`, and returns at once with its process id;
// `prepare` runs in the child just before the program is executed.
pid_t start_program(const std::string& program, const std::vector<std::string>& args,
                    const std::string& dir, int out_fd, int err_fd,
                    const std::function<void()>& prepare = {}, const std::string& argv0 = "");

// As run_program, but standard output is a pipe whose reader has gone (as
// after "velkor ... | head -1" ended), and SIGPIPE has its default action;
// Result::out stays empty.
Result run_with_closed_stdout(const std::string& program, const std::vector<std::string>& args,
                              const std::string& dir);

// As run_program, but standard output is a terminal (a pseudo-terminal
// that passes bytes unchanged); Result::out holds what arrived on it.
Result run_on_terminal(const std::string& program, const std::vector<std::string>& args,
                       const std::string& dir);

// The path of a file under the source tree's directory, such as "tests/data/x".
std::string source_path(const std::string& relative);

// A fixture that gives each test its own empty working directory.
class VelkorTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Runs velkor in the test's directory.
    Result velkor(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
    // Runs the shell command `line` in the test's directory with `program`
    // (velkor unless named) as $0 and `args` as $1, $2...
    Result shell(const std::string& line, const std::vector<std::string>& args = {},
                 const std::string& program = VELKOR_BIN);
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    void write(const std::string& name, const std::string& contents) {
        write_file(path(name), contents);
    }
    std::string read(const std::string& name) const { return read_file(path(name)); }
    bool exists(const std::string& name) const { return file_exists(path(name)); }
    const std::string& dir() const { return dir_; }

  private:
    std::string dir_;
};

} // namespace e2e
