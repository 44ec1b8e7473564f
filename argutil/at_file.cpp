// at_file: expansion of argument files in the argument vector.
//
// An element that begins with "@" or "$" names a file whose lines take its
// place, one argument per line (the line feed is removed, and a carriage
// return before it, as files written on Windows have it, and a UTF-8 byte
// order mark at the start of the file); an element
// that begins with "#" is dropped. Lines are classified the same way, so
// files nest and may hold comments. A name that cannot be opened stays a
// literal argument, silently.
//
// The vector is rebuilt in two passes over the same elements: the counting
// pass sizes the new array, the filling pass stores the copies, so the array
// is allocated once at its final size. When nothing has to change, nothing is
// allocated and the caller's vector is left as it is. All memory handed out
// comes from malloc and is released by restore_argv with free.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "argutil.h"
#include "argutil_internal.h"

using argutil_internal::max_depth;
using argutil_internal::max_opens;

namespace {

// The vector last handed out by rebuild_argv. The caller owns it; keeping
// its address here as well leaves it reachable until restore_argv releases
// it, so that a program that keeps it for its whole run, as intended, does
// not show up as leaking memory at exit.
char** handed_out = nullptr;

// One read takes at most 4095 bytes of a line; the rest of a longer line is
// read as the next element.
constexpr int LINE_BUFFER = 4096;

constexpr char BOM[] = "\xEF\xBB\xBF";

// Most arguments the expanded vector holds, so that the count and the array
// size (count + 2) stay within an int. Reached only by many gigabytes of
// argument files, and then the array cannot be allocated anyway.
constexpr int max_args = INT_MAX - 2;

// The running state of one pass.
struct pass_state {
    int count = 0;       // arguments added so far
    char** v = nullptr;  // the array being filled; null in the counting pass
    int capacity = 0;    // filling pass: the count that the array was sized for
    int opens = 0;       // argument files opened in this pass
    bool failed = false; // filling pass: an argument could not be copied
    void* (*alloc)(std::size_t) = nullptr;
};

int saturating_add(int a, int b) {
    return a > INT_MAX - b ? INT_MAX : a + b;
}

bool names_file(const char* e) {
    return e[0] == '@' || e[0] == '$';
}

// Removes the line feed from a line read by fgets, and a carriage return that
// ends the line: before the line feed, or at the end of the file. A piece of
// a longer line keeps its bytes.
void cut_line_end(char* line, bool at_eof) {
    char* lf = std::strchr(line, '\n');
    if (lf != nullptr) {
        *lf = '\0';
    } else if (!at_eof) {
        return;
    }
    const std::size_t n = std::strlen(line);
    if (n > 0 && line[n - 1] == '\r') line[n - 1] = '\0';
}

// Adds element e at nesting level `depth` (0 for the command line). Returns
// the number of lines read from argument files for it, nested files
// included; 0 for a literal or a comment.
int add_arg_to_argv(pass_state& s, const char* e, int depth) {
    if (e == nullptr) return 0;
    if (names_file(e) && depth < max_depth && s.opens < max_opens) {
        std::FILE* f = std::fopen(e + 1, "r");
        if (f != nullptr) {
            ++s.opens;
            int r = 0;
            char line[LINE_BUFFER];
            // A read error ends the file like its end: the lines read so far
            // stand.
            for (bool first = true; !s.failed && std::fgets(line, LINE_BUFFER, f) != nullptr;
                 first = false) {
                cut_line_end(line, std::feof(f) != 0);
                // A UTF-8 byte order mark, as Windows editors write it, is
                // not part of the first argument.
                const char* arg = first && std::strncmp(line, BOM, 3) == 0 ? line + 3 : line;
                r = saturating_add(r, saturating_add(1, add_arg_to_argv(s, arg, depth + 1)));
            }
            std::fclose(f);
            return r;
        }
        // A file that cannot be opened: the element is a literal.
    } else if (e[0] == '#') {
        return 0;
    }

    if (s.v == nullptr) {
        if (s.count < max_args) ++s.count;
        return 0;
    }
    // An argument file may have grown since the counting pass: what does not
    // fit the array is left out rather than written past its end.
    if (s.count >= s.capacity) return 0;
    const std::size_t size = std::strlen(e) + 1;
    char* copy = static_cast<char*>(s.alloc(size));
    if (copy == nullptr) {
        s.failed = true;
        return 0;
    }
    std::memcpy(copy, e, size);
    s.v[s.count] = copy;
    ++s.count;
    s.v[s.count] = nullptr;
    return 0;
}

} // namespace

namespace argutil_internal {

int rebuild_argv_hooked(int* argc, char*** argv, const rebuild_hooks& hooks) {
    const int n = *argc;
    char** const old = *argv;

    pass_state counting;
    int lines = 0;
    for (int i = 0; i < n; ++i)
        lines = saturating_add(lines, add_arg_to_argv(counting, old[i], 0));
    // No "#" element and no argument file that could be opened: the vector
    // stays as it is and nothing is allocated.
    if (counting.count == n && lines == 0) return 0;

    if (hooks.between_passes != nullptr) hooks.between_passes(hooks.data);

    void* (*alloc)(std::size_t) = hooks.alloc != nullptr ? hooks.alloc : std::malloc;
    const std::size_t slots = static_cast<std::size_t>(counting.count) + 2;
    char** v = static_cast<char**>(alloc(slots * sizeof(char*)));
    // Without memory the expansion is given up as a whole: the caller keeps
    // its own vector, as when no argument file could be opened.
    if (v == nullptr) return 0;
    for (std::size_t i = 0; i < slots; ++i)
        v[i] = nullptr;

    pass_state filling;
    filling.v = v;
    filling.capacity = counting.count;
    filling.alloc = alloc;
    for (int i = 0; i < n && !filling.failed; ++i)
        add_arg_to_argv(filling, old[i], 0);
    if (filling.failed) {
        for (int i = 0; i < filling.count; ++i)
            std::free(v[i]);
        std::free(v);
        return 0;
    }

    *argc = filling.count;
    *argv = v;
    handed_out = v;
    return 0;
}

} // namespace argutil_internal

int rebuild_argv(int* argc, char*** argv) {
    return argutil_internal::rebuild_argv_hooked(argc, argv, argutil_internal::rebuild_hooks{});
}

int restore_argv(int* argc, char*** argv, int saved_argc, char** saved_argv) {
    // rebuild_argv changed nothing: there is nothing to release.
    if (*argv == saved_argv) return 0;
    if (*argv == handed_out) handed_out = nullptr;
    for (int i = 0; i < *argc; ++i)
        std::free((*argv)[i]);
    std::free(*argv);
    *argc = saved_argc;
    *argv = saved_argv;
    return 0;
}
