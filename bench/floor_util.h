// What the floor programs of bench/ share, and the clocks of the programs that time the
// library: wall and processor clocks, and pixel blocks allocated the way the library allocates
// bitmaps (2 MiB pages), so that a floor pays the same page faults as the codec it is compared
// with. Nothing of the library is needed.
#pragma once

#include <sys/mman.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

namespace floor_util {

inline double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double Cpu() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + t.tv_nsec * 1e-9;
}

inline unsigned char* PixelBlock(size_t n) {
  constexpr size_t kPage = 2 << 20;
  n = (n + kPage - 1) / kPage * kPage;
  void* p = nullptr;
  if (posix_memalign(&p, kPage, n) != 0) return nullptr;
  madvise(p, n, MADV_HUGEPAGE);
  return static_cast<unsigned char*>(p);
}

}  // namespace floor_util
