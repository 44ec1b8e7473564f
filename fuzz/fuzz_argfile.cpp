// Fuzz target: argument-file expansion from fuzzed file contents.
//
// The input is split at the lines "====" into the command line (one element
// per line, after the program name) and the contents of the files "a", "b"
// and "c" of a directory of the target's own, which is the working directory
// during the call, so the fuzzed text can name itself and the other files
// ("@a", "$b", nested to any depth, cycles included).
//
// The result of rebuild_argv is compared with a plain recursive model of
// the expansion that honours the same bounds (nesting depth, files opened
// per pass); restore_argv must give back the caller's vector, and every
// allocation must be released (LeakSanitizer).
//
// Crash files are written relative to the working directory: give
// -artifact_prefix with an absolute path.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "argutil.h"
#include "argutil_internal.h"
#include "fuzz_support.h"

namespace {

const std::string dir = fuzz::make_temp_dir("velkor-fuzz-argfile");

// Inputs whose expansion opens more files than this are skipped: a file
// that names itself twice doubles the work at every level until the bound
// on opened files (65536 per pass) stops it, which takes a second or more
// and would slow the fuzzer to a crawl. The bounds themselves are covered by
// the unit tests.
constexpr int OPEN_BUDGET = 200;

struct Model {
    std::vector<std::string> args;
    int opens = 0;
    bool over_budget = false;
};

// The expansion as described for users: a line or element beginning with
// "@" or "$" is replaced by the lines of the file it names (4095 bytes a
// piece, line feed removed, and a carriage return at the line's end; a
// UTF-8 byte order mark at the start of the file removed), "#" elements
// vanish, anything else (including a name that cannot be opened) is a
// literal.
long long expand(Model& m, const std::string& e, int depth) {
    if (!e.empty() && (e[0] == '@' || e[0] == '$') && depth < argutil_internal::max_depth &&
        m.opens < argutil_internal::max_opens) {
        if (m.over_budget || ++m.opens > OPEN_BUDGET) {
            m.over_budget = true;
            return 0;
        }
        if (std::FILE* f = std::fopen(e.c_str() + 1, "r")) {
            long long r = 0;
            char line[4096];
            for (bool first = true; std::fgets(line, sizeof line, f) != nullptr; first = false) {
                std::string piece(line); // up to a zero byte, as a C string
                if (first && piece.rfind("\xEF\xBB\xBF", 0) == 0) piece.erase(0, 3);
                const auto lf = piece.find('\n');
                if (lf != std::string::npos) piece.resize(lf);
                // The line ends here: a carriage return before its end goes too.
                const bool line_end = lf != std::string::npos || std::feof(f) != 0;
                if (line_end && !piece.empty() && piece.back() == '\r') piece.pop_back();
                r += 1 + expand(m, piece, depth + 1);
            }
            std::fclose(f);
            return r;
        }
        --m.opens; // only files that open count
    } else if (!e.empty() && e[0] == '#') {
        return 0;
    }
    m.args.push_back(e);
    return 0;
}

std::string show(const std::vector<std::string>& v) {
    std::string s;
    for (const std::string& a : v)
        s += "[" + a + "]\n";
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> parts = fuzz::split(text, "====\n", 4);
    fuzz::write_file(dir + "/a", parts[1]);
    fuzz::write_file(dir + "/b", parts[2]);
    fuzz::write_file(dir + "/c", parts[3]);

    // The command line: the program name, then one element per line (a zero
    // byte ends an element early, as it would in a real argument vector).
    std::vector<std::string> elements{"velkor"};
    for (std::string_view cl = parts[0]; !cl.empty();) {
        const std::size_t lf = cl.find('\n');
        elements.emplace_back(std::string(cl.substr(0, lf)).c_str());
        if (lf == std::string_view::npos) break;
        cl.remove_prefix(lf + 1);
    }
    std::vector<char*> vec;
    for (std::string& e : elements)
        vec.push_back(e.data());
    vec.push_back(nullptr);

    const int here = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    fuzz::check(here >= 0 && ::chdir(dir.c_str()) == 0, "cannot enter the temporary directory");

    Model model;
    long long lines = 0;
    for (const std::string& e : elements)
        lines += expand(model, e.c_str(), 0);
    if (model.over_budget) {
        fuzz::check(::fchdir(here) == 0, "cannot return to the working directory");
        ::close(here);
        return 0;
    }
    const bool unchanged =
        static_cast<std::size_t>(model.args.size()) == elements.size() && lines == 0;

    int argc = static_cast<int>(elements.size());
    char** argv = vec.data();
    rebuild_argv(&argc, &argv);

    fuzz::check(::fchdir(here) == 0, "cannot return to the working directory");
    ::close(here);

    if (unchanged) {
        fuzz::check(argv == vec.data() && argc == static_cast<int>(elements.size()),
                    "the vector was replaced although nothing changed");
    } else {
        fuzz::check(argv != vec.data(), "the vector was not rebuilt");
        std::vector<std::string> got;
        for (int i = 0; i < argc; ++i)
            got.emplace_back(argv[i]);
        fuzz::check(argv[argc] == nullptr, "the expanded vector is not null-terminated");
        fuzz::check(got == model.args, "expansion differs from the model",
                    "got:\n" + show(got) + "expected:\n" + show(model.args));
    }
    restore_argv(&argc, &argv, static_cast<int>(elements.size()), vec.data());
    fuzz::check(argv == vec.data() && argc == static_cast<int>(elements.size()),
                "restore_argv did not give back the caller's vector");
    return 0;
}
