// Pixel memory of lxInMemory bitmaps. Every block is zero-filled and carries a marker byte
// just before the address handed out: 0 for the general heap, 1 for large ("global")
// blocks. The hybrid allocator takes blocks under 1 MiB from the heap and larger ones as
// global memory.
#pragma once

#include <cstdint>
#include <memory>

#include "bitmap/types.h"

namespace lumenax {

constexpr uint64_t kHybridBoundary = 1048576;

class PixelMemory {
 public:
  PixelMemory() = default;
  // Empty on failure (including sizes that cannot be represented).
  static PixelMemory Allocate(uint64_t n, TLxMemoryAllocator how);
  uint8_t* get() const { return p_.get(); }
  explicit operator bool() const { return bool(p_); }
  // 0 heap, 1 global; -1 when empty.
  int Marker() const { return p_ ? p_.get()[-1] : -1; }
  void reset() { p_.reset(); }

 private:
  struct Release {
    void operator()(uint8_t* p) const;
  };
  std::unique_ptr<uint8_t, Release> p_;
};

}  // namespace lumenax
