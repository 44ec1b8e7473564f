// Fuzz target: the invocation log line writer.
//
// The input after byte 0 is split at zero bytes into the argument vector
// (every piece an argument, so empty ones too). Byte 0 makes allocations
// fail: its low three bits n make the n-th allocation fail (0: none), bit 3
// makes every later one fail as well. The line appended to the log must be
// the stamp (one line of at most 29 characters) followed by each argument in
// its form: unchanged when it holds none of " ,*"; "--name=" and the quoted
// value when it begins with two hyphens and holds an equals sign; else
// quoted whole, with a backslash before each double quote and backslash.
// Only when the line itself cannot be allocated is nothing written.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "argutil.h"
#include "argutil_internal.h"
#include "fuzz_support.h"

namespace {

const std::string dir = fuzz::make_temp_dir("velkor-fuzz-logline");
const std::string log_name = dir + "/logfile";

int calls = 0;
int fail_at = 0;
bool fail_after = false;

void* failing_alloc(std::size_t size) {
    ++calls;
    if (fail_at != 0 && (calls == fail_at || (fail_after && calls > fail_at))) return nullptr;
    return std::malloc(size);
}

std::string quoted(const std::string& s) {
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

std::string expected_entry(const std::string& e) {
    if (e.find_first_of(" ,*") == std::string::npos) return " " + e;
    const std::size_t eq = e.find('=');
    if (e.rfind("--", 0) == 0 && eq != std::string::npos) {
        return " " + e.substr(0, eq + 1) + quoted(e.substr(eq + 1));
    }
    return " " + quoted(e);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    fail_at = data[0] & 7;
    fail_after = (data[0] & 8) != 0;
    calls = 0;

    std::vector<std::string> args;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (!rest.empty()) {
        std::size_t from = 0;
        for (;;) {
            const std::size_t z = rest.find('\0', from);
            args.emplace_back(
                rest.substr(from, z == std::string_view::npos ? rest.npos : z - from));
            if (z == std::string_view::npos) break;
            from = z + 1;
        }
    }
    std::vector<const char*> argv;
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);

    ::unlink(log_name.c_str());
    argutil_internal::log_hooks hooks;
    hooks.alloc = failing_alloc;
    {
        fuzz::QuietStderr quiet; // "No logfile entry"
        argutil_internal::flogfile_hooked(log_name.c_str(), static_cast<int>(args.size()),
                                          argv.data(), hooks);
    }

    const auto written = fuzz::try_read_file(log_name);
    if (fail_at == 1) {
        // The line itself could not be allocated.
        fuzz::check(!written.has_value(), "a log entry was written without memory for it");
        return 0;
    }
    fuzz::check(written.has_value(), "no log file written");
    std::string tail;
    for (const std::string& a : args)
        tail += expected_entry(a);
    tail += '\n';
    const std::string& line = *written;
    fuzz::check(line.size() >= tail.size() &&
                    line.compare(line.size() - tail.size(), tail.size(), tail) == 0,
                "log line differs", "got:\n" + line + "expected after the stamp:\n" + tail);
    const std::string stamp = line.substr(0, line.size() - tail.size());
    fuzz::check(!stamp.empty() && stamp.size() <= 29 && stamp.find('\n') == std::string::npos,
                "bad time stamp", stamp);
    return 0;
}
