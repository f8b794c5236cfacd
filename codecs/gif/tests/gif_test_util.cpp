#include "codecs/gif/tests/gif_test_util.h"

#include "bitmap/bitmap.h"
#include "bitmap/stream.h"
#include "codecs/gif/gif_lzw.h"

namespace lumenax::test {

void LsbCodes::Put(uint32_t code, int width) {
  for (int i = 0; i < width; ++i, ++bits) {
    if (bits % 8 == 0) bytes.push_back(0);
    if (code >> i & 1) bytes.back() |= uint8_t(1 << (bits % 8));
  }
}

void GifBuilder::U16(int v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}

static void Table(std::vector<uint8_t>& b, const std::vector<TRGB>& colours, int& sizeField) {
  int n = 1;
  while ((2 << (n - 1)) < int(colours.size())) ++n;
  sizeField = n - 1;
  for (int i = 0; i < (2 << (n - 1)); ++i) {
    const TRGB c = i < int(colours.size()) ? colours[size_t(i)] : TRGB{};
    b.insert(b.end(), {c.r, c.g, c.b});
  }
}

GifBuilder& GifBuilder::Screen(int w, int h, const std::vector<TRGB>& colours, int background,
                               const char* version) {
  b.insert(b.end(), version, version + 6);
  U16(w);
  U16(h);
  std::vector<uint8_t> table;
  int field = 0;
  if (!colours.empty()) Table(table, colours, field);
  b.push_back(uint8_t(colours.empty() ? 0 : 0x80 | field << 4 | field));
  b.push_back(uint8_t(background));
  b.push_back(0);
  b.insert(b.end(), table.begin(), table.end());
  return *this;
}

GifBuilder& GifBuilder::Control(int disposal, bool transparent, int index, int delay) {
  b.insert(b.end(), {0x21, 0xF9, 4, uint8_t(disposal << 2 | (transparent ? 1 : 0))});
  U16(delay);
  b.push_back(uint8_t(index));
  b.push_back(0);
  return *this;
}

GifBuilder& GifBuilder::Image(int left, int top, int w, int h, const std::vector<uint8_t>& indexes,
                              int bits, bool interlaced, const std::vector<TRGB>& local) {
  b.push_back(0x2C);
  U16(left);
  U16(top);
  U16(w);
  U16(h);
  std::vector<uint8_t> table;
  int field = 0;
  if (!local.empty()) Table(table, local, field);
  b.push_back(uint8_t((local.empty() ? 0 : 0x80 | field) | (interlaced ? 0x40 : 0)));
  b.insert(b.end(), table.begin(), table.end());
  TMemoryStream s;
  GifLzwEncode(s, h, w, bits, indexes.data(), interlaced);
  s.Seek(0, soBeginning);
  std::vector<uint8_t> data(size_t(s.Size()));
  s.Read(data.data(), int64_t(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  return *this;
}

GifBuilder& GifBuilder::RawImage(int left, int top, int w, int h, const std::vector<uint8_t>& data,
                                 uint8_t packed) {
  b.push_back(0x2C);
  U16(left);
  U16(top);
  U16(w);
  U16(h);
  b.push_back(packed);
  b.insert(b.end(), data.begin(), data.end());
  return *this;
}

GifBuilder& GifBuilder::Comment(const std::string& text) {
  b.insert(b.end(), {0x21, 0xFE});
  for (size_t at = 0; at < text.size(); at += 255) {
    const size_t n = std::min<size_t>(255, text.size() - at);
    b.push_back(uint8_t(n));
    b.insert(b.end(), text.begin() + ptrdiff_t(at), text.begin() + ptrdiff_t(at + n));
  }
  b.push_back(0);
  return *this;
}

GifBuilder& GifBuilder::Trailer() {
  b.push_back(0x3B);
  return *this;
}

std::vector<uint8_t> SubBlocks(uint8_t minCodeSize, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> out{minCodeSize};
  for (size_t at = 0; at < bytes.size(); at += 255) {
    const size_t n = std::min<size_t>(255, bytes.size() - at);
    out.push_back(uint8_t(n));
    out.insert(out.end(), bytes.begin() + ptrdiff_t(at), bytes.begin() + ptrdiff_t(at + n));
  }
  out.push_back(0);
  return out;
}

void LoadGif(TLumenaxIO& io, const std::vector<uint8_t>& bytes, int index) {
  if (index >= 0) io.Params.SetImageIndex(index);
  TMemoryStream s(bytes);
  io.LoadFromStreamGif(s);
}

Px PixelAt(TLumenaxIO& io, int x, int y) {
  TLxBitmap& bm = *io.Bitmap();
  const TRGB c = bm.PixelAsRGB(x, y);
  const uint8_t a = bm.HasAlphaChannel() ? bm.GetAlphaValue(x, y) : 255;
  return Px{c.r, c.g, c.b, a};
}

}  // namespace lumenax::test
