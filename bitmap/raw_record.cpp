// The raw bitmap record: a bitmap with its palette, display settings and alpha channel as a
// self-describing block of bytes that starts with "TLXBITMAPRAW".
#include <algorithm>
#include <cstring>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/stream.h"

namespace lumenax {

namespace {

constexpr char kSignature[] = "TLXBITMAPRAW";
constexpr int64_t kSignatureSize = 12;
constexpr int32_t kMaxPaletteCount = 256;

class RecordWriter {
 public:
  explicit RecordWriter(TStream& s) : s_(s) {}
  void Bytes(const void* p, int64_t n) { s_.WriteBuffer(p, n); }
  void U8(uint8_t v) { Bytes(&v, 1); }
  void I32(int32_t v) {
    uint8_t b[4];
    for (int i = 0; i < 4; ++i) b[i] = uint8_t(uint32_t(v) >> (8 * i));
    Bytes(b, 4);
  }
  void F64(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = uint8_t(bits >> (8 * i));
    Bytes(b, 8);
  }

 private:
  TStream& s_;
};

double F64(ByteReader& r) {
  uint64_t lo = r.u32le();
  uint64_t hi = r.u32le();
  uint64_t bits = lo | hi << 32;
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

// Reads H rows stored at storedLen bytes each into a bitmap whose rows may be shorter or
// longer (another row alignment): the common part is copied, the rest of a longer stored
// row skipped, the rest of a longer bitmap row zeroed.
bool ReadRows(ByteReader& r, TLxBitmap& b, int64_t storedLen) {
  if (b.Height() == 0) return true;
  std::vector<uint8_t> row(static_cast<size_t>(storedLen));
  const int64_t take = std::min<int64_t>(storedLen, b.RowLen());
  for (int y = 0; y < b.Height(); ++y) {
    if (!r.bytes(row.data(), storedLen)) return false;
    uint8_t* out = b.ScanLine(y);
    std::memcpy(out, row.data(), size_t(take));
    if (take < b.RowLen()) std::memset(out + take, 0, size_t(b.RowLen() - take));
  }
  return true;
}

void WriteRows(RecordWriter& w, TLxBitmap& b) {
  for (int y = 0; y < b.Height(); ++y) w.Bytes(b.ScanLine(y), b.RowLen());
}

}  // namespace

void TLxBitmap::SaveRawToStream(TStream& stream) {
  RecordWriter w(stream);
  w.Bytes(kSignature, kSignatureSize);
  w.I32(0);
  const int32_t n = pixelFormat_ == lx8p ? kMaxPaletteCount : 0;
  w.I32(n);
  for (int32_t i = 0; i < n; ++i) {
    TRGB c = GetPaletteEntry(i);
    const uint8_t bgr[3] = {c.b, c.g, c.r};
    w.Bytes(bgr, 3);
  }
  w.I32(width_);
  w.I32(height_);
  w.U8(pixelFormat_);
  w.U8(AllOpaque ? 1 : 0);
  w.I32(QuantizeColors);
  w.F64(DisplayLow);
  w.F64(DisplayHigh);
  for (int32_t o : DisplayOffsets) w.I32(o);
  w.U8(DisplayAdjust ? 1 : 0);
  w.I32(DisplayContrast);
  w.I32(rowAlignment_);
  WriteRows(w, *this);
  w.U8(alpha_ ? 1 : 0);
  if (alpha_) {
    WriteRows(w, *alpha_);
    w.U8(alpha_->AllOpaque ? 1 : 0);
  }
}

bool TLxBitmap::LoadRawFromStream(TStream& stream) {
  ByteReader r(stream);
  char signature[kSignatureSize];
  if (!r.bytes(signature, kSignatureSize) ||
      std::memcmp(signature, kSignature, kSignatureSize) != 0)
    return false;
  if (r.s32le() < 0) return false;
  const int32_t n = r.s32le();
  if (!r.ok() || n < 0 || n > kMaxPaletteCount) return false;
  std::vector<uint8_t> palette(size_t(n) * 3);
  r.bytes(palette.data(), int64_t(palette.size()));
  const int32_t width = r.s32le();
  const int32_t height = r.s32le();
  const uint8_t layout = r.u8();
  const bool allOpaque = r.u8() != 0;
  const int32_t quantizeColors = r.s32le();
  const double displayLow = F64(r);
  const double displayHigh = F64(r);
  int32_t offsets[4];
  for (int32_t& o : offsets) o = r.s32le();
  const bool displayAdjust = r.u8() != 0;
  const int32_t contrast = r.s32le();
  const int32_t alignment = r.s32le();
  if (!r.ok() || layout >= kPixelFormatCount || width < 0 || height < 0 ||
      (layout == lxNone) != (width == 0 || height == 0) || alignment < 8 || alignment % 8 != 0)
    return false;

  // The rows are stored at the record's own row length; they must all be there before
  // anything is allocated for them.
  const int64_t stored = ComputeRowLen(width, BitCountOf(lumenax::PixelFormat(layout)), alignment);
  // (An empty bitmap still may not announce rows longer than the record.)
  if (stored < 0 || stored > r.remaining() / std::max(height, 1)) return false;

  TLxBitmap fresh;
  fresh.SetRowAlignment(alignment);
  if (layout != lxNone && !fresh.Allocate(width, height, lumenax::PixelFormat(layout))) return false;
  for (int32_t i = 0; i < n && i < fresh.PaletteCount(); ++i)
    fresh.SetPaletteEntry(i, TRGB{palette[size_t(i) * 3], palette[size_t(i) * 3 + 1],
                                  palette[size_t(i) * 3 + 2]});
  if (!ReadRows(r, fresh, stored)) return false;
  const uint8_t alphaFlag = r.u8();
  if (!r.ok()) return false;
  bool alphaOpaque = true;
  if (alphaFlag != 0) {
    const int64_t alphaStored = ComputeRowLen(width, 8, alignment);
    if (alphaStored < 0 || alphaStored > r.remaining() / std::max(height, 1)) return false;
    TLxBitmap* alpha = fresh.AlphaChannel();
    if (!alpha || !ReadRows(r, *alpha, alphaStored)) return false;
    alphaOpaque = r.u8() != 0;
    if (!r.ok()) return false;
    alpha->AllOpaque = alphaOpaque;
  }

  fresh.MoveImageTo(*this);
  AllOpaque = allOpaque;
  QuantizeColors = quantizeColors;
  DisplayLow = displayLow;
  DisplayHigh = displayHigh;
  std::memcpy(DisplayOffsets, offsets, sizeof offsets);
  DisplayAdjust = displayAdjust;
  DisplayContrast = contrast;
  return true;
}

int64_t TLxBitmap::SaveRawToMemory(void* address, int64_t capacity) {
  TMemoryStream s;
  SaveRawToStream(s);
  if (int64_t(s.Bytes().size()) > capacity) return -1;
  std::memcpy(address, s.Bytes().data(), s.Bytes().size());
  return int64_t(s.Bytes().size());
}

bool TLxBitmap::LoadRawFromMemory(const void* address, int64_t length) {
  TLxMemStream s(address, length);
  return LoadRawFromStream(s);
}

}  // namespace lumenax
