// The command-line converter: argument parsing, folder expansion and the batch run with
// several workers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/converter.h"

namespace veltrano {

struct CliOptions {
  int jobs = 0;  // 0: one per core
  bool recursive = false;
  bool quiet = false;
  bool nulSeparated = false;  // lists of names are NUL-separated, not one name a line
  bool skipUpToDate = false;
  std::string report;  // the JSON-lines report's file, "-" for standard output; empty: none
  // Paths and lists of paths ("--files-from FILE") in the order given.
  struct Path {
    std::string name;
    bool list = false;
  };
  std::vector<Path> paths;
};

struct CliStreams {
  FILE* out = stdout;     // "SOURCE -> TARGET" for every file written (not with -q)
  FILE* err = stderr;     // "PATH: message" for every refusal or failure; the progress counter
  bool terminal = false;  // err is a terminal: show a one-line progress counter
};

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The files a path stands for: a folder gives its BMP and PNG files (by extension, any case),
// sorted by name, with recursive also those of its sub-folders; anything else is itself.
std::vector<std::string> ExpandPath(const std::string& path, bool recursive);

// The names in a list: separated by NUL bytes, or one a line (a last line without its line
// end counts); empty names are dropped, every other byte is kept as it is.
std::vector<std::string> SplitNameList(const std::string& text, bool nulSeparated);

// True when the file written from source exists and was modified after it: the PNG file
// beside a BMP source, the BMP file beside a PNG source (the format is told by content).
bool TargetIsUpToDate(const std::string& source);

// A file's report line: one JSON object. Names that are not valid UTF-8 are written with
// each bad byte as U+FFFD, and exactly, as Base64 of their bytes, under "source_base64" and
// "target_base64".
// raised: the conversion ended with an exception, whose text is the message.
std::string ReportLine(const std::string& source, const FileResult& result, bool raised,
                       const std::string& message, double milliseconds, int64_t bytesWritten);

// The whole program after start-up; returns the exit status.
int RunCli(int argc, char** argv, const CliStreams& streams);

}  // namespace veltrano
