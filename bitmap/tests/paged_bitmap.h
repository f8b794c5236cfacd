// Test helper: a bitmap kept in the paging file whatever its size.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "bitmap/bitmap.h"

namespace lumenax {

inline std::unique_ptr<TLxBitmap> PagedBitmap(int w, int h, PixelFormat pf) {
  auto b = std::make_unique<TLxBitmap>();
  b->FileThreshold = 0;
  b->SetLocation(lxTempFile);
  EXPECT_TRUE(b->Allocate(w, h, pf));
  EXPECT_EQ(b->Location(), lxTempFile);
  return b;
}

}  // namespace lumenax
