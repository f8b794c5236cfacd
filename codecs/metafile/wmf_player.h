// Windows metafile player: libwmf turns the records into SVG in memory, librsvg draws that on
// a cairo surface. (libwmf's own raster output leaves ellipses and other filled shapes
// unfilled; its SVG output does not.)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumenax {

class TLxWmfPlayer {
 public:
  TLxWmfPlayer() = default;
  TLxWmfPlayer(const TLxWmfPlayer&) = delete;
  TLxWmfPlayer& operator=(const TLxWmfPlayer&) = delete;

  // Takes the metafile (placeable or not) and measures it. False when libwmf refuses it;
  // Error() then says why.
  bool Load(std::vector<uint8_t> bytes);
  const std::string& Error() const { return error_; }

  // The metafile's own size in pixels at 96 dpi: the placeable header's bounds, else the
  // bounding box of what it draws. May be 0.
  int64_t Width() const { return width_; }
  int64_t Height() const { return height_; }

  // Draws the metafile stretched to width x height. Pixels are premultiplied 0xAARRGGBB,
  // row after row; alpha is 0 where nothing is drawn. False (with Error) when the player
  // or the renderer fails or the surface cannot be had.
  bool Render(int width, int height, std::vector<uint32_t>& argb);

  // The SVG that libwmf writes for a size (for tests and diagnostics); empty on failure.
  std::string Svg(int width, int height);

 private:
  std::vector<uint8_t> bytes_;
  std::string error_;
  int64_t width_ = 0;
  int64_t height_ = 0;
};

}  // namespace lumenax
