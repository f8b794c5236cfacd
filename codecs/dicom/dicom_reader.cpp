// DICOM reader: walks the data elements up to the pixel data, keeps them in the record's tag
// list, takes the image description from group 0028 and decodes the first frame (or, for
// encapsulated data with an offset table, the record's ImageIndex) of native, RLE, JPEG,
// lossless JPEG and JPEG 2000 data. Gray images get the modality rescale, the window and a
// stretch to the full sample range; MONOCHROME1 images are inverted.
//
// Every length is checked against the stream and the enclosing item before anything is read or
// allocated. Sequences and items are tracked: only top-level elements describe the image, and
// pixel data inside a sequence (an icon) is skipped. Deflated data sets are inflated first.
#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/common/image_size.h"
#include "codecs/common/packbits.h"
#include "codecs/common/stream_buffer.h"
#include "codecs/dicom/dicom.h"
#include "codecs/jp2/jp2.h"
#include "codecs/jpeg/jpeg.h"
#include "io/params.h"

namespace lumenax {

namespace {

struct DictEntry {
  uint32_t tag;
  char vr[2];
};

constexpr DictEntry kDictionary[] = {
#include "codecs/dicom/dicom_dictionary.inc"
};

bool FindVR(uint32_t tag, std::string& vr) {
  const DictEntry* end = kDictionary + std::size(kDictionary);
  const DictEntry* e = std::lower_bound(kDictionary, end, tag,
                                        [](const DictEntry& d, uint32_t t) { return d.tag < t; });
  if (e == end || e->tag != tag) return false;
  vr.assign(e->vr, 2);
  return true;
}

// The dictionary's VR: "xs" when the file's VR decides (and for unknown and private tags),
// "!!" for items and delimiters.
std::string DictionaryVR(uint16_t group, uint16_t element) {
  std::string vr;
  if (group & 1) return "xs";
  if (FindVR(uint32_t(group) << 16 | element, vr)) return vr;
  const uint16_t base = group & 0xFF00;
  if ((base == 0x5000 || base == 0x6000) && FindVR(uint32_t(base) << 16 | element, vr)) return vr;
  if (element == 0) return "UL";  // group length
  return "xs";
}

// Explicit VRs whose length takes 32 bits after two reserved bytes.
bool LongLengthVR(const char v[2]) {
  static const char* const kLong[] = {"OB", "OW", "UN", "SQ", "UT", "OF", "OD",
                                      "OL", "UC", "UR", "OV", "SV", "UV"};
  for (const char* l : kLong)
    if (v[0] == l[0] && v[1] == l[1]) return true;
  return false;
}

constexpr uint32_t kUndefined = 0xFFFFFFFF;

const char kImplicitLE[] = "1.2.840.10008.1.2";
const char kExplicitLE[] = "1.2.840.10008.1.2.1";
const char kExplicitBE[] = "1.2.840.10008.1.2.2";
const char kDeflated[] = "1.2.840.10008.1.2.1.99";
const char kRle[] = "1.2.840.10008.1.2.5";
const char kJpegBaseline[] = "1.2.840.10008.1.2.4.50";
const char kJpegExtended[] = "1.2.840.10008.1.2.4.51";
const char kJpegLossless14[] = "1.2.840.10008.1.2.4.57";
const char kJpegLosslessSV1[] = "1.2.840.10008.1.2.4.70";
const char kJ2kLossless[] = "1.2.840.10008.1.2.4.90";
const char kJ2k[] = "1.2.840.10008.1.2.4.91";

std::string Trim(std::string_view s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\0')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\0')) --b;
  return std::string(s.substr(a, b - a));
}

// The first value of a decimal text; false when it does not convert (also with the decimal
// separator swapped between point and comma).
bool ParseDecimal(std::string_view text, double& out) {
  std::string s = Trim(text.substr(0, text.find('\\')));
  for (int attempt = 0; attempt < 2; ++attempt) {
    double v = 0;
    const char* b = s.data();
    const char* e = b + s.size();
    if (b < e && *b == '+') ++b;
    auto r = std::from_chars(b, e, v);
    if (!s.empty() && r.ec == std::errc() && r.ptr == e && std::isfinite(v)) {
      out = v;
      return true;
    }
    for (char& c : s) c = c == ',' ? '.' : c == '.' ? ',' : c;
  }
  return false;
}

bool ParseInteger(std::string_view text, int64_t& out) {
  std::string s = Trim(text.substr(0, text.find('\\')));
  const char* b = s.data();
  const char* e = b + s.size();
  if (b < e && *b == '+') ++b;
  auto r = std::from_chars(b, e, out);
  return !s.empty() && r.ec == std::errc() && r.ptr == e;
}

// Y, Cb, Cr to red, green, blue with rounded products from tables.
struct YccTables {
  int crR[256], cbB[256], crG[256], cbG[256];
  YccTables() {
    for (int i = 0; i < 256; ++i) {
      const double d = i - 128;
      crR[i] = int(std::lround(1.402 * d));
      cbB[i] = int(std::lround(1.772 * d));
      crG[i] = int(std::lround(-0.71414 * d));
      cbG[i] = int(std::lround(-0.34414 * d));
    }
  }
};

// An lx24RGB row holding Y, Cb, Cr in blue, green, red order turned into colours.
void YccRowToRgb(uint8_t* row, int width) {
  static const YccTables t;
  for (int x = 0; x < width; ++x) {
    uint8_t* p = row + 3 * x;
    const int y = p[2], cb = p[1], cr = p[0];
    p[2] = uint8_t(std::clamp(y + t.crR[cr], 0, 255));
    p[1] = uint8_t(std::clamp(y + t.cbG[cb] + t.crG[cr], 0, 255));
    p[0] = uint8_t(std::clamp(y + t.cbB[cb], 0, 255));
  }
}

// The smallest and largest stored sample of a gray image, each kept as its bits with the
// sign bit flipped for unsigned samples, so that one signed comparison orders both kinds
// (and the loops vectorise).
struct SampleRange {
  int flip;    // 0x8000 or 0x80 for unsigned samples, else 0
  int16_t lo;  // in flipped form
  int16_t hi;
  template <class Sample>  // uint8_t or uint16_t
  void Add(const Sample* p, int n) {
    using Signed = std::make_signed_t<Sample>;
    int16_t a = lo, b = hi;
    const Sample f = Sample(flip);
    for (int i = 0; i < n; ++i) {
      const int16_t k = Signed(Sample(p[i] ^ f));
      a = k < a ? k : a;
      b = k > b ? k : b;
    }
    lo = a, hi = b;
  }
  // The samples themselves (lowest > highest when nothing was added).
  int Lowest() const { return lo + flip; }
  int Highest() const { return hi + flip; }
};

SampleRange EmptyRange(bool isSigned, bool wide) {
  return {isSigned ? 0 : wide ? 0x8000 : 0x80, INT16_MAX, INT16_MIN};
}

class DicomReader {
 public:
  DicomReader(TStream& stream, TIOParamsVals& params, TLxBitmap& bitmap, bool headerOnly,
              ProgressRecord& progress)
      : s_(&stream),
        params_(params),
        bitmap_(bitmap),
        headerOnly_(headerOnly),
        progress_(progress) {}

  void Run();

 private:
  // ------------------------------------------------------------------ reading
  bool Read(void* p, int64_t n) { return n == 0 || s_->Read(p, n) == n; }
  int64_t Pos() { return s_->Position(); }
  uint16_t U16(const uint8_t* p, bool swap) const { return swap ? LoadU16BE(p) : LoadU16LE(p); }
  uint32_t U32(const uint8_t* p, bool swap) const { return swap ? LoadU32BE(p) : LoadU32LE(p); }
  // The innermost end a defined-length item puts on its contents (or the stream's end).
  int64_t Limit() const {
    for (auto it = stack_.rbegin(); it != stack_.rend(); ++it)
      if (it->end >= 0) return it->end;
    return end_;
  }

  bool Inflate();
  void Apply(uint16_t element, const std::vector<uint8_t>& value);
  void PixelData(uint32_t length);
  bool SkipEncapsulated();
  bool CollectFrame(std::vector<uint8_t>& frame);
  bool CheckLayout(bool native);
  bool Allocate(PixelFormat pf);
  void Native(uint32_t length);
  void Rle(const std::vector<uint8_t>& frame);
  void Jpeg(const std::vector<uint8_t>& frame);
  void Lossless(const std::vector<uint8_t>& frame);
  void Jpeg2000(const std::vector<uint8_t>& frame);
  void FillFromSamples(const uint16_t* samples, bool j2kSigned);
  void FinishGray(bool stretch, bool isSigned, const SampleRange* known = nullptr);

  struct Container {
    bool item;
    int64_t end;  // -1: undefined length
  };

  TStream* s_;
  TMemoryStream inflated_;
  bool didInflate_ = false;
  int64_t end_ = 0;
  TIOParamsVals& params_;
  TLxBitmap& bitmap_;
  bool headerOnly_;
  ProgressRecord& progress_;
  std::vector<Container> stack_;

  bool little_ = true;
  std::string ts_;
  int64_t spp_ = 1, planar_ = 0, frames_ = 1, pixelRep_ = 0, cols_ = 0, rows_ = 0;
  int64_t bitsAlloc_ = 0, bitsStored_ = 0;
  std::string photometric_;
  std::string pixelVR_;
  double wc_ = -1, ww_ = -1, intercept_ = 0, slope_ = 1;
};

void DicomReader::Run() {
  end_ = s_->Size();
  const int64_t start = Pos();
  uint8_t pre[132];
  if (!(end_ - start >= 132 && Read(pre, 132) && std::memcmp(pre + 128, "DICM", 4) == 0))
    s_->Seek(start, soBeginning);
  params_.DicomTags.Clear();
  for (;;) {
    if (progress_.Aborting()) return;
    int64_t pos = Pos();
    while (!stack_.empty() && stack_.back().end >= 0 && pos >= stack_.back().end) stack_.pop_back();
    if (pos >= end_) break;
    uint8_t h[8];
    if (end_ - pos < 8) {
      progress_.Fail(TLxFailure::Truncated, pos, "truncated element");
      return;
    }
    if (ts_ == kDeflated && !didInflate_ && stack_.empty()) {
      Read(h, 2);
      s_->Seek(pos, soBeginning);
      if (LoadU16LE(h) != 2) {
        if (!Inflate()) return;
        continue;
      }
    }
    Read(h, 8);
    uint16_t group = LoadU16LE(h), element = LoadU16LE(h + 2);
    const bool swap = !little_ && group != 2;
    if (swap) group = LoadU16BE(h), element = LoadU16BE(h + 2);
    const std::string dict = DictionaryVR(group, element);
    const char* v = reinterpret_cast<const char*>(h + 4);
    const bool isExplicit =
        group == 2 || (v[0] >= 'A' && v[0] <= 'Z' && v[1] >= 'A' && v[1] <= 'Z');
    std::string vr = dict;
    uint32_t length;
    if (isExplicit && dict != "!!") {
      if (dict == "xs") vr.assign(v, 2);
      if (LongLengthVR(v)) {
        uint8_t l[4];
        if (!Read(l, 4)) {
          progress_.Fail(TLxFailure::Truncated, pos, "truncated element");
          return;
        }
        length = U32(l, swap);
      } else {
        length = U16(h + 6, swap);
      }
    } else {
      length = U32(h + 4, swap);
    }
    const int64_t valueAt = Pos();
    TLxDICOMTag tag;
    tag.Group = group;
    tag.Element = element;
    tag.VR = vr.size() == 2 ? vr : std::string();
    tag.Length = length == kUndefined ? 0 : length;
    const bool top = stack_.empty();

    if (group == 0xFFFE) {
      if (element == 0xE000) {
        if (length != kUndefined && valueAt + int64_t(length) > Limit()) {
          progress_.Fail(TLxFailure::Truncated, valueAt, "truncated item");
          return;
        }
        stack_.push_back({true, length == kUndefined ? -1 : valueAt + int64_t(length)});
      } else if (element == 0xE00D) {
        if (!stack_.empty() && stack_.back().item) stack_.pop_back();
      } else if (element == 0xE0DD) {
        while (!stack_.empty() && stack_.back().item) stack_.pop_back();
        if (!stack_.empty()) stack_.pop_back();
      }
      params_.DicomTags.Add(std::move(tag));
      continue;
    }
    if (group == 0x7FE0 && element == 0x0010) {
      if (top) {
        pixelVR_ = vr;
        PixelData(length);
        return;
      }
      // Pixel data inside a sequence (an icon): skipped.
      if (length == kUndefined) {
        if (!SkipEncapsulated()) return;
      } else if (valueAt + int64_t(length) > Limit()) {
        progress_.Fail(TLxFailure::Truncated, valueAt, "truncated element value");
        return;
      } else {
        s_->Seek(valueAt + int64_t(length), soBeginning);
      }
      continue;
    }
    if (length == kUndefined) {
      // Only sequences have an undefined length (pixel data aside).
      params_.DicomTags.Add(std::move(tag));
      stack_.push_back({false, -1});
      continue;
    }
    if (valueAt + int64_t(length) > Limit()) {
      progress_.Fail(TLxFailure::Truncated, valueAt, "truncated element value");
      return;
    }
    if (length > 0) {
      tag.Value.resize(size_t(length) + 1);
      if (!Read(tag.Value.data(), length)) {
        progress_.Fail(TLxFailure::Truncated, valueAt, "truncated element value");
        return;
      }
      tag.Value[length] = 0;
      if (group == 2 && element == 0x0010) {
        ts_ = Trim(
            std::string_view(reinterpret_cast<const char*>(tag.Value.data()),
                             strnlen(reinterpret_cast<const char*>(tag.Value.data()), length)));
        little_ = ts_ != kExplicitBE;
      }
      if (top && group == 0x0028) Apply(element, tag.Value);
    }
    params_.DicomTags.Add(std::move(tag));
  }
  if (!headerOnly_) progress_.Fail(TLxFailure::NoImage, "no image: no pixel data");
}

// The rest of a deflated data set, inflated; the walk goes on in memory.
bool DicomReader::Inflate() {
  const int64_t pos = Pos();
  std::vector<uint8_t> in(size_t(end_ - pos));
  if (!Read(in.data(), int64_t(in.size()))) {
    progress_.Fail(TLxFailure::Truncated, pos, "truncated deflated data");
    return false;
  }
  const uint64_t cap = progress_.MaxPixels ? uint64_t(64) << 20 : uint64_t(1) << 31;
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) {
    progress_.Fail(TLxFailure::OutOfMemory, "no memory for inflating");
    return false;
  }
  std::vector<uint8_t>& out = inflated_.Bytes();
  out.clear();
  z.next_in = in.data();
  z.avail_in = uInt(in.size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    if (out.size() >= cap) {
      inflateEnd(&z);
      progress_.Fail(TLxFailure::TooLarge, pos, "deflated data set too large");
      return false;
    }
    const size_t have = out.size();
    out.resize(std::min<size_t>(cap, std::max<size_t>(have * 2, 1 << 16)));
    z.next_out = out.data() + have;
    z.avail_out = uInt(out.size() - have);
    rc = inflate(&z, Z_NO_FLUSH);
    out.resize(out.size() - z.avail_out);
    if (rc == Z_BUF_ERROR && z.avail_in > 0) rc = Z_OK;
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
    progress_.Fail(TLxFailure::BadData, pos, "bad deflated data");
    return false;
  }
  didInflate_ = true;
  s_ = &inflated_;
  inflated_.Seek(0, soBeginning);
  end_ = inflated_.Size();
  return true;
}

// Group 0028 elements of the top level describe the image.
void DicomReader::Apply(uint16_t element, const std::vector<uint8_t>& value) {
  const size_t n = value.size() - 1;
  const std::string_view text(reinterpret_cast<const char*>(value.data()), n);
  auto number = [&](int64_t& field) {
    const bool swap = !little_;
    if (n == 2)
      field = U16(value.data(), swap);
    else if (n == 4)
      field = U32(value.data(), swap);
  };
  auto decimal = [&](double& field) {
    double v;
    if (ParseDecimal(text, v)) field = v;
  };
  switch (element) {
    case 0x0002:
      number(spp_);
      break;
    case 0x0004: {
      std::string p = Trim(text);
      for (char& c : p) c = char(std::toupper(static_cast<unsigned char>(c)));
      photometric_ = p;
      break;
    }
    case 0x0006:
      number(planar_);
      break;
    case 0x0008: {
      int64_t f;
      frames_ = ParseInteger(text, f) && f >= 1 && f <= INT32_MAX ? f : 1;
      break;
    }
    case 0x0010:
      number(rows_);
      break;
    case 0x0011:
      number(cols_);
      break;
    case 0x0100:
      number(bitsAlloc_);
      if (bitsStored_ == 0) bitsStored_ = bitsAlloc_;
      break;
    case 0x0101:
      number(bitsStored_);
      if (bitsAlloc_ == 0) bitsAlloc_ = bitsStored_;
      break;
    case 0x0103:
      number(pixelRep_);
      break;
    case 0x1050:
      decimal(wc_);
      if (wc_ == 0) wc_ = -1;
      break;
    case 0x1051:
      decimal(ww_);
      break;
    case 0x1052:
      decimal(intercept_);
      break;
    case 0x1053:
      decimal(slope_);
      break;
    default:
      break;
  }
}

// Pixel data inside a sequence with an undefined length: its items up to the delimiter.
bool DicomReader::SkipEncapsulated() {
  for (;;) {
    uint8_t h[8];
    const int64_t pos = Pos();
    if (pos + 8 > Limit() || !Read(h, 8)) {
      progress_.Fail(TLxFailure::Truncated, pos, "truncated encapsulated data");
      return false;
    }
    const uint16_t g = LoadU16LE(h), e = LoadU16LE(h + 2);
    const uint32_t len = LoadU32LE(h + 4);
    if (g == 0xFFFE && e == 0xE0DD) return true;
    if (g != 0xFFFE || e != 0xE000 || len == kUndefined || pos + 8 + int64_t(len) > Limit()) {
      progress_.Fail(TLxFailure::BadData, pos, "bad encapsulated data");
      return false;
    }
    s_->Seek(pos + 8 + int64_t(len), soBeginning);
  }
}

// The bytes of the frame to show, from the fragments of encapsulated data (the stream is at the
// basic offset table's item).
bool DicomReader::CollectFrame(std::vector<uint8_t>& frame) {
  uint8_t h[8];
  int64_t pos = Pos();
  Read(h, 8);
  uint32_t tableLength = LoadU32LE(h + 4);
  if (tableLength % 4 != 0 || pos + 8 + int64_t(tableLength) > end_) {
    progress_.Fail(TLxFailure::BadData, pos, "bad offset table");
    return false;
  }
  const size_t entries = tableLength / 4;
  std::vector<uint32_t> table(entries);
  for (size_t i = 0; i < entries; ++i) {
    uint8_t b[4];
    Read(b, 4);
    table[i] = LoadU32LE(b);
  }
  // The fragments: where each item starts (from the first one's tag) and its bytes.
  const int64_t first = Pos();
  struct Fragment {
    uint32_t at;
    int64_t data, length;
  };
  std::vector<Fragment> fragments;
  bool truncated = false;
  for (;;) {
    pos = Pos();
    if (pos + 8 > end_) {
      truncated = pos < end_ || fragments.empty();
      break;
    }
    Read(h, 8);
    const uint16_t g = LoadU16LE(h), e = LoadU16LE(h + 2);
    int64_t len = LoadU32LE(h + 4);
    if (g == 0xFFFE && e == 0xE0DD) break;
    if (g != 0xFFFE || e != 0xE000 || len == kUndefined) {
      progress_.Fail(TLxFailure::BadData, pos, "bad data: missing item tag");
      return false;
    }
    if (pos + 8 + len > end_) {
      len = end_ - pos - 8;
      truncated = true;
    }
    if (pos - first > UINT32_MAX) break;
    fragments.push_back({uint32_t(pos - first), pos + 8, len});
    s_->Seek(pos + 8 + len, soBeginning);
    if (truncated) break;
  }
  if (fragments.empty()) {
    progress_.Fail(TLxFailure::Truncated, pos, "truncated pixel data");
    return false;
  }
  size_t from = 0, to = fragments.size();
  if (!table.empty()) {
    int64_t index = std::clamp<int64_t>(params_.ImageIndex, 0,
                                        std::min<int64_t>(frames_, int64_t(table.size())) - 1);
    params_.SetImageIndex(int32_t(index));
    auto find = [&](uint32_t offset) -> int64_t {
      for (size_t i = 0; i < fragments.size(); ++i)
        if (fragments[i].at == offset) return int64_t(i);
      return -1;
    };
    const int64_t a = find(table[size_t(index)]);
    const int64_t b = size_t(index) + 1 < table.size() ? find(table[size_t(index) + 1])
                                                       : int64_t(fragments.size());
    if (a < 0 || (b < 0 && !truncated) || (b >= 0 && b <= a)) {
      progress_.Fail(TLxFailure::BadData, first, "bad data: offset table entry");
      return false;
    }
    from = size_t(a);
    to = b < 0 ? fragments.size() : size_t(b);
  } else if (frames_ > 1) {
    to = 1;  // without a table, the first fragment is the first frame
  }
  int64_t total = 0;
  for (size_t i = from; i < to; ++i) total += fragments[i].length;
  frame.resize(size_t(total));
  size_t at = 0;
  for (size_t i = from; i < to; ++i) {
    s_->Seek(fragments[i].data, soBeginning);
    Read(frame.data() + at, fragments[i].length);
    at += size_t(fragments[i].length);
  }
  if (truncated) progress_.Fail(TLxFailure::Truncated, end_, "truncated pixel data");
  return true;
}

bool DicomReader::CheckLayout(bool native) {
  if (rows_ <= 0 || cols_ <= 0 || rows_ > INT32_MAX || cols_ > INT32_MAX) {
    progress_.Fail(TLxFailure::BadHeader, "bad header: no image size");
    return false;
  }
  if (spp_ != 1 && spp_ != 3) {
    progress_.Fail(TLxFailure::Unsupported, "unsupported variant: samples per pixel");
    return false;
  }
  if (bitsAlloc_ != 1 && bitsAlloc_ != 8 && bitsAlloc_ != 16) {
    progress_.Fail(TLxFailure::Unsupported, "unsupported variant: bits allocated");
    return false;
  }
  if (bitsStored_ < 1 || bitsStored_ > bitsAlloc_ || (bitsAlloc_ == 1 && spp_ != 1)) {
    progress_.Fail(TLxFailure::BadHeader, "bad header: bits stored");
    return false;
  }
  if (spp_ == 3 && bitsStored_ > 8) {
    progress_.Fail(TLxFailure::Unsupported, "unsupported variant: 16-bit colour");
    return false;
  }
  const std::string& p = photometric_;
  const bool known = p.empty() || p == "MONOCHROME1" || p == "MONOCHROME2" ||
                     p == "PALETTE COLOR" || p == "RGB" || p == "YBR_FULL" ||
                     (!native && (p == "YBR_FULL_422" || p == "YBR_ICT" || p == "YBR_RCT" ||
                                  p == "YBR_PARTIAL_420"));
  if (!known) {
    progress_.Fail(TLxFailure::Unsupported, "unsupported variant: photometric interpretation");
    return false;
  }
  if (CheckImageSize(cols_, rows_, spp_ == 3 ? lx24RGB : lx16g, 0, 0) != TLxFailure::None ||
      !progress_.PixelsAllowed(uint64_t(cols_), uint64_t(rows_))) {
    progress_.Fail(TLxFailure::TooLarge, "too large");
    return false;
  }
  return true;
}

bool DicomReader::Allocate(PixelFormat pf) {
  bitmap_.ReallocPending = true;
  if (!bitmap_.Allocate(int(cols_), int(rows_), pf)) {
    progress_.Fail(TLxFailure::OutOfMemory, "no memory for the image");
    return false;
  }
  return true;
}

void DicomReader::PixelData(uint32_t length) {
  params_.BitsPerSample = int32_t(bitsStored_);
  params_.SamplesPerPixel = int32_t(spp_);
  params_.Width = int32_t(std::clamp<int64_t>(cols_, 0, INT32_MAX));
  params_.Height = int32_t(std::clamp<int64_t>(rows_, 0, INT32_MAX));
  params_.SetImageCount(int32_t(frames_));
  params_.SetDpiX(DefaultDPI);
  params_.SetDpiY(DefaultDPI);
  params_.FreeColorMap();
  if (headerOnly_) return;
  const int64_t valueAt = Pos();
  uint8_t h[4] = {};
  const bool encapsulated =
      valueAt + 8 <= end_ && Read(h, 4) && LoadU16LE(h) == 0xFFFE && LoadU16LE(h + 2) == 0xE000;
  s_->Seek(valueAt, soBeginning);
  const std::string& t = ts_;
  const bool rle = t == kRle, jpeg = t == kJpegBaseline || t == kJpegExtended;
  const bool lossless = t == kJpegLossless14 || t == kJpegLosslessSV1;
  const bool j2k = t == kJ2kLossless || t == kJ2k;
  const bool native = !rle && !jpeg && !lossless && !j2k;
  if (native && (encapsulated || length == kUndefined)) {
    progress_.Fail(TLxFailure::Unsupported, "unsupported variant: compressed pixel data");
    return;
  }
  if (!CheckLayout(native)) return;
  if (native) {
    Native(length);
    return;
  }
  if (jpeg && bitsStored_ > 8) {
    progress_.Fail(TLxFailure::Unsupported, "unsupported variant: 12-bit JPEG");
    return;
  }
  std::vector<uint8_t> frame;
  if (encapsulated) {
    if (!CollectFrame(frame)) return;
  } else {
    const int64_t n = std::min<int64_t>(length, end_ - valueAt);
    frame.resize(size_t(std::max<int64_t>(n, 0)));
    Read(frame.data(), int64_t(frame.size()));
    if (n < int64_t(length)) progress_.Fail(TLxFailure::Truncated, end_, "truncated pixel data");
  }
  if (rle)
    Rle(frame);
  else if (jpeg)
    Jpeg(frame);
  else if (lossless)
    Lossless(frame);
  else
    Jpeg2000(frame);
}

// Stretch of gray samples (rescale, window, then the full range) and MONOCHROME1 inversion.
// The mapping depends only on the stored value: it is built once as a table over the values
// that occur and inverts as well. When the rescale and window rise (or fall) steadily over the
// range of stored values, the extremes of the image are those of the range's ends; otherwise
// every value that occurs is noted first.
void DicomReader::FinishGray(bool stretch, bool isSigned, const SampleRange* known) {
  const bool wide = bitmap_.PixelFormat() == lx16g;
  const int h = bitmap_.Height(), w = bitmap_.Width();
  const bool invert = photometric_ == "MONOCHROME1";
  if (stretch) {
    const int values = wide ? 65536 : 256;
    const double top = wide ? 65535 : 255;
    SampleRange range;
    if (known) {
      range = *known;
    } else {
      range = EmptyRange(isSigned, wide);
      for (int y = 0; y < h; ++y) {
        const uint8_t* row = bitmap_.ScanLine(y);
        if (wide)
          range.Add(reinterpret_cast<const uint16_t*>(row), w);
        else
          range.Add(row, w);
      }
    }
    const int first = range.Lowest(), last = range.Highest();
    const bool windowing = wc_ != -1 && ww_ != -1;
    const double lo = std::trunc(wc_ - 0.5 - (ww_ - 1) / 2),
                 hi = std::trunc(wc_ - 0.5 + (ww_ - 1) / 2);
    auto rescaled = [&](int sample) {
      double v = sample * slope_ + intercept_;
      if (windowing) {
        if (v <= lo)
          v = 0;
        else if (v >= hi)
          v = top;
        else
          v = ((v - (wc_ - 0.5)) / (ww_ - 1) + 0.5) * top;
      }
      return v;
    };
    std::vector<double> level(size_t(std::max(last - first + 1, 0)));
    bool rising = true, falling = true;
    for (int sample = first; sample <= last; ++sample) {
      const double v = rescaled(sample);
      level[size_t(sample - first)] = v;
      if (sample > first) {
        const double before = level[size_t(sample - first - 1)];
        rising = rising && v >= before;
        falling = falling && v <= before;
      }
    }
    std::vector<uint8_t> seen;
    double smallest = INFINITY, largest = -INFINITY;
    if (first > last) {
      // No samples.
    } else if (rising || falling) {
      smallest = std::min(level.front(), level.back());
      largest = std::max(level.front(), level.back());
    } else {
      seen.assign(size_t(values), 0);
      for (int y = 0; y < h; ++y) {
        const uint8_t* row = bitmap_.ScanLine(y);
        if (wide) {
          const uint16_t* r16 = reinterpret_cast<const uint16_t*>(row);
          for (int x = 0; x < w; ++x) seen[r16[x]] = 1;
        } else {
          for (int x = 0; x < w; ++x) seen[row[x]] = 1;
        }
      }
      for (int sample = first; sample <= last; ++sample)
        if (seen[size_t(sample & (values - 1))]) {
          const double v = level[size_t(sample - first)];
          smallest = std::min(smallest, v), largest = std::max(largest, v);
        }
    }
    const double offset = smallest < 0 ? -smallest : 0;
    // The table covers the range only, so that it stays in the nearest cache.
    std::vector<uint16_t> map(level.size());
    for (size_t i = 0; i < level.size(); ++i) {
      const double v = level[i];
      double out = largest > smallest ? std::trunc((v - smallest) / (largest - smallest) * top)
                                      : std::trunc(v + offset);
      uint16_t m = uint16_t(std::clamp(out, 0.0, top));
      if (invert) m = uint16_t(uint16_t(top) - m);
      map[i] = m;
    }
    const uint16_t* const table = map.data();
    for (int y = 0; y < h && !map.empty(); ++y) {
      uint8_t* row = bitmap_.ScanLine(y);
      if (wide) {
        uint16_t* r16 = reinterpret_cast<uint16_t*>(row);
        if (isSigned)
          for (int x = 0; x < w; ++x) r16[x] = table[int16_t(r16[x]) - first];
        else {
          int x = 0;
          for (; x + 4 <= w; x += 4) {
            uint64_t q;
            std::memcpy(&q, r16 + x, 8);
            q = uint64_t(table[(q & 0xFFFF) - first]) |
                uint64_t(table[(q >> 16 & 0xFFFF) - first]) << 16 |
                uint64_t(table[(q >> 32 & 0xFFFF) - first]) << 32 |
                uint64_t(table[(q >> 48) - first]) << 48;
            std::memcpy(r16 + x, &q, 8);
          }
          for (; x < w; ++x) r16[x] = table[r16[x] - first];
        }
      } else {
        if (isSigned)
          for (int x = 0; x < w; ++x) row[x] = uint8_t(table[int8_t(row[x]) - first]);
        else
          for (int x = 0; x < w; ++x) row[x] = uint8_t(table[row[x] - first]);
      }
    }
  }
  if (invert && !stretch) {
    for (int y = 0; y < h; ++y) {
      uint8_t* row = bitmap_.ScanLine(y);
      const int bytes = wide ? 2 * w : w;
      for (int x = 0; x < bytes; ++x) row[x] = uint8_t(~row[x]);
    }
  }
}

void DicomReader::Native(uint32_t length) {
  const int64_t valueAt = Pos();
  const int64_t pixels = rows_ * cols_;
  const int bytesPer = bitsAlloc_ == 16 ? 2 : 1;
  const int64_t frameBytes = bitsAlloc_ == 1 ? (pixels + 7) / 8 : pixels * spp_ * bytesPer;
  const int64_t have =
      std::max<int64_t>(0, std::min<int64_t>({int64_t(length), end_ - valueAt, frameBytes}));
  const bool truncated = have < frameBytes;
  const PixelFormat pf = spp_ == 3 ? lx24RGB : bitsStored_ > 8 ? lx16g : lx8g;
  if (!Allocate(pf)) return;
  // Big-endian OW words of byte samples: the bytes of each word are swapped (an odd last byte
  // pairs with the padding).
  const bool swapWords = !little_ && bytesPer == 1 && pixelVR_ == "OW";
  const int w = int(cols_), h = int(rows_);
  const bool swap = !little_;
  const int shift = int(8 - std::min<int64_t>(bitsStored_, 8));
  const uint32_t mask8 = bitsStored_ >= 8 ? 0xFF : (1u << bitsStored_) - 1;
  if (spp_ == 1 && !swapWords &&
      ((pf == lx16g && bytesPer == 2) || (pf == lx8g && bitsAlloc_ == 8))) {
    // Gray samples are read a row at a time straight into the bitmap; the range of their
    // values is kept on the way for the stretch. Rows the data do not reach stay zero.
    const bool wide = pf == lx16g;
    const int64_t rowBytes = int64_t(w) * bytesPer;
    SampleRange range = EmptyRange(pixelRep_ == 1, wide);
    int64_t left = have;
    progress_.BeginRows(h);
    for (int y = 0; y < h; ++y) {
      if (progress_.Aborting()) return;
      uint8_t* row = bitmap_.ScanLine(y);
      const int64_t want = std::min(left, rowBytes);
      const int64_t got = want > 0 ? ReadUpTo(*s_, row, want) : 0;
      left = got < want ? 0 : left - got;
      if (got < rowBytes) std::memset(row + got, 0, size_t(rowBytes - got));
      if (wide) {
        uint16_t* r16 = reinterpret_cast<uint16_t*>(row);
        if (swap)
          for (int x = 0; x < w; ++x) r16[x] = LoadU16BE(row + 2 * x);
        range.Add(r16, w);
      } else if (mask8 != 0xFF) {
        for (int x = 0; x < w; ++x) row[x] = uint8_t((row[x] & mask8) << shift);
      }
      progress_.RowDone();
    }
    FinishGray(wide, pixelRep_ == 1, wide ? &range : nullptr);
    if (truncated) progress_.Fail(TLxFailure::Truncated, end_, "truncated pixel data");
    return;
  }
  std::vector<uint8_t> data(size_t(frameBytes + 1), 0);
  const int64_t take =
      swapWords ? std::min<int64_t>({int64_t(length), end_ - valueAt, frameBytes + 1}) : have;
  Read(data.data(), std::max<int64_t>(take, 0));
  if (swapWords)
    for (size_t i = 0; i + 1 < data.size(); i += 2) std::swap(data[i], data[i + 1]);
  auto sample = [&](int64_t i) -> uint32_t {
    return bytesPer == 2 ? U16(data.data() + 2 * i, swap) : data[size_t(i)];
  };
  progress_.BeginRows(h);
  for (int y = 0; y < h; ++y) {
    if (progress_.Aborting()) return;
    uint8_t* row = bitmap_.ScanLine(y);
    const int64_t base = int64_t(y) * w;
    if (bitsAlloc_ == 1) {
      for (int x = 0; x < w; ++x) {
        const int64_t i = base + x;
        row[x] = (data[size_t(i >> 3)] >> (i & 7)) & 1 ? 255 : 0;
      }
    } else if (pf == lx16g) {
      uint16_t* r16 = reinterpret_cast<uint16_t*>(row);
      for (int x = 0; x < w; ++x) r16[x] = uint16_t(sample(base + x));
    } else if (pf == lx8g) {
      for (int x = 0; x < w; ++x) row[x] = uint8_t((sample(base + x) & mask8) << shift);
    } else {
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c) {
          const int64_t i = planar_ == 1 ? c * pixels + base + x : (base + x) * 3 + c;
          row[3 * x + 2 - c] = uint8_t((sample(i) & mask8) << shift);
        }
      if (photometric_ == "YBR_FULL") YccRowToRgb(row, w);
    }
    progress_.RowDone();
  }
  if (spp_ == 1) FinishGray(pf == lx16g, pixelRep_ == 1);
  if (truncated) progress_.Fail(TLxFailure::Truncated, end_, "truncated pixel data");
}

void DicomReader::Rle(const std::vector<uint8_t>& frame) {
  const int64_t segmentsNeeded = spp_ * (bitsAlloc_ == 16 ? 2 : 1);
  if (bitsAlloc_ == 1 || segmentsNeeded > 3) {
    progress_.Fail(TLxFailure::Unsupported, "unsupported variant: RLE layout");
    return;
  }
  if (frame.size() < 64) {
    progress_.Fail(TLxFailure::Truncated, "truncated RLE header");
    return;
  }
  const uint32_t count = LoadU32LE(frame.data());
  if (count < 1 || count > 15 || count < segmentsNeeded) {
    progress_.Fail(TLxFailure::BadData, "bad data: RLE segment count");
    return;
  }
  uint32_t offsets[16];
  for (uint32_t i = 0; i < count; ++i) {
    offsets[i] = LoadU32LE(frame.data() + 4 + 4 * i);
    if (offsets[i] < 64 || offsets[i] > frame.size() || (i > 0 && offsets[i] < offsets[i - 1])) {
      progress_.Fail(TLxFailure::BadData, "bad data: RLE segment offset");
      return;
    }
  }
  offsets[count] = uint32_t(frame.size());
  // The segments are planes of rows x columns bytes, decoded a row at a time as the pixels
  // are put together.
  std::vector<TLxPackBitsReader> segments;
  for (int64_t k = 0; k < segmentsNeeded; ++k)
    segments.emplace_back(
        std::span<const uint8_t>(frame.data() + offsets[k], offsets[k + 1] - offsets[k]));
  const PixelFormat pf = spp_ == 3 ? lx24RGB : bitsStored_ > 8 ? lx16g : lx8g;
  if (!Allocate(pf)) return;
  const int w = int(cols_), h = int(rows_);
  std::vector<uint8_t> planeRows(size_t(w) * size_t(segmentsNeeded));
  auto planeRow = [&](int64_t k) { return planeRows.data() + size_t(w) * size_t(k); };
  SampleRange range = EmptyRange(pixelRep_ == 1, pf == lx16g);
  bool truncated = false;
  progress_.BeginRows(h);
  for (int y = 0; y < h; ++y) {
    if (progress_.Aborting()) return;
    uint8_t* row = bitmap_.ScanLine(y);
    if (pf == lx24RGB) {
      for (int c = 0; c < 3; ++c) truncated |= !segments[size_t(c)].Next({planeRow(c), size_t(w)});
      const uint8_t *r = planeRow(0), *g = planeRow(1), *b = planeRow(2);
      for (int x = 0; x < w; ++x) row[3 * x] = b[x], row[3 * x + 1] = g[x], row[3 * x + 2] = r[x];
      if (photometric_ == "YBR_FULL") YccRowToRgb(row, w);
    } else if (pf == lx16g) {
      truncated |= !segments[0].Next({planeRow(0), size_t(w)});
      truncated |= !segments[1].Next({planeRow(1), size_t(w)});
      const uint8_t *hi = planeRow(0), *lo = planeRow(1);
      uint16_t* r16 = reinterpret_cast<uint16_t*>(row);
      for (int x = 0; x < w; ++x) r16[x] = uint16_t(hi[x] << 8 | lo[x]);
      range.Add(r16, w);
    } else {
      // Two bytes per sample with 8 or fewer stored: the low byte holds the value.
      if (bitsAlloc_ == 16) truncated |= !segments[0].Next({planeRow(0), size_t(w)});
      truncated |= !segments[bitsAlloc_ == 16 ? 1 : 0].Next({row, size_t(w)});
      range.Add(row, w);
    }
    progress_.RowDone();
  }
  if (spp_ == 1) FinishGray(true, pixelRep_ == 1, &range);
  if (truncated) progress_.Fail(TLxFailure::Truncated, "truncated pixel data");
}

void DicomReader::Jpeg(const std::vector<uint8_t>& frame) {
  TLxMemStream mem(frame.data(), int64_t(frame.size()));
  TIOParamsVals temporary;
  TLxJpegReadOptions options;
  options.NativeLayout = true;
  options.ReadIccProfile = false;
  options.ReadMetadata = false;
  ReadJpegStream(mem, bitmap_, temporary, options, progress_);
  if (progress_.Aborting() || bitmap_.IsEmpty()) return;
  if (spp_ == 1 && bitmap_.PixelFormat() == lx8g) FinishGray(true, pixelRep_ == 1);
}

// Samples of lossless JPEG or JPEG 2000 (components interleaved) into the bitmap.
void DicomReader::FillFromSamples(const uint16_t* samples, bool isSigned) {
  const PixelFormat pf = spp_ == 3 ? lx24RGB : bitsStored_ > 8 ? lx16g : lx8g;
  if (!Allocate(pf)) return;
  const int w = int(cols_), h = int(rows_);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = bitmap_.ScanLine(y);
    const uint16_t* s = samples + size_t(y) * size_t(w) * size_t(spp_);
    if (pf == lx16g) {
      std::memcpy(row, s, size_t(w) * 2);
    } else if (pf == lx8g) {
      for (int x = 0; x < w; ++x) row[x] = uint8_t(s[x]);
    } else {
      for (int x = 0; x < w; ++x)
        row[3 * x] = uint8_t(s[3 * x + 2]), row[3 * x + 1] = uint8_t(s[3 * x + 1]),
                row[3 * x + 2] = uint8_t(s[3 * x]);
    }
  }
  if (spp_ == 1) FinishGray(true, isSigned);
}

void DicomReader::Lossless(const std::vector<uint8_t>& frame) {
  TLxLosslessJpegFrame want{int32_t(cols_), int32_t(rows_), int32_t(spp_), int32_t(bitsStored_),
                            int32_t(bitsAlloc_)};
  const char* why = "";
  if (spp_ == 1 && bitsStored_ > 8) {
    // 16-bit gray samples go straight into the bitmap's rows.
    if (!Allocate(lx16g)) return;
    struct BitmapRows : TLxLosslessRows {
      TLxBitmap& bitmap;
      explicit BitmapRows(TLxBitmap& b) : bitmap(b) {}
      uint16_t* Row(int y) override { return reinterpret_cast<uint16_t*>(bitmap.ScanLine(y)); }
    } rows(bitmap_);
    const TLxLosslessResult r = DecodeLosslessJpeg(frame, want, rows, &why);
    if (r == TLxLosslessResult::BadData) {
      progress_.Fail(TLxFailure::BadData, why);
      return;
    }
    FinishGray(true, pixelRep_ == 1);
    if (r == TLxLosslessResult::Truncated) progress_.Fail(TLxFailure::Truncated, why);
    return;
  }
  std::vector<uint16_t> samples;
  const TLxLosslessResult r = DecodeLosslessJpeg(frame, want, samples, &why);
  if (r == TLxLosslessResult::BadData) {
    progress_.Fail(TLxFailure::BadData, why);
    return;
  }
  FillFromSamples(samples.data(), pixelRep_ == 1);
  if (r == TLxLosslessResult::Truncated) progress_.Fail(TLxFailure::Truncated, why);
}

void DicomReader::Jpeg2000(const std::vector<uint8_t>& frame) {
  TLxJ2kSamples j;
  if (!DecodeJ2kSamples(frame.data(), frame.size(), j, progress_)) return;
  if (j.Width != cols_ || j.Height != rows_ || j.Components < spp_) {
    progress_.Fail(TLxFailure::BadData, "bad data: JPEG 2000 image does not match the data set");
    return;
  }
  const size_t plane = size_t(j.Width) * size_t(j.Height);
  std::vector<uint16_t> samples(plane * size_t(spp_));
  for (size_t i = 0; i < plane; ++i)
    for (int64_t c = 0; c < spp_; ++c) {
      const int32_t v = j.Planes[plane * size_t(c) + i];
      samples[i * size_t(spp_) + size_t(c)] =
          spp_ == 3 || bitsStored_ <= 8 ? uint16_t(std::clamp(v, j.Signed ? -128 : 0, 255) & 0xFF)
                                        : uint16_t(v);
    }
  FillFromSamples(samples.data(), pixelRep_ == 1 || j.Signed);
}

}  // namespace

bool IsDicomTextVR(const std::string& vr) {
  static const char* const kText[] = {"AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "LT",
                                      "PN", "SH", "ST", "TM", "UC", "UI", "UR", "UT"};
  for (const char* t : kText)
    if (vr == t) return true;
  return false;
}

void ReadDicomStream(TStream& stream, TIOParamsVals& params, TLxBitmap& bitmap, bool headerOnly,
                     ProgressRecord& progress) {
  DicomReader(stream, params, bitmap, headerOnly, progress).Run();
}

}  // namespace lumenax
