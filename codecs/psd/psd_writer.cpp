// Photoshop writer: header, palette, resources, one layer record per layer with its user mask,
// and the merged image, every channel PackBits-compressed.
//
// Section lengths are computed from positions, so the file is right wherever the stream ends.
// An image with transparency also carries its alpha as the merged image's extra channel (with
// the layer count stored negative), for readers that take only the merged image.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/common/packbits.h"
#include "codecs/jpeg/jpeg.h"
#include "codecs/psd/psd.h"
#include "io/params.h"
#include "process/resample.h"

namespace lumenax {

namespace {

struct Layout {
  uint16_t mode = 0;
  uint16_t depth = 0;
  PixelFormat pf = lxNone;  // what every layer is converted to
};

bool LayoutFor(PixelFormat pf, Layout& out) {
  switch (pf) {
    case lx1g:
      out = {0, 1, lx1g};
      return true;
    case lx8g:
      out = {1, 8, lx8g};
      return true;
    case lx16g:
      out = {1, 16, lx16g};
      return true;
    case lx8p:
      out = {2, 8, lx8p};
      return true;
    case lx24RGB:
    case lx32RGB:
      out = {3, 8, lx24RGB};
      return true;
    case lxRGB48:
      out = {3, 16, lxRGB48};
      return true;
    case lxCMYK:
      out = {4, 8, lxCMYK};
      return true;
    case lxCIELab:
      out = {9, 8, lxCIELab};
      return true;
    default:
      return false;
  }
}

// The longest prefix of at most 255 bytes that does not cut a UTF-8 character.
std::string PascalName(const std::string& name) {
  if (name.size() <= 255) return name;
  size_t n = 255;
  while (n > 0 && (uint8_t(name[n]) & 0xC0) == 0x80) --n;
  return name.substr(0, n);
}

// A layer as written: its bitmap in the file's layout (the caller's, or a converted copy).
struct Prepared {
  const TLxLayer* layer = nullptr;
  TLxBitmap* bitmap = nullptr;
  std::unique_ptr<TLxBitmap> copy;
  const TLxLayer* mask = nullptr;
  TLxBitmap* maskBitmap = nullptr;
  std::unique_ptr<TLxBitmap> maskCopy;
  int32_t left = 0, top = 0;
  uint8_t opacity = 255;
  bool visible = true;
  std::string name;
  bool alpha = false;
};

class Writer {
 public:
  Writer(TStream& s, TIOParamsVals& params, ProgressRecord& progress)
      : s_(s), params_(params), progress_(progress) {}

  void Run(const TLxLayerList* layers, TLxBitmap* bitmap);

 private:
  // Output goes through a buffer; Tell is the stream position the next byte will have.
  int64_t Tell() const { return base_ + int64_t(buf_.size()); }
  void Flush() {
    if (buf_.empty()) return;
    if (s_.Write(buf_.data(), int64_t(buf_.size())) != int64_t(buf_.size()) && !failed_) {
      failed_ = true;
      progress_.Fail(TLxFailure::WriteFailed, Tell());
    }
    base_ += int64_t(buf_.size());
    buf_.clear();
  }
  void Bytes(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    buf_.insert(buf_.end(), b, b + n);
    if (buf_.size() >= (1u << 20)) Flush();
  }
  void U8(uint8_t v) { Bytes(&v, 1); }
  void U16(uint16_t v) {
    const uint8_t b[2] = {uint8_t(v >> 8), uint8_t(v)};
    Bytes(b, 2);
  }
  void U32(uint32_t v) {
    const uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    Bytes(b, 4);
  }
  // Overwrites 2 or 4 bytes at an earlier position.
  void PatchAt(int64_t at, const uint8_t* b, size_t n) {
    if (at >= base_) {
      std::memcpy(buf_.data() + (at - base_), b, n);
      return;
    }
    Flush();
    s_.Seek(at, soBeginning);
    if (s_.Write(b, int64_t(n)) != int64_t(n) && !failed_) {
      failed_ = true;
      progress_.Fail(TLxFailure::WriteFailed, at);
    }
    s_.Seek(base_, soBeginning);
  }
  void Patch32(int64_t at, uint32_t v) {
    const uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    PatchAt(at, b, 4);
  }

  void WriteResources();
  void WriteResource(uint16_t id, const uint8_t* data, size_t n);
  bool Prepare(const TLxLayerList* layers, TLxBitmap* bitmap);
  bool PrepareBitmap(TLxBitmap& source, const TLxLayer* layer, TLxBitmap*& use,
                     std::unique_ptr<TLxBitmap>& copy, bool isMask);
  void WriteLayerInfo();
  // Fills row_ with channel t of a row (t = -1: alpha).
  void ChannelRow(TLxBitmap& bmp, int t, int y, bool mask);
  // Writes the compression word, the row table and the rows of one layer channel; returns
  // the bytes written.
  uint32_t WriteLayerChannel(TLxBitmap& bmp, int t, bool mask);
  void ChannelRowOverWhite(int t, int y);
  void WriteMerged();

  TStream& s_;
  TIOParamsVals& params_;
  ProgressRecord& progress_;
  std::vector<uint8_t> buf_;
  int64_t base_ = 0;
  int64_t start_ = 0;
  bool failed_ = false;

  Layout layout_;
  TLxBitmap* merged_ = nullptr;
  std::unique_ptr<TLxBitmap> mergedCopy_;
  bool mergedAlpha_ = false;
  int colourChannels_ = 0;
  std::vector<Prepared> layers_;
  bool ownLayer_ = false;
  std::vector<uint8_t> row_, packed_;
};

int ColourChannels(PixelFormat pf) {
  return pf == lx1g || pf == lx8g || pf == lx8p || pf == lx16g ? 1 : pf == lxCMYK ? 4 : 3;
}

bool Writer::PrepareBitmap(TLxBitmap& source, const TLxLayer* layer, TLxBitmap*& use,
                           std::unique_ptr<TLxBitmap>& copy, bool isMask) {
  use = &source;
  const PixelFormat want = isMask ? lx8g : layout_.pf;
  const int shownW = layer ? layer->ShownWidth() : source.Width();
  const int shownH = layer ? layer->ShownHeight() : source.Height();
  if (source.PixelFormat() != want) {
    copy = std::make_unique<TLxBitmap>();
    copy->Assign(source);
    copy->SetPixelFormat(want);
    use = copy.get();
    if (copy->PixelFormat() != want) {
      progress_.Fail(TLxFailure::Unsupported, "layer pixel format cannot be converted");
      return false;
    }
  }
  if (shownW != use->Width() || shownH != use->Height()) {
    // A layer shown at another size is written at that size.
    TResampleFilter filter =
        layer && layer->ResampleFilter >= 0 && layer->ResampleFilter < kResampleFilterCount
            ? TResampleFilter(layer->ResampleFilter)
            : rfFastLinear;
    if (!ResampleSupported(use->PixelFormat(), filter)) filter = rfNone;
    auto resized = std::make_unique<TLxBitmap>(shownW, shownH, use->PixelFormat());
    if (!ResampleBitmap(*use, *resized, filter, progress_)) return false;
    if (resized->PixelFormat() != want) resized->SetPixelFormat(want);
    copy = std::move(resized);
    use = copy.get();
  }
  if (use->Width() > kPsdMaxSide || use->Height() > kPsdMaxSide) {
    progress_.Fail(TLxFailure::TooLarge, "layer wider or taller than 30000 pixels");
    return false;
  }
  return true;
}

bool Writer::Prepare(const TLxLayerList* layers, TLxBitmap* bitmap) {
  if (layers && layers->empty()) layers = nullptr;
  TLxBitmap* source = bitmap && !bitmap->IsEmpty() ? bitmap : nullptr;
  if (!source && layers) {
    for (const auto& l : *layers)
      if (!l->IsMask) {
        source = l->Bitmap.get();
        break;
      }
  }
  if (!source || source->IsEmpty()) {
    progress_.Fail(TLxFailure::NoImage, "no image to write");
    return false;
  }
  if (!LayoutFor(source->PixelFormat(), layout_)) {
    progress_.Fail(TLxFailure::Unsupported, "this pixel format cannot be written as PSD");
    return false;
  }
  if (source->Width() > kPsdMaxSide || source->Height() > kPsdMaxSide) {
    progress_.Fail(TLxFailure::TooLarge, "image wider or taller than 30000 pixels");
    return false;
  }
  merged_ = source;
  if (source->PixelFormat() != layout_.pf) {
    // 32-bit RGB is written as standard 24-bit RGB.
    mergedCopy_ = std::make_unique<TLxBitmap>();
    mergedCopy_->Assign(*source);
    mergedCopy_->SetPixelFormat(layout_.pf);
    merged_ = mergedCopy_.get();
  }
  colourChannels_ = ColourChannels(layout_.pf);
  // Bitmap mode has no transparency.
  mergedAlpha_ = layout_.pf != lx1g && merged_->HasAlphaChannel() && [&] {
    TLxBitmap* a = merged_->AlphaChannel();
    a->UpdateAllOpaque();
    return !a->AllOpaque;
  }();

  if (!layers) {
    // The image itself stands in as the only layer.
    ownLayer_ = true;
    Prepared p;
    p.bitmap = merged_;
    p.alpha = layout_.pf != lx1g && merged_->HasAlphaChannel();
    layers_.push_back(std::move(p));
    return true;
  }
  for (size_t i = 0; i < layers->size(); ++i) {
    const TLxLayer& l = *(*layers)[i];
    if (l.IsMask || l.Bitmap->IsEmpty()) continue;
    Prepared p;
    p.layer = &l;
    p.left = l.PosX;
    p.top = l.PosY;
    p.opacity = l.Opacity;
    p.visible = l.Visible;
    p.name = PascalName(l.Name);
    if (!PrepareBitmap(*l.Bitmap, &l, p.bitmap, p.copy, false)) return false;
    p.alpha = layout_.pf != lx1g && p.bitmap->HasAlphaChannel();
    if (i + 1 < layers->size() && (*layers)[i + 1]->IsMask &&
        !(*layers)[i + 1]->Bitmap->IsEmpty()) {
      p.mask = (*layers)[i + 1].get();
      if (!PrepareBitmap(*p.mask->Bitmap, nullptr, p.maskBitmap, p.maskCopy, true)) return false;
    }
    layers_.push_back(std::move(p));
  }
  if (layers_.empty()) {
    progress_.Fail(TLxFailure::NoImage, "no layer to write");
    return false;
  }
  return true;
}

void Writer::WriteResource(uint16_t id, const uint8_t* data, size_t n) {
  if ((Tell() - start_) & 1) U8(0);
  Bytes("8BIM", 4);
  U16(id);
  U16(0);  // empty name, padded
  U32(uint32_t(n));
  Bytes(data, n);
}

void Writer::WriteResources() {
  const int64_t lengthAt = Tell();
  U32(0);
  {
    uint8_t r[16] = {};
    auto put = [&](int at, int32_t dpi) {
      const uint32_t v = uint32_t(std::clamp(dpi, 0, 32767)) << 16;
      r[at] = uint8_t(v >> 24), r[at + 1] = uint8_t(v >> 16);
      r[at + 2] = uint8_t(v >> 8), r[at + 3] = uint8_t(v);
      r[at + 5] = 1;  // pixels per inch
      r[at + 7] = 1;  // width / height shown in inches
    };
    put(0, params_.DpiX);
    put(8, params_.DpiY);
    WriteResource(1005, r, 16);
  }
  if (params_.IPTC_Info.Count() > 0) {
    const std::vector<uint8_t> iptc = params_.IPTC_Info.SaveToBuffer(false);
    if (!iptc.empty()) WriteResource(1028, iptc.data(), iptc.size());
  }
  if (params_.HasInputICCProfile()) {
    const std::vector<uint8_t>& icc = params_.InputICCProfileIfAny()->Raw();
    WriteResource(1039, icc.data(), icc.size());
  }
  if (params_.ExifThumbnail && !params_.ExifThumbnail->IsEmpty()) {
    TLxBitmap& t = *params_.ExifThumbnail;
    TMemoryStream jpeg;
    TIOParamsVals defaults;
    bool aborting = false;
    ProgressRecord p;
    p.AbortingPtr = &aborting;
    WriteJpegStream(jpeg, t, defaults, p);
    if (!aborting && jpeg.Size() > 0) {
      std::vector<uint8_t> data(28);
      const uint32_t w = uint32_t(t.Width()), h = uint32_t(t.Height());
      const uint32_t head[6] = {1, w, h, w * 3, w * h * 3, uint32_t(jpeg.Size())};
      for (int k = 0; k < 6; ++k)
        for (int b = 0; b < 4; ++b) data[size_t(4 * k + b)] = uint8_t(head[k] >> (24 - 8 * b));
      data[25] = 24;
      data[27] = 1;
      data.insert(data.end(), jpeg.Bytes().begin(), jpeg.Bytes().end());
      WriteResource(1036, data.data(), data.size());
    }
  }
  if (!params_.XMP_Info.empty()) {
    std::vector<uint8_t> xmp(params_.XMP_Info.begin(), params_.XMP_Info.end());
    xmp.push_back(0);
    WriteResource(1060, xmp.data(), xmp.size());
  }
  if ((Tell() - start_) & 1) U8(0);
  Patch32(lengthAt, uint32_t(Tell() - lengthAt - 4));
}

void Writer::ChannelRow(TLxBitmap& bmp, int t, int y, bool mask) {
  const int w = bmp.Width();
  const bool wide = layout_.depth == 16 && !mask;
  if (t < 0) {
    const uint8_t* a = bmp.AlphaChannel()->ScanLine(y);
    if (wide) {
      row_.resize(size_t(w) * 2);
      for (int x = 0; x < w; ++x) row_[2 * size_t(x)] = row_[2 * size_t(x) + 1] = a[x];
    } else {
      row_.assign(a, a + w);
    }
    return;
  }
  const uint8_t* p = bmp.ScanLine(y);
  switch (mask ? lx8g : layout_.pf) {
    case lx1g: {
      const int n = (w + 7) / 8;
      row_.resize(size_t(n));
      for (int i = 0; i < n; ++i) row_[size_t(i)] = uint8_t(~p[i]);
      break;
    }
    case lx8g:
    case lx8p:
      row_.assign(p, p + w);
      break;
    case lx24RGB:
      row_.resize(size_t(w));
      for (int x = 0; x < w; ++x) row_[size_t(x)] = p[3 * x + 2 - t];
      break;
    case lxCMYK:
      row_.resize(size_t(w));
      for (int x = 0; x < w; ++x) row_[size_t(x)] = p[4 * x + t];
      break;
    case lxCIELab: {
      row_.resize(size_t(w));
      const uint8_t flip = t == 0 ? 0 : 0x80;
      for (int x = 0; x < w; ++x) row_[size_t(x)] = uint8_t(p[3 * x + t] ^ flip);
      break;
    }
    case lx16g:
    case lxRGB48: {
      const int step = layout_.pf == lx16g ? 1 : 3;
      row_.resize(size_t(w) * 2);
      for (int x = 0; x < w; ++x) {
        uint16_t v;
        std::memcpy(&v, p + 2 * (step * x + t), 2);
        row_[2 * size_t(x)] = uint8_t(v >> 8);
        row_[2 * size_t(x) + 1] = uint8_t(v);
      }
      break;
    }
    default:
      row_.clear();
      break;
  }
}

uint32_t Writer::WriteLayerChannel(TLxBitmap& bmp, int t, bool mask) {
  const int64_t begin = Tell();
  const int h = bmp.Height();
  U16(1);
  const int64_t tableAt = Tell();
  std::vector<uint8_t> table(size_t(h) * 2);
  Bytes(table.data(), table.size());
  for (int y = 0; y < h && !progress_.Aborting(); ++y) {
    ChannelRow(bmp, t, y, mask);
    packed_.clear();
    EncodePackBits(row_, packed_);
    table[2 * size_t(y)] = uint8_t(packed_.size() >> 8);
    table[2 * size_t(y) + 1] = uint8_t(packed_.size());
    Bytes(packed_.data(), packed_.size());
  }
  PatchAt(tableAt, table.data(), table.size());
  return uint32_t(Tell() - begin);
}

void Writer::WriteLayerInfo() {
  const int64_t infoAt = Tell();
  U32(0);
  const int count = int(layers_.size());
  // A negative count says the merged image's first extra channel is its transparency.
  U16(uint16_t(int16_t(mergedAlpha_ ? -count : count)));
  std::vector<std::vector<std::pair<int, int64_t>>> lengthAt(layers_.size());
  for (size_t i = 0; i < layers_.size(); ++i) {
    Prepared& p = layers_[i];
    TLxBitmap& b = *p.bitmap;
    U32(uint32_t(p.top));
    U32(uint32_t(p.left));
    U32(uint32_t(int64_t(p.top) + b.Height()));
    U32(uint32_t(int64_t(p.left) + b.Width()));
    const int colour = ColourChannels(layout_.pf);
    U16(uint16_t(colour + (p.alpha ? 1 : 0) + (p.mask ? 1 : 0)));
    auto entry = [&](int id) {
      U16(uint16_t(int16_t(id)));
      lengthAt[i].emplace_back(id, Tell());
      U32(0);
    };
    if (p.alpha) entry(-1);
    for (int c = 0; c < colour; ++c) entry(c);
    if (p.mask) entry(-2);
    Bytes("8BIMnorm", 8);
    U8(p.opacity);
    U8(0);
    U8(p.visible ? 0 : 2);
    U8(0);
    const int64_t extraAt = Tell();
    U32(0);
    if (p.mask) {
      U32(20);
      U32(uint32_t(p.mask->PosY));
      U32(uint32_t(p.mask->PosX));
      U32(uint32_t(int64_t(p.mask->PosY) + p.maskBitmap->Height()));
      U32(uint32_t(int64_t(p.mask->PosX) + p.maskBitmap->Width()));
      U8(0);
      U8(0);
      U16(0);
    } else {
      U32(0);
    }
    U32(0);  // blending ranges
    U8(uint8_t(p.name.size()));
    Bytes(p.name.data(), p.name.size());
    while ((Tell() - extraAt - 4) % 4 != 0) U8(1);
    Patch32(extraAt, uint32_t(Tell() - extraAt - 4));
  }
  for (size_t i = 0; i < layers_.size() && !progress_.Aborting(); ++i) {
    Prepared& p = layers_[i];
    for (auto [id, at] : lengthAt[i]) {
      const uint32_t n = id == -2 ? WriteLayerChannel(*p.maskBitmap, 0, true)
                                  : WriteLayerChannel(*p.bitmap, id, false);
      Patch32(at, n);
    }
    if (progress_.Assigned()) progress_.Report(int(double(i) / double(layers_.size()) * 100));
  }
  // The layer info is padded to an even length.
  if ((Tell() - infoAt - 4) & 1) U8(0);
  Patch32(infoAt, uint32_t(Tell() - infoAt - 4));
}

// The merged image of a file with transparency is its layers composed over white (readers
// that know the format take the white back out): partly transparent pixels are written
// blended with white; fully transparent ones keep their colour.
void Writer::ChannelRowOverWhite(int t, int y) {
  if (t < 0 || !mergedAlpha_) return;
  const PixelFormat pf = layout_.pf;
  if (pf != lx8g && pf != lx16g && pf != lx24RGB && pf != lxRGB48 && pf != lxCMYK) return;
  const uint8_t* a = merged_->AlphaChannel()->ScanLine(y);
  const bool wide = pf == lx16g || pf == lxRGB48;
  for (int x = 0; x < merged_->Width(); ++x) {
    const uint32_t av = a[x];
    if (av == 0 || av == 255) continue;
    if (wide) {
      uint8_t* q = &row_[2 * size_t(x)];
      const uint64_t c = uint64_t(q[0]) << 8 | q[1], a16 = uint64_t(av) * 257;
      const uint64_t m = (c * a16 + (65535 - a16) * 65535 + 32767) / 65535;
      q[0] = uint8_t(m >> 8);
      q[1] = uint8_t(m);
    } else {
      uint8_t& q = row_[size_t(x)];
      q = uint8_t((uint32_t(q) * av + (255 - av) * 255 + 127) / 255);
    }
  }
}

void Writer::WriteMerged() {
  TLxBitmap& b = *merged_;
  const int h = b.Height();
  const int channels = colourChannels_ + (mergedAlpha_ ? 1 : 0);
  U16(1);
  const int64_t tableAt = Tell();
  std::vector<uint8_t> table(size_t(channels) * h * 2);
  Bytes(table.data(), table.size());
  // Without layers of its own the image reports per row; a handler may cancel.
  if (ownLayer_) progress_.BeginRows(channels * h);
  for (int c = 0; c < channels && !progress_.Aborting(); ++c) {
    const int t = c < colourChannels_ ? c : -1;
    for (int y = 0; y < h && !progress_.Aborting(); ++y) {
      ChannelRow(b, t, y, false);
      ChannelRowOverWhite(t, y);
      packed_.clear();
      EncodePackBits(row_, packed_);
      const size_t k = (size_t(c) * h + y) * 2;
      table[k] = uint8_t(packed_.size() >> 8);
      table[k + 1] = uint8_t(packed_.size());
      Bytes(packed_.data(), packed_.size());
      if (ownLayer_) progress_.RowDone();
    }
    if (!ownLayer_ && progress_.Assigned()) progress_.Report(int(double(c) / channels * 100));
  }
  PatchAt(tableAt, table.data(), table.size());
}

void Writer::Run(const TLxLayerList* layers, TLxBitmap* bitmap) {
  start_ = base_ = s_.Position();
  if (!Prepare(layers, bitmap)) return;
  // Header.
  Bytes("8BPS", 4);
  U16(1);
  const uint8_t reserved[6] = {};
  Bytes(reserved, 6);
  U16(uint16_t(colourChannels_ + (mergedAlpha_ ? 1 : 0)));
  U32(uint32_t(merged_->Height()));
  U32(uint32_t(merged_->Width()));
  U16(layout_.depth);
  U16(layout_.mode);
  // Colour mode data.
  if (layout_.pf == lx8p) {
    U32(768);
    uint8_t pal[768];
    for (int k = 0; k < 256; ++k) {
      const TRGB c = merged_->GetPaletteEntry(k);
      pal[k] = c.r;
      pal[256 + k] = c.g;
      pal[512 + k] = c.b;
    }
    Bytes(pal, 768);
  } else {
    U32(0);
  }
  WriteResources();
  // Layer and mask section.
  const int64_t sectionAt = Tell();
  U32(0);
  WriteLayerInfo();
  U32(0);  // global layer mask info
  Patch32(sectionAt, uint32_t(Tell() - sectionAt - 4));
  if (!progress_.Aborting()) WriteMerged();
  Flush();
}

}  // namespace

void WritePsdStream(TStream& stream, TIOParamsVals& params, ProgressRecord& progress,
                    const TLxLayerList* layers, TLxBitmap* bitmap) {
  Writer(stream, params, progress).Run(layers, bitmap);
}

}  // namespace lumenax
