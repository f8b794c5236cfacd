// The CMYK output profile compiled into the library (bitmap/profiles/README.md tells where it
// comes from).
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumenax {

struct ProfileBytes {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

ProfileBytes CmykProfileBytes();

}  // namespace lumenax
