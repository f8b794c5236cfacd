// What the benchmark programs that link the library share: the floor clocks, the best of
// several timed runs, and a plain read() of a file into pixel memory.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "bitmap/memory.h"
#include "floor_util.h"

namespace bench_util {

using floor_util::Cpu;
using floor_util::Now;

// The best wall milliseconds of `runs` calls of f; a call answering false ends the program
// with a message naming `program`.
inline double BestMs(int runs, const std::function<bool()>& f, const char* program) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    if (!f()) {
      std::fprintf(stderr, "%s: a run failed\n", program);
      std::exit(1);
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (ms < best) best = ms;
  }
  return best;
}

// read() of the whole file into memory from the same allocator as pixel blocks.
inline bool PlainRead(const std::filesystem::path& file) {
  const uint64_t size = std::filesystem::file_size(file);
  lumenax::PixelMemory m = lumenax::PixelMemory::Allocate(size, lumenax::maGlobal);
  const int fd = ::open(file.c_str(), O_RDONLY);
  if (fd < 0 || !m) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  uint64_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, m.get() + done, size - done);
    if (n <= 0) break;
    done += uint64_t(n);
  }
  ::close(fd);
  return done == size;
}

}  // namespace bench_util
