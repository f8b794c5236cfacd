// Photoshop reader.
//
// Hostile input: every section, resource, layer record and channel is checked against the
// section that holds it and against the stream before it is used; each channel is read from
// the offset its record's lengths give, so a channel that decodes short or long cannot shift
// the next one. A bitmap is allocated only when its data could describe it (raw data of the
// exact size, PackBits data with a byte count for every row, ZIP data within zlib's largest
// ratio). PackBits rows are decoded each from its own byte count and clipped to the row; rows
// the data never reach stay zero and the load reports "truncated".
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <span>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/common/packbits.h"
#include "codecs/jpeg/jpeg.h"
#include "codecs/psd/psd.h"
#include "io/params.h"

namespace lumenax {

namespace {

constexpr int kMaxLayerChannels = 56;
// Deflate never expands data more than about 1032 times.
constexpr uint64_t kZipMaxRatio = 1032;

enum PsdMode : uint16_t {
  kBitmap = 0,
  kGray = 1,
  kIndexed = 2,
  kRgb = 3,
  kCmyk = 4,
  kMultichannel = 7,
  kDuotone = 8,
  kLab = 9,
};

// The bitmap layout of a mode and depth; lxNone for what is not decoded.
PixelFormat LayoutOf(uint16_t mode, uint16_t depth) {
  if (depth == 1) return mode == kBitmap ? lx1g : lxNone;
  if (depth == 8) {
    switch (mode) {
      case kGray:
      case kDuotone:
        return lx8g;
      case kIndexed:
        return lx8p;
      case kRgb:
        return lx24RGB;
      case kCmyk:
        return lxCMYK;
      case kLab:
        return lxCIELab;
      default:
        return lxNone;
    }
  }
  if (depth == 16) {
    switch (mode) {
      case kGray:
      case kDuotone:
        return lx16g;
      case kRgb:
        return lxRGB48;
      case kCmyk:
        return lxCMYK;
      case kLab:
        return lxCIELab;
      default:
        return lxNone;
    }
  }
  return lxNone;
}

int ColorChannelsOf(PixelFormat pf) {
  switch (pf) {
    case lx24RGB:
    case lxRGB48:
    case lxCIELab:
      return 3;
    case lxCMYK:
      return 4;
    default:
      return 1;
  }
}

struct Rect {
  int32_t top = 0, left = 0, bottom = 0, right = 0;
  int64_t Width() const { return int64_t(right) - left; }
  int64_t Height() const { return int64_t(bottom) - top; }
  bool Valid() const { return bottom >= top && right >= left; }
};

struct ChannelEntry {
  int16_t id = 0;
  uint32_t length = 0;
  int64_t start = 0;  // stream position of the channel's compression word
};

struct LayerEntry {
  Rect rect;
  std::vector<ChannelEntry> channels;
  uint8_t opacity = 255, clipping = 0, flags = 0;
  bool hasMask = false;
  Rect mask;
  std::string name;
};

// Reads within [position, end) of the stream; a read that would pass end fails (and reads
// nothing), so a bad length inside a section cannot reach the next one.
class Section {
 public:
  Section(TStream& s, int64_t end) : s_(s), end_(end) {}
  bool ok() const { return ok_; }
  int64_t pos() { return s_.Position(); }
  int64_t end() const { return end_; }
  int64_t left() {
    const int64_t r = end_ - pos();
    return r < 0 ? 0 : r;
  }
  bool bytes(void* dst, int64_t n) {
    if (!ok_ || n < 0 || n > left() || s_.Read(dst, n) != n) {
      ok_ = false;
      return false;
    }
    return true;
  }
  uint8_t u8() {
    uint8_t b = 0;
    bytes(&b, 1);
    return b;
  }
  uint16_t u16() {
    uint8_t b[2] = {};
    bytes(b, 2);
    return LoadU16BE(b);
  }
  uint32_t u32() {
    uint8_t b[4] = {};
    bytes(b, 4);
    return LoadU32BE(b);
  }
  bool seek(int64_t to) {
    if (!ok_ || to > end_ || to < 0) {
      ok_ = false;
      return false;
    }
    s_.Seek(to, soBeginning);
    return true;
  }
  bool skip(int64_t n) { return n >= 0 && seek(pos() + n); }

 private:
  TStream& s_;
  int64_t end_;
  bool ok_ = true;
};

void RemoveWhiteMatte(TLxBitmap& b);

// Where a decoded PSD channel row goes in the bitmap.
enum class Role { Color, Alpha, Skip };

class Reader {
 public:
  Reader(TStream& s, TLxBitmap& bitmap, TIOParamsVals& params, TLxLayerList* layers,
         bool loadLayers, ProgressRecord& progress, bool headerOnly)
      : s_(s),
        bitmap_(bitmap),
        params_(params),
        layers_(layers),
        loadLayers_(loadLayers),
        progress_(progress),
        headerOnly_(headerOnly) {}

  void Run();

 private:
  bool Failed() const { return progress_.Aborting(); }
  void Fail(TLxFailure code, int64_t at, std::string_view detail = {}) {
    progress_.Fail(code, at - start_, detail);
  }

  bool ReadHeader();
  bool ReadColorModeData();
  bool ReadResources();
  void HandleResource(uint16_t id, std::vector<uint8_t>& data, int64_t at);
  bool ReadLayerSection();
  bool ReadLayerRecord(Section& sec, LayerEntry& e);
  bool ReadLayerChannels(std::vector<LayerEntry>& entries, int64_t infoEnd);
  void ReadMergedImage();
  void RemoveEmptyLayers();
  void ConvertToRgb();

  // Checks that a channel of rows x rowBytes can come from dataLen bytes after its
  // compression word; false (with the reason set) when it cannot.
  bool ChannelDescribes(uint16_t compression, int64_t dataLen, int64_t rows, int64_t rowBytes,
                        int64_t at);
  // Decodes one layer channel held in buf (after its compression word) row by row.
  bool DecodeBuffer(uint16_t compression, std::span<const uint8_t> buf, int rows, size_t rowBytes,
                    const std::function<void(int, const uint8_t*)>& emit);
  bool Inflate(std::span<const uint8_t> in, std::vector<uint8_t>& out);
  void Unpredict(std::vector<uint8_t>& data, int rows, size_t rowBytes);

  void Scatter(TLxBitmap& bmp, PixelFormat pf, Role role, int colour, int row, const uint8_t* src);

  TStream& s_;
  TLxBitmap& bitmap_;
  TIOParamsVals& params_;
  TLxLayerList* layers_;
  bool loadLayers_;
  ProgressRecord& progress_;
  bool headerOnly_;

  int64_t start_ = 0;
  int64_t size_ = 0;
  uint16_t channels_ = 0, depth_ = 0, mode_ = 0;
  int32_t width_ = 0, height_ = 0;
  PixelFormat pf_ = lxNone;
  std::vector<uint8_t> palette_;
  int32_t transparentIndex_ = -1;
  bool thumbnailReplaced_ = false;
  bool layersLoaded_ = false;
  int32_t layerCount_ = 0;  // as stored (negative: the merged image has transparency)
  bool hasLayerInfo_ = false;
  bool truncated_ = false;
  int64_t truncatedAt_ = -1;
  std::vector<uint8_t> row_;
};

void Reader::Run() {
  progress_.Report(0);
  start_ = s_.Position();
  size_ = s_.Size();
  if (!ReadHeader()) return;
  if (!ReadColorModeData() || !ReadResources()) return;
  if (headerOnly_) return;
  if (thumbnailReplaced_) return;
  if (pf_ == lxNone) {
    Fail(TLxFailure::Unsupported, start_,
         mode_ == kMultichannel ? "multichannel images are not supported"
                                : "this colour mode and depth are not supported");
    return;
  }
  if (!ReadLayerSection()) return;
  if (!layersLoaded_) ReadMergedImage();
  if (Failed() && !truncated_) return;
  if (!params_.IsNativePixelFormat) ConvertToRgb();
  if (truncated_) Fail(TLxFailure::Truncated, truncatedAt_);
}

bool Reader::ReadHeader() {
  uint8_t h[26];
  if (s_.Read(h, 26) != 26) {
    Fail(TLxFailure::Truncated, start_, "truncated header");
    return false;
  }
  if (std::memcmp(h, "8BPS", 4) != 0 || LoadU16BE(h + 4) != 1) {
    Fail(TLxFailure::BadSignature, start_);
    return false;
  }
  channels_ = LoadU16BE(h + 12);
  const uint32_t height = LoadU32BE(h + 14), width = LoadU32BE(h + 18);
  depth_ = LoadU16BE(h + 22);
  mode_ = LoadU16BE(h + 24);
  if (channels_ == 0 || channels_ > 24 || depth_ == 0 || depth_ > 16 || mode_ >= 10) {
    Fail(TLxFailure::BadHeader, start_);
    return false;
  }
  if (width == 0 || height == 0 || width > uint32_t(kPsdMaxSide) ||
      height > uint32_t(kPsdMaxSide)) {
    Fail(TLxFailure::BadHeader, start_ + 14, "image size out of range");
    return false;
  }
  width_ = int32_t(width);
  height_ = int32_t(height);
  pf_ = LayoutOf(mode_, depth_);
  params_.Width = width_;
  params_.Height = height_;
  params_.BitsPerSample = depth_;
  params_.SamplesPerPixel = channels_;
  params_.DpiX = 96;
  params_.DpiY = 96;
  return true;
}

bool Reader::ReadColorModeData() {
  Section sec(s_, size_);
  const int64_t at = sec.pos();
  const uint32_t len = sec.u32();
  if (!sec.ok() || len > uint64_t(sec.left())) {
    Fail(TLxFailure::Truncated, at, "truncated colour mode data");
    return false;
  }
  if (len == 768) {
    palette_.resize(768);
    sec.bytes(palette_.data(), 768);
  } else {
    sec.skip(len);
  }
  return true;
}

bool Reader::ReadResources() {
  Section whole(s_, size_);
  const int64_t at = whole.pos();
  const uint32_t len = whole.u32();
  if (!whole.ok() || len > uint64_t(whole.left())) {
    Fail(TLxFailure::Truncated, at, "truncated image resources");
    return false;
  }
  const int64_t end = whole.pos() + len;
  Section sec(s_, end);
  std::vector<uint8_t> data;
  while (sec.left() > 0) {
    if ((sec.pos() - start_) & 1) sec.skip(1);
    const int64_t resAt = sec.pos();
    char sig[4];
    if (!sec.bytes(sig, 4) || std::memcmp(sig, "8BIM", 4) != 0) break;
    const uint16_t id = sec.u16();
    const uint8_t nameLen = sec.u8();
    sec.skip(nameLen + ((nameLen + 1) & 1));
    const uint32_t dataLen = sec.u32();
    // A resource must end inside its section.
    if (!sec.ok() || dataLen == 0 || dataLen > uint64_t(sec.left())) break;
    data.resize(dataLen);
    sec.bytes(data.data(), dataLen);
    HandleResource(id, data, resAt);
    if (dataLen & 1) sec.skip(1);
    if (!sec.ok()) break;
  }
  s_.Seek(end, soBeginning);
  return !Failed();
}

void Reader::HandleResource(uint16_t id, std::vector<uint8_t>& data, int64_t at) {
  (void)at;
  const uint8_t* d = data.data();
  const size_t n = data.size();
  switch (id) {
    case 1005:
      if (n >= 16) {
        // A resolution below 1 dpi says nothing: the default stays.
        const int32_t x = int32_t(LoadU32BE(d) / 65536), y = int32_t(LoadU32BE(d + 8) / 65536);
        if (x >= 1) params_.DpiX = x;
        if (y >= 1) params_.DpiY = y;
      }
      break;
    case 1028:
      params_.IPTC_Info.LoadFromBuffer(d, int64_t(n));
      break;
    case 1036: {
      if (n <= 28) break;
      TLxMemStream jpeg(d + 28, int64_t(n - 28));
      auto thumb = std::make_unique<TLxBitmap>();
      TIOParamsVals scratch;
      bool aborting = false;
      ProgressRecord p;
      p.AbortingPtr = &aborting;
      p.MaxPixels = progress_.MaxPixels;
      TLxJpegReadOptions options;
      options.ReadIccProfile = false;
      options.ReadMetadata = false;
      ReadJpegStream(jpeg, *thumb, scratch, options, p);
      // A thumbnail that does not decode is dropped; the image does not depend on it.
      if (aborting || thumb->IsEmpty()) break;
      if (params_.LoadExifThumbnail && !headerOnly_) {
        bitmap_.Assign(*thumb);
        params_.Width = thumb->Width();
        params_.Height = thumb->Height();
        thumbnailReplaced_ = true;
      }
      thumb->MoveImageTo(params_.ExifThumbnail.Create());
      break;
    }
    case 1039:
      params_.InputICCProfile().LoadFromBuffer(d, n);
      break;
    case 1047:
      if (n >= 2) transparentIndex_ = LoadU16BE(d);
      break;
    case 1060:
      params_.XMP_Info.assign(reinterpret_cast<const char*>(d), n);
      while (!params_.XMP_Info.empty() && params_.XMP_Info.back() == '\0')
        params_.XMP_Info.pop_back();
      break;
    default:
      break;
  }
}

bool Reader::ReadLayerSection() {
  Section whole(s_, size_);
  const int64_t at = whole.pos();
  const uint32_t len = whole.u32();
  if (!whole.ok()) {
    Fail(TLxFailure::Truncated, at, "truncated layer section");
    return false;
  }
  if (len > uint64_t(whole.left())) {
    Fail(TLxFailure::Truncated, at, "layer section runs past the end of the data");
    return false;
  }
  const int64_t end = whole.pos() + len;
  if (len > 0) {
    Section sec(s_, end);
    const uint32_t infoLen = sec.u32();
    if (!sec.ok() || infoLen > uint64_t(sec.left())) {
      Fail(TLxFailure::BadData, at + 4, "layer info longer than its section");
      return false;
    }
    const int64_t infoEnd = sec.pos() + infoLen;
    if (infoLen >= 2) {
      Section info(s_, infoEnd);
      layerCount_ = int16_t(info.u16());
      hasLayerInfo_ = layerCount_ != 0;
      const int count = std::abs(layerCount_);
      if (layers_ && count > 0 && (loadLayers_ || count == 1)) {
        std::vector<LayerEntry> entries(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
          if (!ReadLayerRecord(info, entries[size_t(i)])) return false;
        }
        if (!ReadLayerChannels(entries, infoEnd)) return false;
        RemoveEmptyLayers();
        layersLoaded_ = loadLayers_ && !layers_->empty();
      }
    }
  }
  s_.Seek(end, soBeginning);
  return true;
}

bool Reader::ReadLayerRecord(Section& sec, LayerEntry& e) {
  const int64_t at = sec.pos();
  auto bad = [&](std::string_view why) {
    Fail(TLxFailure::BadData, at, why);
    return false;
  };
  e.rect.top = int32_t(sec.u32());
  e.rect.left = int32_t(sec.u32());
  e.rect.bottom = int32_t(sec.u32());
  e.rect.right = int32_t(sec.u32());
  const uint16_t nch = sec.u16();
  if (!sec.ok()) return bad("truncated layer record");
  if (!e.rect.Valid()) return bad("layer rectangle upside down");
  if (nch > kMaxLayerChannels) return bad("too many layer channels");
  e.channels.resize(nch);
  for (ChannelEntry& c : e.channels) {
    c.id = int16_t(sec.u16());
    c.length = sec.u32();
  }
  char sig[4], key[4];
  sec.bytes(sig, 4);
  sec.bytes(key, 4);
  e.opacity = sec.u8();
  e.clipping = sec.u8();
  e.flags = sec.u8();
  sec.u8();
  const uint32_t extraLen = sec.u32();
  if (!sec.ok()) return bad("truncated layer record");
  if (extraLen > uint64_t(sec.left())) return bad("layer extra data longer than its section");
  const int64_t extraEnd = sec.pos() + extraLen;
  {
    Section extra(s_, extraEnd);
    const uint32_t maskLen = extra.u32();
    if (!extra.ok() || maskLen > uint64_t(extra.left())) return bad("bad layer mask data");
    const int64_t maskEnd = extra.pos() + maskLen;
    if (maskLen > 0) {
      if (maskLen < 18) return bad("layer mask data too short");
      e.hasMask = true;
      e.mask.top = int32_t(extra.u32());
      e.mask.left = int32_t(extra.u32());
      e.mask.bottom = int32_t(extra.u32());
      e.mask.right = int32_t(extra.u32());
      if (!e.mask.Valid()) return bad("mask rectangle upside down");
      extra.seek(maskEnd);
    }
    const uint32_t blendLen = extra.u32();
    if (!extra.ok() || blendLen > uint64_t(extra.left())) return bad("bad blending ranges");
    extra.skip(blendLen);
    if (extra.left() > 0) {
      const uint8_t nameLen = extra.u8();
      std::string name(nameLen, '\0');
      if (extra.bytes(name.data(), nameLen)) e.name = std::move(name);
    }
    // The rest (padding, additional layer information) is not used.
  }
  sec.seek(extraEnd);
  return sec.ok() || bad("truncated layer record");
}

bool Reader::ChannelDescribes(uint16_t compression, int64_t dataLen, int64_t rows, int64_t rowBytes,
                              int64_t at) {
  uint64_t need = 0;
  if (!checked_mul(uint64_t(rows), uint64_t(rowBytes), need)) {
    Fail(TLxFailure::TooLarge, at);
    return false;
  }
  switch (compression) {
    case 0:
      if (uint64_t(dataLen) != need) {
        Fail(TLxFailure::BadData, at, "raw channel data of the wrong size");
        return false;
      }
      return true;
    case 1:
      if (uint64_t(dataLen) < uint64_t(rows) * 2) {
        Fail(TLxFailure::TooLarge, at, "PackBits channel shorter than its row table");
        return false;
      }
      return true;
    case 2:
    case 3:
      if (need > uint64_t(dataLen) * kZipMaxRatio + 1024) {
        Fail(TLxFailure::TooLarge, at, "ZIP channel too short for its rectangle");
        return false;
      }
      if (compression == 3 && depth_ != 8 && depth_ != 16) {
        Fail(TLxFailure::Unsupported, at, "ZIP prediction of this depth");
        return false;
      }
      return true;
    default:
      Fail(TLxFailure::Unsupported, at, "unknown channel compression");
      return false;
  }
}

bool Reader::Inflate(std::span<const uint8_t> in, std::vector<uint8_t>& out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = uInt(std::min<size_t>(in.size(), UINT32_MAX));
  z.next_out = out.data();
  z.avail_out = uInt(std::min<size_t>(out.size(), UINT32_MAX));
  int r = Z_OK;
  while (r == Z_OK && z.avail_out > 0) r = inflate(&z, Z_NO_FLUSH);
  const size_t produced = out.size() - z.avail_out;
  inflateEnd(&z);
  std::fill(out.begin() + ptrdiff_t(produced), out.end(), 0);
  return produced == out.size();
}

void Reader::Unpredict(std::vector<uint8_t>& data, int rows, size_t rowBytes) {
  for (int r = 0; r < rows; ++r) {
    uint8_t* p = data.data() + size_t(r) * rowBytes;
    if (depth_ == 16) {
      uint16_t prev = 0;
      for (size_t x = 0; x + 1 < rowBytes; x += 2) {
        prev = uint16_t(prev + LoadU16BE(p + x));
        p[x] = uint8_t(prev >> 8);
        p[x + 1] = uint8_t(prev);
      }
    } else {
      for (size_t x = 1; x < rowBytes; ++x) p[x] = uint8_t(p[x] + p[x - 1]);
    }
  }
}

bool Reader::DecodeBuffer(uint16_t compression, std::span<const uint8_t> buf, int rows,
                          size_t rowBytes, const std::function<void(int, const uint8_t*)>& emit) {
  bool complete = true;
  if (compression == 0) {
    for (int r = 0; r < rows; ++r) emit(r, buf.data() + size_t(r) * rowBytes);
  } else if (compression == 1) {
    const uint8_t* table = buf.data();
    size_t offset = size_t(rows) * 2;
    row_.resize(rowBytes);
    for (int r = 0; r < rows; ++r) {
      const size_t count = LoadU16BE(table + 2 * size_t(r));
      const size_t avail = offset < buf.size() ? std::min(count, buf.size() - offset) : 0;
      const TLxPackBitsResult res =
          DecodePackBits(buf.subspan(std::min(offset, buf.size()), avail), row_);
      if (!res.Complete) complete = false;
      offset += count;
      emit(r, row_.data());
    }
  } else {
    std::vector<uint8_t> out(size_t(rows) * rowBytes);
    if (!Inflate(buf, out)) complete = false;
    if (compression == 3) Unpredict(out, rows, rowBytes);
    for (int r = 0; r < rows; ++r) emit(r, out.data() + size_t(r) * rowBytes);
  }
  return complete;
}

void Reader::Scatter(TLxBitmap& bmp, PixelFormat pf, Role role, int c, int row,
                     const uint8_t* src) {
  const int w = bmp.Width();
  const bool wide = depth_ == 16;
  if (role == Role::Alpha) {
    uint8_t* d = bmp.AlphaChannel()->ScanLine(row);
    if (wide)
      for (int x = 0; x < w; ++x) d[x] = src[2 * x];
    else
      std::memcpy(d, src, size_t(w));
    return;
  }
  uint8_t* d = bmp.ScanLine(row);
  switch (pf) {
    case lx1g: {
      const int n = (w + 7) / 8;
      for (int i = 0; i < n; ++i) d[i] = uint8_t(~src[i]);
      break;
    }
    case lx8g:
    case lx8p:
      std::memcpy(d, src, size_t(w));
      if (pf == lx8p && transparentIndex_ >= 0) {
        uint8_t* a = bmp.AlphaChannel()->ScanLine(row);
        for (int x = 0; x < w; ++x) a[x] = src[x] == transparentIndex_ ? 0 : 255;
        d = bmp.ScanLine(row);
      }
      break;
    case lx16g:
      for (int x = 0; x < w; ++x) {
        const uint16_t v = LoadU16BE(src + 2 * x);
        std::memcpy(d + 2 * x, &v, 2);
      }
      break;
    case lx24RGB: {
      uint8_t* p = d + (2 - c);
      for (int x = 0; x < w; ++x) p[3 * x] = src[x];
      break;
    }
    case lxRGB48:
      for (int x = 0; x < w; ++x) {
        const uint16_t v = LoadU16BE(src + 2 * x);
        std::memcpy(d + 6 * x + 2 * c, &v, 2);
      }
      break;
    case lxCMYK: {
      const int step = wide ? 2 : 1;
      for (int x = 0; x < w; ++x) d[4 * x + c] = src[step * x];
      break;
    }
    case lxCIELab: {
      const int step = wide ? 2 : 1;
      const uint8_t flip = c == 0 ? 0 : 0x80;  // a and b are stored plus 128
      for (int x = 0; x < w; ++x) d[3 * x + c] = uint8_t(src[step * x] ^ flip);
      break;
    }
    default:
      break;
  }
}

bool Reader::ReadLayerChannels(std::vector<LayerEntry>& entries, int64_t infoEnd) {
  // Every channel's place comes from the lengths in the records.
  int64_t pos = s_.Position();
  for (LayerEntry& e : entries) {
    for (ChannelEntry& c : e.channels) {
      c.start = pos;
      pos += c.length;
      if (pos > infoEnd) {
        Fail(TLxFailure::BadData, c.start, "layer channel data past the end of the layer info");
        return false;
      }
    }
  }
  const int colour = ColorChannelsOf(pf_);
  const size_t count = entries.size();
  // Layers read without being asked for serve only the single-layer transparency rule: their
  // colours are never used, so only their transparency is decoded.
  const bool alphaOnly = !loadLayers_;
  std::vector<uint8_t> buf;
  for (size_t i = 0; i < count && !Failed(); ++i) {
    LayerEntry& e = entries[i];
    auto layer = std::make_unique<TLxLayer>();
    layer->PosX = e.rect.left;
    layer->PosY = e.rect.top;
    layer->Opacity = e.opacity;
    layer->Name = e.name;
    layer->Visible = (e.flags & 2) == 0;
    layer->ClippingBase = e.clipping == 0;
    std::unique_ptr<TLxLayer> mask;
    for (const ChannelEntry& c : e.channels) {
      const bool isMask = c.id == -2;
      Role role = Role::Skip;
      int colourIndex = 0;
      if (isMask) {
        role = Role::Color;
      } else if (c.id == -1 || c.id == colour) {
        role = pf_ == lx1g ? Role::Skip : Role::Alpha;
      } else if (c.id >= 0 && c.id < colour) {
        role = Role::Color;
        colourIndex = c.id;
      }
      if (role == Role::Skip || (isMask && !e.hasMask)) continue;
      const Rect& r = isMask ? e.mask : e.rect;
      const int64_t w = r.Width(), h = r.Height();
      if (w == 0 || h == 0) continue;
      if (c.length < 2) {
        Fail(TLxFailure::BadData, c.start, "layer channel without data");
        return false;
      }
      const PixelFormat pf = isMask ? lx8g : alphaOnly ? lx1g : pf_;
      const int chDepth = isMask ? 8 : depth_;
      const int64_t rowBytes = (w * chDepth + 7) / 8;
      s_.Seek(c.start, soBeginning);
      uint8_t cw[2];
      s_.Read(cw, 2);
      const uint16_t compression = LoadU16BE(cw);
      if (!ChannelDescribes(compression, int64_t(c.length) - 2, h, rowBytes, c.start)) return false;
      if (w > kPsdMaxSide * 10 || h > kPsdMaxSide * 10 ||
          !progress_.PixelsAllowed(uint64_t(w), uint64_t(h))) {
        Fail(TLxFailure::TooLarge, c.start);
        return false;
      }
      TLxLayer* target = layer.get();
      if (isMask) {
        if (!mask) {
          mask = std::make_unique<TLxLayer>();
          mask->IsMask = true;
          mask->Visible = false;
          mask->PosX = e.mask.left;
          mask->PosY = e.mask.top;
        }
        target = mask.get();
      }
      TLxBitmap& bmp = *target->Bitmap;
      if (bmp.IsEmpty()) {
        if (!bmp.Allocate(int(w), int(h), pf)) {
          Fail(TLxFailure::OutOfMemory, c.start);
          return false;
        }
        if (pf == lx8p) {
          for (int k = 0; k < 256; ++k)
            bmp.SetPaletteEntry(k, palette_.empty()
                                       ? TRGB{}
                                       : CreateRGB(palette_[size_t(k)], palette_[256 + size_t(k)],
                                                   palette_[512 + size_t(k)]));
        }
      }
      if (alphaOnly && role == Role::Color) continue;
      buf.resize(c.length - 2);
      if (s_.Read(buf.data(), int64_t(buf.size())) != int64_t(buf.size())) {
        Fail(TLxFailure::Truncated, c.start);
        return false;
      }
      const PixelFormat scatterPf = pf;
      const bool complete = DecodeBuffer(compression, buf, int(h), size_t(rowBytes),
                                         [&](int row, const uint8_t* src) {
                                           if (isMask) {
                                             std::memcpy(bmp.ScanLine(row), src, size_t(w));
                                             return;
                                           }
                                           Scatter(bmp, scatterPf, role, colourIndex, row, src);
                                         });
      if (!complete && !truncated_) {
        truncated_ = true;
        truncatedAt_ = c.start;
      }
    }
    if (layer->Bitmap->HasAlphaChannel()) layer->Bitmap->AlphaChannel()->UpdateAllOpaque();
    layers_->push_back(std::move(layer));
    if (mask) layers_->push_back(std::move(mask));
    if (progress_.Assigned()) progress_.Report(int(double(i) / double(count) * 100));
  }
  return !Failed();
}

void Reader::RemoveEmptyLayers() {
  TLxLayerList& list = *layers_;
  TLxLayerList kept;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i]->Bitmap->Width() == 0 || list[i]->Bitmap->Height() == 0) {
      if (!list[i]->IsMask && i + 1 < list.size() && list[i + 1]->IsMask) ++i;
      continue;
    }
    kept.push_back(std::move(list[i]));
  }
  list = std::move(kept);
}

void Reader::ReadMergedImage() {
  Section sec(s_, size_);
  const int64_t at = sec.pos();
  const uint16_t compression = sec.u16();
  if (!sec.ok()) {
    Fail(TLxFailure::Truncated, at, "no merged image");
    return;
  }
  const int colour = ColorChannelsOf(pf_);
  // The first extra channel is transparency only in files whose layer count is negative or
  // that have no layers; otherwise it is a saved selection.
  const bool extraIsAlpha = pf_ != lx1g && (layerCount_ < 0 || !hasLayerInfo_);
  // Too few channels for the mode: what is there is read, the rest stays zero.
  const int colourUsed = pf_ == lx8p ? 1 : colour;
  int used = std::min<int>(channels_, colourUsed);
  if (extraIsAlpha && channels_ > colourUsed) used = colourUsed + 1;
  const int rows = height_;
  const size_t rowBytes = (size_t(width_) * depth_ + 7) / 8;
  if (!progress_.PixelsAllowed(uint64_t(width_), uint64_t(height_))) {
    Fail(TLxFailure::TooLarge, at);
    return;
  }
  // Allocate only when the data left can describe the image.
  const uint64_t plane = uint64_t(rows) * rowBytes;
  const int64_t left = sec.left();
  switch (compression) {
    case 0:
      if (uint64_t(left) < plane * uint64_t(used)) {
        Fail(TLxFailure::Truncated, at, "raw merged image shorter than its size");
        return;
      }
      break;
    case 1:
      if (uint64_t(left) < uint64_t(rows) * channels_ * 2) {
        Fail(TLxFailure::Truncated, at, "merged image row table past the end of the data");
        return;
      }
      break;
    case 2:
    case 3:
      if (plane * uint64_t(used) > uint64_t(left) * kZipMaxRatio + 1024) {
        Fail(TLxFailure::TooLarge, at, "ZIP merged image too short for its size");
        return;
      }
      break;
    default:
      Fail(TLxFailure::Unsupported, at, "unknown merged image compression");
      return;
  }
  bitmap_.FreeImage(true);
  if (!bitmap_.Allocate(width_, height_, pf_)) {
    Fail(TLxFailure::OutOfMemory, at);
    return;
  }
  if (pf_ == lx8p) {
    for (int k = 0; k < 256; ++k)
      bitmap_.SetPaletteEntry(k, palette_.empty()
                                     ? TRGB{}
                                     : CreateRGB(palette_[size_t(k)], palette_[256 + size_t(k)],
                                                 palette_[512 + size_t(k)]));
  }
  auto roleOf = [&](int c) { return c < colourUsed ? Role::Color : Role::Alpha; };
  progress_.BeginRows(used * rows);
  auto emitRow = [&](int c, int r, const uint8_t* src) {
    Scatter(bitmap_, pf_, roleOf(c), c, r, src);
    progress_.RowDone();
  };
  auto truncatedAt = [&](int64_t pos) {
    if (!truncated_) {
      truncated_ = true;
      truncatedAt_ = pos;
    }
  };
  if (compression == 0) {
    // Blocks of rows straight from the stream.
    const int blockRows =
        int(std::max<size_t>(1, (size_t(1) << 20) / std::max<size_t>(rowBytes, 1)));
    std::vector<uint8_t> block(size_t(std::min(blockRows, rows)) * rowBytes);
    for (int c = 0; c < used && !Failed(); ++c) {
      s_.Seek(at + 2 + int64_t(c) * int64_t(plane), soBeginning);
      for (int r = 0; r < rows && !Failed(); r += blockRows) {
        const int n = std::min(blockRows, rows - r);
        s_.Read(block.data(), int64_t(size_t(n) * rowBytes));
        for (int k = 0; k < n && !Failed(); ++k)
          emitRow(c, r + k, block.data() + size_t(k) * rowBytes);
      }
    }
  } else if (compression == 1) {
    std::vector<uint8_t> table(size_t(rows) * channels_ * 2);
    sec.bytes(table.data(), int64_t(table.size()));
    int64_t pos = sec.pos();
    std::vector<uint8_t> data;
    row_.resize(rowBytes);
    for (int c = 0; c < used && !Failed(); ++c) {
      uint64_t sum = 0;
      for (int r = 0; r < rows; ++r) sum += LoadU16BE(&table[(size_t(c) * rows + r) * 2]);
      const int64_t have = std::max<int64_t>(0, size_ - pos);
      data.resize(size_t(std::min<uint64_t>(sum, uint64_t(have))));
      s_.Seek(pos, soBeginning);
      s_.Read(data.data(), int64_t(data.size()));
      size_t offset = 0;
      for (int r = 0; r < rows && !Failed(); ++r) {
        const size_t count = LoadU16BE(&table[(size_t(c) * rows + r) * 2]);
        const size_t avail = offset < data.size() ? std::min(count, data.size() - offset) : 0;
        const TLxPackBitsResult res = DecodePackBits(
            std::span<const uint8_t>(data).subspan(std::min(offset, data.size()), avail), row_);
        if (!res.Complete) truncatedAt(pos + int64_t(offset));
        offset += count;
        emitRow(c, r, row_.data());
      }
      pos += int64_t(sum);
    }
  } else {
    std::vector<uint8_t> in(size_t(sec.left()));
    sec.bytes(in.data(), int64_t(in.size()));
    std::vector<uint8_t> out(plane * size_t(used));
    if (!Inflate(in, out)) truncatedAt(at + 2);
    if (compression == 3) Unpredict(out, rows * used, rowBytes);
    for (int c = 0; c < used && !Failed(); ++c)
      for (int r = 0; r < rows && !Failed(); ++r)
        emitRow(c, r, out.data() + (size_t(c) * rows + r) * rowBytes);
  }
  if (bitmap_.HasAlphaChannel()) bitmap_.AlphaChannel()->UpdateAllOpaque();
  // With a negative layer count the merged image is the layers composed over white: take the
  // white back out where the image is partly transparent.
  if (layerCount_ < 0 && used > colourUsed && bitmap_.HasAlphaChannel()) RemoveWhiteMatte(bitmap_);
}

void RemoveWhiteMatte(TLxBitmap& b) {
  const PixelFormat pf = b.PixelFormat();
  int samples;  // colour samples per pixel that are composed over white
  switch (pf) {
    case lx8g:
    case lx16g:
      samples = 1;
      break;
    case lx24RGB:
    case lxRGB48:
      samples = 3;
      break;
    case lxCMYK:  // stored as 255 minus ink: white is 255 in every sample
      samples = 4;
      break;
    default:
      return;
  }
  const bool wide = pf == lx16g || pf == lxRGB48;
  TLxBitmap* alpha = b.AlphaChannel();
  std::vector<uint8_t> a(size_t(b.Width()));
  for (int y = 0; y < b.Height(); ++y) {
    std::memcpy(a.data(), alpha->ScanLine(y), a.size());
    uint8_t* p = b.ScanLine(y);
    for (int x = 0; x < b.Width(); ++x) {
      const uint32_t av = a[size_t(x)];
      if (av == 0 || av == 255) continue;
      for (int k = 0; k < samples; ++k) {
        if (wide) {
          uint16_t v;
          std::memcpy(&v, p + 2 * (size_t(x) * samples + k), 2);
          const int64_t a16 = int64_t(av) * 257;
          const int64_t c = (int64_t(v) - (65535 - a16)) * 65535 / a16;
          v = uint16_t(std::clamp<int64_t>(c, 0, 65535));
          std::memcpy(p + 2 * (size_t(x) * samples + k), &v, 2);
        } else {
          uint8_t& v = p[size_t(x) * samples + k];
          const int c = (int(v) - int(255 - av)) * 255 / int(av);
          v = uint8_t(std::clamp(c, 0, 255));
        }
      }
    }
  }
}

void Reader::ConvertToRgb() {
  auto convert = [](TLxBitmap& b) {
    const PixelFormat pf = b.PixelFormat();
    if (!b.IsEmpty() && pf != lx24RGB && pf != lx1g) b.SetPixelFormat(lx24RGB);
  };
  if (layers_)
    for (auto& l : *layers_)
      if (!l->IsMask) convert(*l->Bitmap);
  if (!layersLoaded_) convert(bitmap_);
}

}  // namespace

void ReadPsdStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, TLxLayerList* layers,
                   bool loadLayers, ProgressRecord& progress, bool headerOnly) {
  Reader(stream, bitmap, params, layers, loadLayers, progress, headerOnly).Run();
}

}  // namespace lumenax
