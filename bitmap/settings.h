// Process-wide settings of the bitmap layer. They are set once at start-up, before images
// are made, and only read afterwards; nothing here is synchronised.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace lumenax {

// Byte size above which a new bitmap keeps its rows in a paging file; -1: derived from the
// machine's physical memory.
extern int64_t DefaultFileThreshold;
// Folder of paging files and scratch streams; empty: TMPDIR, else /tmp. Used exactly as
// given: the file name is appended without a separator.
extern std::filesystem::path DefaultTempDirectory;

// Gray weights in percent: Gray8 = (r * red + g * green + b * blue) / 100.
extern int32_t GrayWeightRed;
extern int32_t GrayWeightGreen;
extern int32_t GrayWeightBlue;

// Use the bundled CMYK profile through LittleCMS for CMYK conversions; false: formulas.
extern bool UseCmykProfile;
// Diagnostic log file; empty: no log.
extern std::filesystem::path DebugLogFile;

// Total physical memory in bytes, 0 when it cannot be learned.
uint64_t TotalPhysicalMemory();
// The threshold a new bitmap starts with (DefaultFileThreshold or memory / 1.3 or 32 MiB).
int64_t InitialFileThreshold();
// The folder for temporary files with a trailing separator, or DefaultTempDirectory as is.
std::filesystem::path TempDirectoryPrefix();

}  // namespace lumenax
