// Number scanning for data lines: see numscan.h for the rules.
#include "numscan.h"

#include <cstdio>

int scan_numbers(const char* s, double* out, int count) {
    switch (count) {
    case 1:
        return std::sscanf(s, "%lf", &out[0]);
    case 2:
        return std::sscanf(s, "%lf %lf", &out[0], &out[1]);
    case 3:
        return std::sscanf(s, "%lf %lf %lf", &out[0], &out[1], &out[2]);
    case 4:
        return std::sscanf(s, "%lf %lf %lf %lf", &out[0], &out[1], &out[2], &out[3]);
    default:
        return 0;
    }
}
