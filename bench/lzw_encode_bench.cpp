// The TIFF LZW encoder against tiffcp (bench/lzw_encode.sh):
//   lzw_encode_bench make FILE              writes a 6000 x 4000 photo-like RGB TIFF,
//                                           uncompressed, in strips of 64 rows
//   lzw_encode_bench encode IN OUT [PRED]   does what `tiffcp -c lzw[:2] IN OUT` does to such a
//                                           file: reads it, differences the rows when PRED is
//                                           2, encodes each strip through the default encoder
//                                           hook one row per call and writes a TIFF
// Nothing but the file's own strips is parsed: the input must be one this program or tiffcp
// wrote with contiguous 8-bit samples in strips.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bitmap/stream.h"
#include "codecs/common/lzw_encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace lumenax;

constexpr uint32_t kWidth = 6000, kHeight = 4000, kRowsPerStrip = 64;

void Put16(Bytes& b, uint32_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
uint32_t Get16(const Bytes& f, size_t at) {
  return at + 2 <= f.size() ? uint32_t(f[at] | f[at + 1] << 8) : 0;
}
uint32_t Get32(const Bytes& f, size_t at) {
  return Get16(f, at) | Get16(f, at + 2) << 16;
}

// Appends the IFD of an RGB image whose strips were written at offsets.
void FinishTiff(Bytes& out, uint32_t width, uint32_t height, uint32_t rowsPerStrip,
                uint32_t compression, uint32_t predictor, const std::vector<uint32_t>& offsets,
                const std::vector<uint32_t>& counts) {
  if (out.size() % 2) out.push_back(0);
  const uint32_t bitsAt = uint32_t(out.size());
  for (int i = 0; i < 3; ++i) Put16(out, 8);
  const uint32_t offsetsAt = uint32_t(out.size());
  for (uint32_t v : offsets) Put32(out, v);
  const uint32_t countsAt = uint32_t(out.size());
  for (uint32_t v : counts) Put32(out, v);
  const uint32_t ifd = uint32_t(out.size());
  std::memcpy(&out[4], &ifd, 4);
  const uint32_t entries[][4] = {
      {256, 4, 1, width},
      {257, 4, 1, height},
      {258, 3, 3, bitsAt},
      {259, 3, 1, compression},
      {262, 3, 1, 2},
      {273, 4, uint32_t(offsets.size()), offsetsAt},
      {277, 3, 1, 3},
      {278, 4, 1, rowsPerStrip},
      {279, 4, uint32_t(counts.size()), countsAt},
      {284, 3, 1, 1},
      {317, 3, 1, predictor},
  };
  // The Predictor tag only with a compression that has one.
  const size_t n = compression == 1 ? std::size(entries) - 1 : std::size(entries);
  Put16(out, uint32_t(n));
  for (size_t i = 0; i < n; ++i) {
    const auto& e = entries[i];
    Put16(out, e[0]);
    Put16(out, e[1]);
    Put32(out, e[2]);
    Put32(out, e[3]);
  }
  Put32(out, 0);
}

bool WriteFile(const char* name, const Bytes& b) {
  FILE* f = std::fopen(name, "wb");
  if (!f) return false;
  const bool ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
  return std::fclose(f) == 0 && ok;
}

bool ReadFile(const char* name, Bytes& b) {
  FILE* f = std::fopen(name, "rb");
  if (!f) return false;
  std::fseek(f, 0, SEEK_END);
  b.resize(size_t(std::ftell(f)));
  std::fseek(f, 0, SEEK_SET);
  const bool ok = std::fread(b.data(), 1, b.size(), f) == b.size();
  std::fclose(f);
  return ok;
}

// A smooth gradient field with noise, as a camera photo looks to a compressor.
int Make(const char* name) {
  Bytes out = {'I', 'I', 42, 0, 0, 0, 0, 0};
  std::mt19937 rng(5);
  std::normal_distribution<float> noise(0.f, 4.f);
  std::vector<uint32_t> offsets, counts;
  for (uint32_t y = 0; y < kHeight; ++y) {
    if (y % kRowsPerStrip == 0) {
      offsets.push_back(uint32_t(out.size()));
      counts.push_back(0);
    }
    for (uint32_t x = 0; x < kWidth; ++x)
      for (uint32_t c = 0; c < 3; ++c) {
        const float base = 128.f + 90.f * std::sin(float(x) * (0.0011f + 0.0004f * float(c))) *
                                       std::cos(float(y) * (0.0009f + 0.0003f * float(c)));
        const float v = base + noise(rng);
        out.push_back(uint8_t(v < 0 ? 0 : v > 255 ? 255 : v));
      }
    counts.back() += kWidth * 3;
  }
  FinishTiff(out, kWidth, kHeight, kRowsPerStrip, 1, 1, offsets, counts);
  return WriteFile(name, out) ? 0 : 1;
}

// A stream appending to a vector.
class VectorStream : public TStream {
 public:
  explicit VectorStream(Bytes& b) : b_(b) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* p, int64_t n) override {
    b_.insert(b_.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
    return n;
  }
  int64_t Seek(int64_t, int) override { return int64_t(b_.size()); }

 private:
  Bytes& b_;
};

int Encode(const char* in, const char* outName, uint32_t predictor) {
  Bytes f;
  if (!ReadFile(in, f)) return 1;
  // The strips of the first IFD.
  const size_t ifd = Get32(f, 4);
  uint32_t width = 0, height = 0, rowsPerStrip = 0, offsetsAt = 0, countsAt = 0, strips = 0;
  for (uint32_t i = 0, n = Get16(f, ifd); i < n; ++i) {
    const size_t e = ifd + 2 + 12 * size_t(i);
    const uint32_t tag = Get16(f, e), type = Get16(f, e + 2), count = Get32(f, e + 4);
    const uint32_t value = type == 3 ? Get16(f, e + 8) : Get32(f, e + 8);
    if (tag == 256) width = value;
    if (tag == 257) height = value;
    if (tag == 278) rowsPerStrip = value;
    if (tag == 273) offsetsAt = count == 1 ? uint32_t(e + 8) : value, strips = count;
    if (tag == 279) countsAt = count == 1 ? uint32_t(e + 8) : value;
  }
  if (!width || !height || !rowsPerStrip || !strips) return 1;
  const size_t rowBytes = size_t(width) * 3;
  Bytes out = {'I', 'I', 42, 0, 0, 0, 0, 0};
  out.reserve(f.size());
  VectorStream stream(out);
  std::vector<uint32_t> offsets, counts;
  Bytes row(rowBytes);
  for (uint32_t s = 0; s < strips; ++s) {
    const size_t at = Get32(f, offsetsAt + 4 * s), n = Get32(f, countsAt + 4 * s);
    if (at + n > f.size()) return 1;
    offsets.push_back(uint32_t(out.size()));
    std::unique_ptr<TLxLzwHookState> state;
    for (size_t r = 0; r + rowBytes <= n; r += rowBytes) {
      std::memcpy(row.data(), &f[at + r], rowBytes);
      if (predictor == 2) DifferenceRow8(row, 3);
      DefaultTiffLzwEncoderHook(row, stream, state);
    }
    DefaultTiffLzwEncoderHook({}, stream, state);
    counts.push_back(uint32_t(out.size() - offsets.back()));
  }
  FinishTiff(out, width, height, rowsPerStrip, 5, predictor, offsets, counts);
  return WriteFile(outName, out) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "make") return Make(argv[2]);
  if (argc >= 4 && std::string(argv[1]) == "encode")
    return Encode(argv[2], argv[3], argc >= 5 ? uint32_t(std::atoi(argv[4])) : 1);
  std::fprintf(stderr, "usage: lzw_encode_bench make FILE | encode IN OUT [PREDICTOR]\n");
  return 2;
}
