// Argument-file expansion: which elements are replaced, dropped or kept, how
// lines become arguments, nesting and its bound, ownership of the new vector,
// and the two passes kept in step when a file changes or memory runs out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../test_files.h"
#include "argutil.h"
#include "argutil_internal.h"

namespace {

using Args = std::vector<std::string>;

// Each test runs in its own empty working directory, since argument file
// names are resolved against it.
class AtFile : public ::testing::Test {
  protected:
    void SetUp() override {
        old_dir_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    void TearDown() override { std::filesystem::current_path(old_dir_); }

    static void write(const std::string& name, const std::string& contents) {
        std::ofstream out(name, std::ios::binary | std::ios::trunc);
        out << contents;
        ASSERT_TRUE(out.good()) << name;
    }

    // Expands `in` with `hooks`, checks the vector's shape, returns its
    // arguments and releases it with restore_argv. `changed` tells whether
    // a new vector was handed out.
    static Args expand(const Args& in, bool* changed = nullptr,
                       const argutil_internal::rebuild_hooks& hooks = {}) {
        std::vector<std::string> storage = in;
        std::vector<char*> vec;
        for (std::string& s : storage)
            vec.push_back(s.data());
        vec.push_back(nullptr);
        int argc = static_cast<int>(in.size());
        char** argv = vec.data();

        argutil_internal::rebuild_argv_hooked(&argc, &argv, hooks);

        Args out;
        for (int i = 0; i < argc; ++i)
            out.emplace_back(argv[i]);
        EXPECT_EQ(argv[argc], nullptr);
        if (changed != nullptr) *changed = argv != vec.data();
        // The caller's vector and strings are never touched.
        for (std::size_t i = 0; i < in.size(); ++i) {
            EXPECT_EQ(vec[i], storage[i].data());
            EXPECT_EQ(storage[i], in[i]);
        }
        restore_argv(&argc, &argv, static_cast<int>(in.size()), vec.data());
        EXPECT_EQ(argc, static_cast<int>(in.size()));
        EXPECT_EQ(argv, vec.data());
        return out;
    }

  private:
    std::filesystem::path old_dir_;
    testfiles::TempDir tmp_{"velkor-atfile"};
    const std::string& dir_ = tmp_.path();
};

int allocations = 0;
void* counting_alloc(std::size_t n) {
    ++allocations;
    return std::malloc(n);
}

TEST_F(AtFile, VectorWithoutFilesOrCommentsIsLeftAloneAndNothingIsAllocated) {
    argutil_internal::rebuild_hooks hooks;
    hooks.alloc = counting_alloc;
    for (const Args& in : {Args{"velkor", "-4", "data.txt", "out"}, Args{"velkor"}, Args{},
                           Args{"velkor", "@missing", "$missing", "@", "$", "x@y", "", "-#"}}) {
        allocations = 0;
        bool changed = true;
        EXPECT_EQ(expand(in, &changed, hooks), in);
        EXPECT_FALSE(changed);
        EXPECT_EQ(allocations, 0);
    }
}

TEST_F(AtFile, FileLinesReplaceTheElementAndCommentsVanish) {
    write("args", "-o\nout name\n#old\n");
    EXPECT_EQ(expand({"velkor", "@args", "in"}), (Args{"velkor", "-o", "out name", "in"}));
    // "$" names a file just as "@" does, not an environment variable.
    EXPECT_EQ(expand({"velkor", "$args"}), (Args{"velkor", "-o", "out name"}));
    // "#" on the command line, the program name included.
    EXPECT_EQ(expand({"velkor", "#x", "a", "#"}), (Args{"velkor", "a"}));
    EXPECT_EQ(expand({"#velkor", "a"}), (Args{"a"}));
}

TEST_F(AtFile, EmptyFileAndOneLineFile) {
    write("empty", "");
    write("one", "-4\n");
    EXPECT_EQ(expand({"velkor", "@empty", "x"}), (Args{"velkor", "x"}));
    // Same count, but a new vector all the same.
    bool changed = false;
    EXPECT_EQ(expand({"velkor", "@one"}, &changed), (Args{"velkor", "-4"}));
    EXPECT_TRUE(changed);
    // Nothing left: the new array holds the terminating null pointer alone.
    EXPECT_EQ(expand({"#velkor", "@empty", "#a"}, &changed), Args{});
    EXPECT_TRUE(changed);
}

TEST_F(AtFile, OnlyTheLineEndIsRemoved) {
    write("lines", "\n  two words  \n\"quoted\"\r\nlast");
    EXPECT_EQ(expand({"p", "@lines"}), (Args{"p", "", "  two words  ", "\"quoted\"", "last"}));
    // Files written on Windows: CR LF ends a line, and so does a CR at the
    // end of the file; a CR elsewhere stays.
    write("crlf", "--ascii\r\n\r\ndata\rx.txt\r\n\r\r\nout.avq\r");
    EXPECT_EQ(expand({"p", "@crlf"}), (Args{"p", "--ascii", "", "data\rx.txt", "\r", "out.avq"}));
    // A UTF-8 byte order mark (Windows editors) begins the file, not its
    // first argument, which is classified without it; elsewhere it stays.
    write("bom", "\xEF\xBB\xBF#note\n\xEF\xBB\xBF-4\r\n");
    EXPECT_EQ(expand({"p", "@bom"}), (Args{"p", "\xEF\xBB\xBF-4"}));
    write("bom2", "\xEF\xBB\xBF--ascii\r\n");
    EXPECT_EQ(expand({"p", "@bom2"}), (Args{"p", "--ascii"}));
    // A piece of a line longer than the buffer keeps a CR at its end.
    const std::string piece = std::string(4094, 'a') + "\r";
    write("piece", piece + "b\r\n");
    EXPECT_EQ(expand({"p", "@piece"}), (Args{"p", piece, "b"}));
}

TEST_F(AtFile, LongLinesAreCutIntoPiecesOf4095Bytes) {
    const std::string exact(4095, 'a');
    write("exact", exact + "\nnext\n");
    // The line feed of a line of exactly 4095 bytes is read as an empty line.
    EXPECT_EQ(expand({"p", "@exact"}), (Args{"p", exact, "", "next"}));

    const std::string longer(5000, 'b');
    write("longer", longer + "\n");
    EXPECT_EQ(expand({"p", "@longer"}), (Args{"p", longer.substr(0, 4095), longer.substr(4095)}));

    // Every piece is classified by its own first byte.
    write("inner", "from inner\n");
    write("pieces", std::string(4095, 'c') + "#dropped\n" + std::string(4095, 'd') + "@inner\n");
    EXPECT_EQ(expand({"p", "@pieces"}),
              (Args{"p", std::string(4095, 'c'), std::string(4095, 'd'), "from inner"}));
}

TEST_F(AtFile, NestedFilesResolveAgainstTheWorkingDirectory) {
    std::filesystem::create_directory("sub");
    write("sub/outer", "a\n@sub/inner\n#note\n$missing\nz\n");
    write("sub/inner", "b\n#c\nd\n");
    EXPECT_EQ(expand({"p", "@sub/outer"}), (Args{"p", "a", "b", "d", "$missing", "z"}));
    // Relative to the working directory, not to the file that names it.
    write("sub/relative", "@inner\n");
    EXPECT_EQ(expand({"p", "@sub/relative"}), (Args{"p", "@inner"}));
}

TEST_F(AtFile, ReadErrorEndsTheFilesContribution) {
    // A directory opens for reading, but reading it fails.
    std::filesystem::create_directory("dir");
    EXPECT_EQ(expand({"p", "@dir", "x"}), (Args{"p", "x"}));
}

TEST_F(AtFile, NestingStopsAt32Levels) {
    // level1 names level2 and so on; each level also holds its own name.
    for (int i = 1; i <= 40; ++i) {
        const std::string n = std::to_string(i);
        const std::string next = std::to_string(i + 1);
        write("level" + n, std::string("L").append(n).append("\n@level").append(next) + "\n");
    }
    Args expected{"p"};
    for (int i = 1; i <= 32; ++i)
        expected.push_back(std::string("L").append(std::to_string(i)));
    // The reference inside the level-32 file stays a literal argument.
    expected.push_back("@level33");
    EXPECT_EQ(expand({"p", "@level1"}), expected);
}

TEST_F(AtFile, FileThatNamesItselfEndsAfter32Levels) {
    write("self", "x\n@self\n");
    Args expected{"p"};
    for (int i = 0; i < 32; ++i)
        expected.push_back("x");
    expected.push_back("@self");
    EXPECT_EQ(expand({"p", "@self"}), expected);
}

TEST_F(AtFile, FileThatNamesItselfTwiceEndsAfterABoundedNumberOfOpens) {
    // Without a bound on the files opened this would open 2^32 files.
    write("twice", "@twice\n@twice\n");
    const Args out = expand({"p", "@twice"});
    ASSERT_GT(out.size(), 1u);
    EXPECT_LE(out.size(), 2u * argutil_internal::max_opens + 1);
    for (std::size_t i = 1; i < out.size(); ++i)
        ASSERT_EQ(out[i], "@twice");
}

TEST_F(AtFile, RestoreAfterExpansionGivesBackTheSavedVector) {
    write("args", "-4\ndata.txt\n");
    std::string a0 = "velkor", a1 = "@args", a2 = "out";
    char* saved[] = {a0.data(), a1.data(), a2.data(), nullptr};
    int argc = 3;
    char** argv = saved;
    EXPECT_EQ(rebuild_argv(&argc, &argv), 0);
    ASSERT_NE(argv, saved);
    ASSERT_EQ(argc, 4);
    // Every argument is a copy, those taken over unchanged included.
    EXPECT_NE(argv[0], saved[0]);
    EXPECT_STREQ(argv[0], "velkor");
    EXPECT_STREQ(argv[3], "out");
    EXPECT_EQ(restore_argv(&argc, &argv, 3, saved), 0);
    EXPECT_EQ(argc, 3);
    EXPECT_EQ(argv, saved);
    // Restoring a vector that rebuild_argv left alone changes nothing.
    std::string plain = "in";
    saved[1] = plain.data();
    EXPECT_EQ(rebuild_argv(&argc, &argv), 0);
    EXPECT_EQ(argv, saved);
    EXPECT_EQ(restore_argv(&argc, &argv, 3, saved), 0);
    EXPECT_EQ(argc, 3);
    EXPECT_EQ(argv, saved);
    EXPECT_EQ(argv[1], plain.data());
}

void grow_file(void* name) {
    std::ofstream out(static_cast<const char*>(name), std::ios::trunc);
    for (int i = 0; i < 100; ++i)
        out << "grown" << i << "\n";
}
void shrink_file(void* name) {
    std::ofstream out(static_cast<const char*>(name), std::ios::trunc);
}
void remove_file(void* name) {
    std::remove(static_cast<const char*>(name));
}

TEST_F(AtFile, FileThatChangesBetweenThePassesNeverOverrunsTheVector) {
    char name[] = "args";
    argutil_internal::rebuild_hooks hooks;
    hooks.data = name;

    // Counted as 2 lines, filled from 100: only what was counted is stored.
    write("args", "a\nb\n");
    hooks.between_passes = grow_file;
    EXPECT_EQ(expand({"p", "@args", "tail"}, nullptr, hooks),
              (Args{"p", "grown0", "grown1", "grown2"}));

    write("args", "a\nb\n");
    hooks.between_passes = shrink_file;
    EXPECT_EQ(expand({"p", "@args", "tail"}, nullptr, hooks), (Args{"p", "tail"}));

    write("args", "a\nb\n");
    hooks.between_passes = remove_file;
    EXPECT_EQ(expand({"p", "@args", "tail"}, nullptr, hooks), (Args{"p", "@args", "tail"}));
}

int allocations_left = 0;
void* failing_alloc(std::size_t n) {
    if (allocations_left == 0) return nullptr;
    --allocations_left;
    return std::malloc(n);
}

TEST_F(AtFile, WithoutMemoryTheVectorIsLeftAlone) {
    write("args", "-4\ndata.txt\n");
    argutil_internal::rebuild_hooks hooks;
    hooks.alloc = failing_alloc;
    const Args in{"velkor", "@args", "out"};
    // The array itself, then each of the four copies in turn, cannot be had.
    for (int left = 0; left <= 4; ++left) {
        allocations_left = left;
        bool changed = true;
        EXPECT_EQ(expand(in, &changed, hooks), in) << left;
        EXPECT_FALSE(changed);
    }
    allocations_left = 5;
    EXPECT_EQ(expand(in, nullptr, hooks), (Args{"velkor", "-4", "data.txt", "out"}));
}

} // namespace
