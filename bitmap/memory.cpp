#include "bitmap/memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace lumenax {

namespace {

constexpr uint64_t kHugePage = 2 * 1048576;
constexpr uint64_t kHeader = 64;  // {mapping base, mapping length} before the marker

// n + 4 zero-filled bytes from the heap with the marker 0 in the first.
uint8_t* TakeHeap(uint64_t n) {
  if (n > uint64_t(PTRDIFF_MAX) - 64) return nullptr;
  auto* p = static_cast<uint8_t*>(std::calloc(size_t(n + 4), 1));
  if (!p) return nullptr;
  p[0] = 0;
  return p + 1;
}

// Global blocks are fresh anonymous pages from the system (zero-filled for free), aligned
// to 2 MiB and marked for transparent huge pages: faulting in a large image page by page
// costs far more than the copy that fills it.
uint8_t* TakeGlobal(uint64_t n) {
  if (n > uint64_t(PTRDIFF_MAX) - 2 * kHugePage) return nullptr;
  uint64_t length = n + kHeader + kHugePage;
  void* base = ::mmap(nullptr, size_t(length), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  auto b = reinterpret_cast<uintptr_t>(base);
  uintptr_t data = (b + kHeader + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
  auto* p = reinterpret_cast<uint8_t*>(data);
  if (n >= kHugePage) ::madvise(p, size_t(n), MADV_HUGEPAGE);
  auto* header = reinterpret_cast<uint64_t*>(p - kHeader);
  header[0] = uint64_t(b);
  header[1] = length;
  p[-1] = 1;
  return p;
}

}  // namespace

PixelMemory PixelMemory::Allocate(uint64_t n, TLxMemoryAllocator how) {
  PixelMemory m;
  uint8_t* p = nullptr;
  switch (how) {
    case maHeap:
      p = TakeHeap(n);
      break;
    case maGlobal:
      p = TakeGlobal(n);
      break;
    case maHybrid:
    default:
      if (n < kHybridBoundary) {
        p = TakeHeap(n);
        if (!p) p = TakeGlobal(n);
      } else {
        p = TakeGlobal(n);
      }
      break;
  }
  m.p_.reset(p);
  return m;
}

void PixelMemory::Release::operator()(uint8_t* p) const {
  if (!p) return;
  if (p[-1] == 0) {
    std::free(p - 1);
    return;
  }
  const auto* header = reinterpret_cast<const uint64_t*>(p - kHeader);
  ::munmap(reinterpret_cast<void*>(uintptr_t(header[0])), size_t(header[1]));
}

}  // namespace lumenax
