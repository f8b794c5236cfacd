// Row conversions against byte-by-byte definitions, for every length around the 16-pixel
// steps, with guard bytes after the destination that must stay untouched.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codecs/common/pixel_rows.h"

namespace lumenax {
namespace {

constexpr size_t kGuard = 32;
constexpr uint8_t kGuardByte = 0xA5;

std::vector<uint8_t> Noise(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (uint8_t& b : v) seed = seed * 1103515245u + 12345u, b = uint8_t(seed >> 16);
  return v;
}

// A destination of n bytes followed by guard bytes.
std::vector<uint8_t> Target(size_t n) {
  return std::vector<uint8_t>(n + kGuard, kGuardByte);
}

void ExpectGuardIntact(const std::vector<uint8_t>& v, size_t n) {
  for (size_t i = n; i < v.size(); ++i) ASSERT_EQ(v[i], kGuardByte) << "written past " << n;
}

TEST(PixelRows, SwapRedBlueCopiesAndInPlace) {
  for (size_t n = 0; n < 70; ++n) {
    SCOPED_TRACE(n);
    const std::vector<uint8_t> src = Noise(3 * n, uint32_t(n) + 1);
    std::vector<uint8_t> want(src);
    for (size_t x = 0; x < n; ++x) std::swap(want[3 * x], want[3 * x + 2]);
    std::vector<uint8_t> out = Target(3 * n);
    SwapRedBlue24(src.data(), out.data(), n);
    ExpectGuardIntact(out, 3 * n);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + long(3 * n)), want);
    std::vector<uint8_t> inPlace(src);
    SwapRedBlue24(inPlace.data(), inPlace.data(), n);
    EXPECT_EQ(inPlace, want);
  }
}

TEST(PixelRows, ExpandIndexedAndGray) {
  TLxPalette32 palette;
  for (uint32_t i = 0; i < 256; ++i)
    palette.entry[i] = ((i * 7 + 1) & 0xFF) | ((255 - i) << 8) | ((i ^ 0x5A) << 16) | 0xEE000000u;
  for (size_t n = 0; n < 70; ++n) {
    SCOPED_TRACE(n);
    const std::vector<uint8_t> index = Noise(n, uint32_t(n) + 99);
    std::vector<uint8_t> want, wantGray;
    for (uint8_t i : index) {
      const uint32_t e = palette.entry[i];
      want.insert(want.end(), {uint8_t(e), uint8_t(e >> 8), uint8_t(e >> 16)});
      wantGray.insert(wantGray.end(), {i, i, i});
    }
    std::vector<uint8_t> out = Target(3 * n);
    ExpandIndexed24(index.data(), out.data(), n, palette);
    ExpectGuardIntact(out, 3 * n);  // the fourth byte of the last entry never lands
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + long(3 * n)), want);
    std::vector<uint8_t> gray = Target(3 * n);
    ExpandGray24(index.data(), gray.data(), n);
    ExpectGuardIntact(gray, 3 * n);
    EXPECT_EQ(std::vector<uint8_t>(gray.begin(), gray.begin() + long(3 * n)), wantGray);
  }
}

TEST(PixelRows, PlanesInterleaveAndSplitBack) {
  for (size_t n = 0; n < 70; ++n) {
    SCOPED_TRACE(n);
    const std::vector<uint8_t> r = Noise(n, 3), g = Noise(n, 5), b = Noise(n, 7);
    std::vector<uint8_t> want;
    for (size_t x = 0; x < n; ++x) want.insert(want.end(), {b[x], g[x], r[x]});
    std::vector<uint8_t> pixels = Target(3 * n);
    InterleavePlanes24(r.data(), g.data(), b.data(), pixels.data(), n);
    ExpectGuardIntact(pixels, 3 * n);
    EXPECT_EQ(std::vector<uint8_t>(pixels.begin(), pixels.begin() + long(3 * n)), want);
    std::vector<uint8_t> r2 = Target(n), g2 = Target(n), b2 = Target(n);
    SplitPlanes24(want.data(), r2.data(), g2.data(), b2.data(), n);
    for (auto* plane : {&r2, &g2, &b2}) ExpectGuardIntact(*plane, n);
    r2.resize(n), g2.resize(n), b2.resize(n);
    EXPECT_EQ(r2, r);
    EXPECT_EQ(g2, g);
    EXPECT_EQ(b2, b);
  }
}

}  // namespace
}  // namespace lumenax
