// Small text helpers shared by the unit and end-to-end tests.
#pragma once

#include <string>
#include <vector>

// The parts of `s` between separators `sep`; empty parts are kept, so an
// AVQ line of 514 fields splits into exactly 514 parts.
inline std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> v;
    std::string cur;
    for (char ch : s) {
        if (ch == sep) {
            v.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(ch);
        }
    }
    v.push_back(cur);
    return v;
}
