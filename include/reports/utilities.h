// Small utilities shared across the library: where the reports directory is, building paths
// under it, time values from a time_t, replacing marker sequences in header, footer and option
// texts, and reading a configuration value named by "file,stanza,key".
//
// Thread safety: none beyond the runtime's; configuration is read afresh on every call.
#pragma once

#include <string>

#include "kr/time.h"

// The reports directory: key "Reports" of stanza "Directories" in "configure.cfg". 1/0.
int RepGetReportsDir(std::string* directory) noexcept;

// The reports directory followed by the given components, ended by a null component. 0 only
// when the reports directory is unknown (nothing is built then).
int RepPathBuild(std::string* path, const char* component, ...) noexcept;

// The time of day of a time_t (hour, minute, second, 0) and its calendar date. 1/0.
int RepTimeFromTimeT(TimeOfDay* time_of_day, int64_t time) noexcept;
int RepDateFromTimeT(TimeDate* date, int64_t time) noexcept;

// Replaces the marker sequences of `source`:  %" -> "   %% -> %   %' -> '   %\n -> line feed;
// %\ and any other character -> nothing; % and any other character -> unchanged; % at the end
// -> nothing. 0 for a null source.
int RepReplaceControlChars(std::string* text, const char* source) noexcept;

// Reads the configuration value named by "file,stanza,key" (split at the first two commas, no
// blanks trimmed); an absent key gives an empty value. 0 when a comma is missing.
int RepExtractQuotedCfgValue(std::string* value, const char* specification) noexcept;
