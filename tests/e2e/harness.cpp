// End-to-end test harness: see harness.h.
#include "harness.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>

namespace e2e {

namespace {

std::string slurp_fd(int fd) {
    std::string s;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            s.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return s;
}

int temp_fd() {
    char name[] = "/tmp/velkor-e2e-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    ::unlink(name);
    return fd;
}

} // namespace

pid_t start_program(const std::string& program, const std::vector<std::string>& args,
                    const std::string& dir, int out_fd, int err_fd,
                    const std::function<void()>& prepare, const std::string& argv0) {
    std::vector<std::string> argv_s;
    argv_s.push_back(argv0.empty() ? program : argv0);
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv_p;
    for (std::string& a : argv_s)
        argv_p.push_back(a.data());
    argv_p.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int null_fd = ::open("/dev/null", O_RDONLY);
        ::dup2(null_fd, 0);
        ::dup2(out_fd, 1);
        ::dup2(err_fd, 2);
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        if (prepare) prepare();
        ::execv(program.c_str(), argv_p.data());
        ::_exit(127);
    }
    return pid;
}

namespace {

// Runs the program with standard output on `out_fd` and standard error on a
// temporary file; fills in the status and standard error.
Result spawn(const std::string& program, const std::vector<std::string>& args,
             const std::string& dir, const std::vector<std::string>& env, const std::string& argv0,
             int out_fd) {
    const int err_fd = temp_fd();
    const auto prepare = [&env] {
        std::signal(SIGPIPE, SIG_DFL);
        for (const std::string& e : env) {
            const auto eq = e.find('=');
            if (eq == e.size() - 1) {
                ::unsetenv(e.substr(0, eq).c_str());
            } else {
                ::setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
            }
        }
    };
    const pid_t pid = start_program(program, args, dir, out_fd, err_fd, prepare, argv0);
    int wstatus = 0;
    struct rusage usage {};
    while (::wait4(pid, &wstatus, 0, &usage) < 0 && errno == EINTR) {
    }
    Result r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.peak_kib = usage.ru_maxrss;
    ::lseek(err_fd, 0, SEEK_SET);
    r.err = slurp_fd(err_fd);
    ::close(err_fd);
    return r;
}

} // namespace

Result run_program(const std::string& program, const std::vector<std::string>& args,
                   const std::string& dir, const std::vector<std::string>& env,
                   const std::string& argv0) {
    // Output goes to temporary files, not pipes, so that large outputs cannot
    // dead-lock the child against the parent.
    const int out_fd = temp_fd();
    Result r = spawn(program, args, dir, env, argv0, out_fd);
    ::lseek(out_fd, 0, SEEK_SET);
    r.out = slurp_fd(out_fd);
    ::close(out_fd);
    return r;
}

Result run_with_closed_stdout(const std::string& program, const std::vector<std::string>& args,
                              const std::string& dir) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    ::close(fds[0]);
    Result r = spawn(program, args, dir, {}, "", fds[1]);
    ::close(fds[1]);
    return r;
}

Result run_on_terminal(const std::string& program, const std::vector<std::string>& args,
                       const std::string& dir) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) throw std::runtime_error("cannot open the pseudo-terminal");
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    // Read while the program writes: a terminal holds only a few KiB. The
    // reading ends (EIO) once no one holds the terminal open.
    std::string out;
    std::thread reader([&out, master] { out = slurp_fd(master); });
    Result r = spawn(program, args, dir, {}, "", slave);
    ::close(slave);
    reader.join();
    ::close(master);
    r.out = out;
    return r;
}

std::string source_path(const std::string& relative) {
    return std::string(VELKOR_SOURCE_DIR) + "/" + relative;
}

void VelkorTest::SetUp() {
    dir_ = testfiles::make_temp_dir("velkor-e2e");
}

void VelkorTest::TearDown() {
    testfiles::remove_tree(dir_);
}

Result VelkorTest::velkor(const std::vector<std::string>& args,
                          const std::vector<std::string>& env) {
    return run_program(VELKOR_BIN, args, dir_, env);
}

Result VelkorTest::shell(const std::string& line, const std::vector<std::string>& args,
                         const std::string& program) {
    std::vector<std::string> argv = {"-c", line, program};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program("/bin/sh", argv, dir_);
}

} // namespace e2e
