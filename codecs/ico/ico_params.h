// The icon and cursor group of the parameter record.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "bitmap/types.h"

namespace lumenax {

// An icon holds at most this many images that the record lists (and the writer makes).
constexpr int kIcoMaxImages = 16;

struct TIcoSize {
  int32_t Width = 0;
  int32_t Height = 0;
  friend bool operator==(const TIcoSize&, const TIcoSize&) = default;
};

struct IcoParams {
  // Which icon image to load, counting the directory entries whose width and height bytes are
  // not 0 (every entry when none has them).
  int32_t IcoImageIndex = 0;
  // Colour given to transparent pixels of icons.
  TRGB IcoBackground{255, 255, 255};
  // Sizes and bits per pixel of the icon's images: read from the directory, and the images a
  // save makes (the leading pairs whose width is above 0).
  std::array<TIcoSize, kIcoMaxImages> IcoSizes{{{64, 64}}};
  std::array<int32_t, kIcoMaxImages> IcoBitCounts{8};
  // Which cursor image to load, counting every directory entry.
  int32_t CurImageIndex = 0;
  // Hotspot of the cursor image read.
  int32_t CurHotspotX = 0;
  int32_t CurHotspotY = 0;
  // Colour given to transparent pixels of cursors.
  TRGB CurBackground{255, 255, 255};

  void SetDefaults() { *this = IcoParams{}; }
  void ResetInfo() {}
  void OnSetImageIndex(int32_t v) { IcoImageIndex = CurImageIndex = v; }

  // Number of leading IcoSizes pairs whose width is above 0.
  int IcoSizeCount() const;

  // Text forms for the command-line table: "16x16,32x32" for the listed sizes, "4,8" for as
  // many bit counts. Setting a list zeroes the entries after it; false (nothing changed) for
  // text that is not such a list, for more than kIcoMaxImages entries or for sizes below 1.
  static std::string IcoSizesText(const IcoParams& p);
  static bool SetIcoSizesText(IcoParams& p, std::string_view text);
  static std::string IcoBitCountsText(const IcoParams& p);
  static bool SetIcoBitCountsText(IcoParams& p, std::string_view text);

  // The fields by name, for the command-line table.
  template <class V>
  static void DescribeFields(V& v) {
    v("IcoImageIndex", &IcoParams::IcoImageIndex);
    v("IcoBackground", &IcoParams::IcoBackground);
    v("IcoSizes", &IcoParams::IcoSizesText, &IcoParams::SetIcoSizesText);
    v("IcoBitCounts", &IcoParams::IcoBitCountsText, &IcoParams::SetIcoBitCountsText);
    v("CurImageIndex", &IcoParams::CurImageIndex);
    v("CurHotspotX", &IcoParams::CurHotspotX);
    v("CurHotspotY", &IcoParams::CurHotspotY);
    v("CurBackground", &IcoParams::CurBackground);
  }
};

}  // namespace lumenax
