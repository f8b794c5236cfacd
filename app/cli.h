// The command-line converter: argument parsing, folder expansion and the batch run with
// several workers.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace veltrano {

struct CliOptions {
  int jobs = 0;  // 0: one per core
  bool recursive = false;
  bool quiet = false;
  std::vector<std::string> paths;
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

// Groups of list positions that must run one after another because they share a source or a
// possible target (name.png, name.bmp); the groups themselves may run in parallel. Each group
// is in list order, and groups are ordered by their first position.
std::vector<std::vector<size_t>> SerialGroups(const std::vector<std::string>& files);

// The whole program after start-up; returns the exit status.
int RunCli(int argc, char** argv, const CliStreams& streams);

}  // namespace veltrano
