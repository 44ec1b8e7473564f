// Version texts of velkor. The version designation comes from the build
// (CMake's project version); the build date and time from the compiler,
// which honours SOURCE_DATE_EPOCH for reproducible builds.
#include "version.h"

#ifndef VELKOR_VERSION
#define VELKOR_VERSION "0.0.0"
#endif
#ifndef VELKOR_BUILDER
#define VELKOR_BUILDER "the velkor developers"
#endif

const char* const Version =
    "velkor Version " VELKOR_VERSION " built " __DATE__ " " __TIME__ " by " VELKOR_BUILDER;
const char* const Copyright = "Copyright (C) 2026 the velkor developers.\n"
                              "This is free software; there is NO warranty.";
const char* const Bugs = "Report bugs to the velkor issue tracker.";
const char* const shortVersion = "velkor Ver: " VELKOR_VERSION;
const char* const avqver_marker = "$avqver " VELKOR_VERSION;
