// Replays fuzz inputs through a fuzz target's entry point without libFuzzer,
// so that the committed corpus runs as an ordinary test with any compiler:
// every file named on the command line, and every file of each directory
// named (in the order of their names), is passed to LLVMFuzzerTestOneInput
// once. A finding aborts the process, as it does under libFuzzer.
//
// Exit status: 0 when every input ran, 1 when an argument cannot be read or
// no input was found.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "../tests/test_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// The inputs an argument names: the file itself, or the files of a directory.
std::vector<std::string> inputs_of(const std::string& arg) {
    struct stat st {};
    if (::stat(arg.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {arg};
    std::vector<std::string> files;
    for (const std::string& name : testfiles::list_dir(arg))
        files.push_back(arg + "/" + name);
    return files;
}

} // namespace

int main(int argc, char** argv) {
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const std::string& path : inputs_of(argv[i])) {
            const auto bytes = testfiles::try_read_file(path);
            if (!bytes) {
                std::fprintf(stderr, "%s: cannot read %s\n", argv[0], path.c_str());
                return 1;
            }
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes->data()),
                                   bytes->size());
            ++replayed;
        }
    }
    std::printf("%zu inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
