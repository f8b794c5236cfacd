#include "bitmap/settings.h"

#include <unistd.h>

#include <cstdlib>

namespace lumenax {

int64_t DefaultFileThreshold = -1;
std::filesystem::path DefaultTempDirectory;
int32_t GrayWeightRed = 21;
int32_t GrayWeightGreen = 71;
int32_t GrayWeightBlue = 8;
bool UseCmykProfile = true;
std::filesystem::path DebugLogFile;

uint64_t TotalPhysicalMemory() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return 0;
  return uint64_t(pages) * uint64_t(page);
}

int64_t InitialFileThreshold() {
  if (DefaultFileThreshold != -1) return DefaultFileThreshold;
  uint64_t mem = TotalPhysicalMemory();
  if (mem == 0) return 33554432;
  return int64_t(double(mem) / 1.3);
}

std::filesystem::path TempDirectoryPrefix() {
  if (!DefaultTempDirectory.empty()) return DefaultTempDirectory;
  const char* env = std::getenv("TMPDIR");
  std::string dir = (env && *env) ? env : "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

}  // namespace lumenax
