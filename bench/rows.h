// What the limit kernel and the reference ASCII writer share: a 48-byte row
// (time and value of three channels), a whole file held in memory and split into lines
// with memchr, and std::from_chars for every number.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace bench {

struct Cell {
    double time;
    double data;
};
struct Row {
    Cell ch[3];
};
static_assert(sizeof(Row) == 48);

struct Text {
    std::unique_ptr<char[]> data;
    const char* pos = nullptr;
    const char* end = nullptr;

    explicit Text(const char* name) {
        const int fd = open(name, O_RDONLY);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0) {
            std::perror(name);
            std::exit(1);
        }
        const auto size = static_cast<std::size_t>(st.st_size);
        data.reset(new char[size + 1]);
        std::size_t got = 0;
        while (got < size) {
            const ssize_t n = read(fd, data.get() + got, size - got);
            if (n <= 0) {
                std::perror(name);
                std::exit(1);
            }
            got += static_cast<std::size_t>(n);
        }
        close(fd);
        pos = data.get();
        end = pos + size;
    }

    // The next line, [first, last) without its line end; false at the end.
    bool line(const char*& first, const char*& last) {
        if (pos == end) return false;
        first = pos;
        const void* nl = std::memchr(pos, '\n', static_cast<std::size_t>(end - pos));
        last = nl != nullptr ? static_cast<const char*>(nl) : end;
        pos = last == end ? end : last + 1;
        return true;
    }
};

inline bool number(const char*& p, const char* last, double& out) {
    while (p < last && (*p == ' ' || *p == '\t'))
        ++p;
    const auto r = std::from_chars(p, last, out);
    if (r.ec != std::errc()) return false;
    p = r.ptr;
    return true;
}

} // namespace bench
