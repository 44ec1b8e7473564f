// Version texts of velkor, printed by the usage text and by --version.
#pragma once

extern const char* const Version;       // name, version, build date and time, builder
extern const char* const Copyright;     // two-line notice
extern const char* const Bugs;          // where to report bugs
extern const char* const shortVersion;  // name and version, for other tools
extern const char* const avqver_marker; // "$avqver " and the version, for `strings`
