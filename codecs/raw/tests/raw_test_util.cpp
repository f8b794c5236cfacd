#include "codecs/raw/tests/raw_test_util.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "bitmap/bitmap.h"

namespace lumenax::test {

namespace {

struct Entry {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  std::vector<uint8_t> data;  // the value bytes, little-endian
};

void Put16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

Entry Short(uint16_t tag, std::vector<uint16_t> v) {
  Entry e{tag, 3, uint32_t(v.size()), {}};
  for (uint16_t x : v) Put16(e.data, x);
  return e;
}
Entry Long(uint16_t tag, std::vector<uint32_t> v) {
  Entry e{tag, 4, uint32_t(v.size()), {}};
  for (uint32_t x : v) Put32(e.data, x);
  return e;
}
Entry Bytes(uint16_t tag, std::vector<uint8_t> v) {
  return Entry{tag, 1, uint32_t(v.size()), v};
}
Entry Ascii(uint16_t tag, const std::string& s) {
  Entry e{tag, 2, uint32_t(s.size() + 1), {}};
  e.data.assign(s.begin(), s.end());
  e.data.push_back(0);
  return e;
}
// Rationals as numerator / 10000; srational for signed values.
Entry Rational(uint16_t tag, std::vector<double> v, bool sign) {
  Entry e{tag, uint16_t(sign ? 10 : 5), uint32_t(v.size()), {}};
  for (double x : v) {
    Put32(e.data, uint32_t(int32_t(x * 10000 + (x < 0 ? -0.5 : 0.5))));
    Put32(e.data, 10000);
  }
  return e;
}

}  // namespace

std::vector<uint8_t> MakeDng(int width, int height, int orientation) {
  // The sensor: 16-bit samples in an RGGB mosaic, each colour with its own gradient.
  std::vector<uint8_t> pixels;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int colour = (y & 1) * 2 + (x & 1);  // 0 R, 1 G, 2 G, 3 B
      uint32_t v;
      if (colour == 0)
        v = 2000 + 40000u * x / width;
      else if (colour == 3)
        v = 2000 + 40000u * y / height;
      else
        v = 6000 + 30000u * (x + y) / (width + height);
      Put16(pixels, uint16_t(v));
    }
  }
  std::vector<Entry> entries = {
      Long(254, {0}),
      Long(256, {uint32_t(width)}),
      Long(257, {uint32_t(height)}),
      Short(258, {16}),
      Short(259, {1}),
      Short(262, {32803}),
      Ascii(271, "Lumenax"),
      Ascii(272, "Test Sensor"),
      Long(273, {0}),  // patched below
      Short(274, {uint16_t(orientation)}),
      Short(277, {1}),
      Long(278, {uint32_t(height)}),
      Long(279, {uint32_t(pixels.size())}),
      Short(284, {1}),
      Short(33421, {2, 2}),
      Bytes(33422, {0, 1, 1, 2}),
      Bytes(50706, {1, 4, 0, 0}),
      Ascii(50708, "Lumenax Test Sensor"),
      Long(50717, {65535}),
      Rational(50721, {0.8, -0.2, -0.1, -0.3, 1.2, 0.1, -0.05, 0.15, 0.7}, true),
      Rational(50728, {0.5, 1.0, 0.7}, false),
      Short(50778, {21}),
  };
  // Header, directory, then the values that do not fit in 4 bytes, then the pixels.
  std::vector<uint8_t> out = {'I', 'I', 42, 0, 8, 0, 0, 0};
  const uint32_t dirSize = 2 + 12 * uint32_t(entries.size()) + 4;
  uint32_t extra = 8 + dirSize;
  std::vector<uint8_t> values;
  Put16(out, uint16_t(entries.size()));
  size_t stripOffsetAt = 0;
  for (const Entry& e : entries) {
    Put16(out, e.tag);
    Put16(out, e.type);
    Put32(out, e.count);
    if (e.tag == 273) stripOffsetAt = out.size();
    if (e.data.size() <= 4) {
      std::vector<uint8_t> v = e.data;
      v.resize(4, 0);
      out.insert(out.end(), v.begin(), v.end());
    } else {
      Put32(out, extra + uint32_t(values.size()));
      values.insert(values.end(), e.data.begin(), e.data.end());
      if (values.size() & 1) values.push_back(0);
    }
  }
  Put32(out, 0);
  out.insert(out.end(), values.begin(), values.end());
  const uint32_t stripOffset = uint32_t(out.size());
  for (int i = 0; i < 4; ++i) out[stripOffsetAt + i] = uint8_t(stripOffset >> (8 * i));
  out.insert(out.end(), pixels.begin(), pixels.end());
  return out;
}

bool ReadPpm(const std::filesystem::path& p, PpmImage& out) {
  std::ifstream f(p, std::ios::binary);
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t pos = 0;
  auto token = [&]() -> long {
    while (pos < b.size() && (std::isspace(b[pos]) || b[pos] == '#')) {
      if (b[pos] == '#')
        while (pos < b.size() && b[pos] != '\n') ++pos;
      else
        ++pos;
    }
    long v = 0;
    bool any = false;
    while (pos < b.size() && std::isdigit(b[pos])) v = v * 10 + (b[pos++] - '0'), any = true;
    return any ? v : -1;
  };
  if (b.size() < 2 || b[0] != 'P' || b[1] != '6') return false;
  pos = 2;
  out.width = int(token());
  out.height = int(token());
  out.maxval = int(token());
  ++pos;
  if (out.width <= 0 || out.height <= 0 || (out.maxval != 255 && out.maxval != 65535)) return false;
  const size_t n = size_t(out.width) * out.height * 3;
  const size_t bytes = out.maxval > 255 ? 2 : 1;
  if (b.size() < pos + n * bytes) return false;
  out.samples.resize(n);
  for (size_t i = 0; i < n; ++i)
    out.samples[i] = bytes == 1 ? b[pos + i] : uint16_t(b[pos + 2 * i] << 8 | b[pos + 2 * i + 1]);
  return true;
}

std::vector<uint16_t> BitmapSamples(TLxBitmap& bitmap) {
  std::vector<uint16_t> out;
  for (int y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* row = bitmap.ScanLine(y);
    for (int x = 0; x < bitmap.Width(); ++x) {
      if (bitmap.PixelFormat() == lxRGB48) {
        for (int c = 0; c < 3; ++c)
          out.push_back(uint16_t(row[6 * x + 2 * c + 1] << 8 | row[6 * x + 2 * c]));
      } else {
        for (int c = 2; c >= 0; --c) out.push_back(row[3 * x + c]);
      }
    }
  }
  return out;
}

SampleDifference Compare(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b) {
  SampleDifference d;
  if (a.size() != b.size() || a.empty()) {
    d.mean = 1e9;
    d.largest = 1 << 30;
    return d;
  }
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    int diff = std::abs(int(a[i]) - int(b[i]));
    sum += diff;
    if (diff > d.largest) d.largest = diff;
  }
  d.mean = sum / double(a.size());
  return d;
}

}  // namespace lumenax::test
