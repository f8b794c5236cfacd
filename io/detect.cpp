// Content detection: the format tests in their fixed order. Every test reads from the
// starting position P and the position is put back before the next test; a read that comes
// up short makes the test fail.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <optional>
#include <system_error>

#include "bitmap/stream.h"
#include "io/registry.h"

namespace lumenax {

namespace {

uint16_t LE16(const uint8_t* p) {
  return uint16_t(p[0] | p[1] << 8);
}
uint32_t LE32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t BE16(const uint8_t* p) {
  return uint16_t(p[0] << 8 | p[1]);
}
uint32_t BE32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

class Probe {
 public:
  Probe(TStream& stream, int64_t start, int64_t size)
      : stream_(stream), start_(start), size_(size) {}

  // Bytes available from P.
  int64_t Avail() const { return size_ - start_; }
  int64_t Size() const { return size_; }

  // Reads exactly n bytes at P + offset; false when they are not all there.
  bool ReadAt(int64_t offset, void* buffer, int64_t n) {
    return ReadAbs(start_ + offset, buffer, n);
  }
  bool ReadAbs(int64_t position, void* buffer, int64_t n) {
    if (position < 0 || n < 0 || position > size_ || n > size_ - position) return false;
    if (stream_.Seek(position, soBeginning) != position) return false;
    return stream_.Read(buffer, n) == n;
  }
  // Reads up to n bytes at P + offset and returns how many it got.
  int64_t ReadSome(int64_t offset, void* buffer, int64_t n) {
    if (stream_.Seek(start_ + offset, soBeginning) != start_ + offset) return 0;
    int64_t got = 0;
    while (got < n) {
      int64_t r = stream_.Read(static_cast<uint8_t*>(buffer) + got, n - got);
      if (r <= 0) break;
      got += r;
    }
    return got;
  }

 private:
  TStream& stream_;
  int64_t start_;
  int64_t size_;
};

bool HeadIs(Probe& probe, int64_t need, const void* magic, size_t magicLength) {
  uint8_t buf[32];
  if (probe.Avail() <= need) return false;
  if (!probe.ReadAt(0, buf, int64_t(magicLength))) return false;
  return std::memcmp(buf, magic, magicLength) == 0;
}

// ---------------------------------------------------------------- TIFF

struct TiffEntry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  uint8_t value[4] = {};
};

struct TiffDirectory {
  bool bigEndian = false;
  std::vector<TiffEntry> entries;

  const TiffEntry* Find(uint16_t tag) const {
    for (const TiffEntry& e : entries) {
      if (e.tag == tag) return &e;
    }
    return nullptr;
  }
  uint16_t U16(const uint8_t* p) const { return bigEndian ? BE16(p) : LE16(p); }
  uint32_t U32(const uint8_t* p) const { return bigEndian ? BE32(p) : LE32(p); }
  // A SHORT or LONG value; nullopt for other types.
  std::optional<uint32_t> Value(const TiffEntry& e) const {
    if (e.type == 3) return U16(e.value);
    if (e.type == 4) return U32(e.value);
    return std::nullopt;
  }
};

// The first directory of a TIFF header at P, or nullopt when the header or the directory
// cannot be read.
std::optional<TiffDirectory> ReadTiffDirectory(Probe& probe) {
  if (probe.Avail() <= 8) return std::nullopt;
  uint8_t head[9];
  if (!probe.ReadAt(0, head, 9)) return std::nullopt;
  TiffDirectory dir;
  if (head[0] == 'I' && head[1] == 'I') {
    dir.bigEndian = false;
  } else if (head[0] == 'M' && head[1] == 'M') {
    dir.bigEndian = true;
    if (head[8] == 0xBA) return std::nullopt;
  } else {
    return std::nullopt;
  }
  uint32_t offset = dir.U32(head + 4);
  if (int64_t(offset) >= probe.Avail()) return std::nullopt;
  uint8_t countBytes[2];
  if (!probe.ReadAt(offset, countBytes, 2)) return std::nullopt;
  uint16_t count = dir.U16(countBytes);
  std::vector<uint8_t> raw(size_t(count) * 12);
  if (!probe.ReadAt(int64_t(offset) + 2, raw.data(), int64_t(raw.size()))) return std::nullopt;
  dir.entries.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = raw.data() + i * 12;
    dir.entries[i].tag = dir.U16(e);
    dir.entries[i].type = dir.U16(e + 2);
    dir.entries[i].count = dir.U32(e + 4);
    std::memcpy(dir.entries[i].value, e + 8, 4);
  }
  return dir;
}

bool IsCameraRawDirectory(const TiffDirectory& dir) {
  if (const TiffEntry* e = dir.Find(50706); e && e->type == 1 && e->count == 4) return true;
  if (const TiffEntry* e = dir.Find(262); e && e->type == 3 && e->count == 1) {
    uint16_t v = dir.U16(e->value);
    if (v == 32803 || v == 34892) return true;
  }
  if (dir.Find(330) && dir.Find(37398)) {
    const TiffEntry* w = dir.Find(256);
    const TiffEntry* h = dir.Find(257);
    auto wv = w ? dir.Value(*w) : std::nullopt;
    auto hv = h ? dir.Value(*h) : std::nullopt;
    if (wv && hv && *wv < 200 && *hv < 200) return true;
  }
  return false;
}

bool TestTiff(Probe& probe) {
  std::optional<TiffDirectory> dir = ReadTiffDirectory(probe);
  if (!dir || !dir->Find(256) || !dir->Find(257)) return false;
  return !IsCameraRawDirectory(*dir);
}

// ---------------------------------------------------------------- other tests

bool TestIconDirectory(Probe& probe, uint16_t resourceType) {
  if (probe.Avail() < 23) return false;
  uint8_t head[6];
  if (!probe.ReadAt(0, head, 6)) return false;
  uint16_t count = LE16(head + 4);
  if (LE16(head) != 0 || LE16(head + 2) != resourceType || count == 0) return false;
  std::vector<uint8_t> entries(size_t(count) * 16);
  if (!probe.ReadAt(6, entries.data(), int64_t(entries.size()))) return false;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = entries.data() + i * 16;
    int64_t after = 6 + int64_t(i + 1) * 16;
    if (e[3] != 0 || LE32(e + 8) == 0 || int64_t(LE32(e + 12)) < after) return false;
  }
  return true;
}

bool TestTarga(Probe& probe) {
  uint8_t h[18];
  if (!probe.ReadAt(0, h, 18)) return false;
  bool typeOk = h[2] == 1 || h[2] == 2 || h[2] == 3 || h[2] == 9 || h[2] == 10 || h[2] == 11;
  bool bitsOk = h[16] == 1 || h[16] == 4 || h[16] == 8 || h[16] == 16 || h[16] == 24 || h[16] == 32;
  return typeOk && bitsOk && h[1] <= 1 && LE16(h + 12) != 0 && LE16(h + 14) != 0;
}

// Tokens of a portable anymap header: runs of ASCII letters and digits; "#" starts a
// comment that runs to the end of the line.
class AnymapTokens {
 public:
  explicit AnymapTokens(Probe& probe) : probe_(probe) {}

  // The next token that is not a comment; nullopt at the end of the data or after the
  // token budget.
  std::optional<std::string> Next() {
    while (budget_ > 0) {
      int c = Get();
      if (c < 0) return std::nullopt;
      if (c == '#') {
        --budget_;
        while (c >= 0 && c != '\n' && c != '\r') c = Get();
        continue;
      }
      if (!std::isalnum(c)) continue;
      std::string token;
      // Long tokens are consumed whole but kept short: none of them is a valid one.
      while (c >= 0 && std::isalnum(c)) {
        if (token.size() < 64) token += char(c);
        c = Get();
      }
      --budget_;
      return token;
    }
    return std::nullopt;
  }

 private:
  int Get() {
    if (pos_ == filled_) {
      filled_ = size_t(probe_.ReadSome(offset_, buffer_, sizeof buffer_));
      offset_ += int64_t(filled_);
      pos_ = 0;
      if (filled_ == 0) return -1;
    }
    return buffer_[pos_++];
  }

  Probe& probe_;
  uint8_t buffer_[512];
  size_t pos_ = 0;
  size_t filled_ = 0;
  int64_t offset_ = 0;
  int budget_ = 501;
};

int32_t DecimalOrMinusOne(const std::optional<std::string>& token) {
  if (!token || token->empty() || token->size() > 10) return -1;
  int64_t v = 0;
  for (char c : *token) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v > INT32_MAX ? -1 : int32_t(v);
}

bool TestAnymap(Probe& probe) {
  AnymapTokens tokens(probe);
  std::optional<std::string> magic = tokens.Next();
  if (!magic || magic->size() != 2 || (*magic)[0] != 'P' || (*magic)[1] < '1' || (*magic)[1] > '6')
    return false;
  int32_t width = DecimalOrMinusOne(tokens.Next());
  int32_t height = DecimalOrMinusOne(tokens.Next());
  return width > 0 && height > 0;
}

bool TestJpegStart(Probe& probe) {
  uint8_t buf[102];
  int64_t got = probe.ReadSome(0, buf, sizeof buf);
  for (int64_t i = 0; i + 3 <= got && i < 100; ++i) {
    if (buf[i] == 0xFF && buf[i + 1] == 0xD8 && buf[i + 2] == 0xFF) return true;
  }
  return false;
}

bool TestMultipagePcx(Probe& probe) {
  uint8_t word[4];
  if (!probe.ReadAt(0, word, 4) || LE32(word) != 0x3ADE68B1) return false;
  for (int i = 0; i < 1024; ++i) {
    if (!probe.ReadAt(4 + int64_t(i) * 4, word, 4)) return false;
    uint32_t offset = LE32(word);
    if (offset == 0) return true;
    if (int64_t(offset) >= probe.Avail()) return false;
  }
  return true;
}

bool TestMetafile(Probe& probe) {
  uint8_t head[20];
  if (!probe.ReadAt(0, head, 20)) return false;
  int64_t at = LE32(head) == 0x9AC6CDD7 ? 22 : 0;
  uint8_t h[18];
  if (!probe.ReadAt(at, h, 18)) return false;
  return LE16(h) == 1 && LE16(h + 2) == 9 && LE16(h + 16) == 0;
}

bool TestEnhancedMetafile(Probe& probe) {
  uint8_t h[100];
  if (!probe.ReadAt(0, h, 100)) return false;
  return LE32(h) == 1 && LE32(h + 40) == 0x464D4520;
}

bool TestPhotoshop(Probe& probe) {
  uint8_t h[26];
  if (!probe.ReadAt(0, h, 26)) return false;
  if (std::memcmp(h, "8BPS", 4) != 0 || BE16(h + 4) != 1) return false;
  uint16_t channels = BE16(h + 12);
  uint16_t depth = BE16(h + 22);
  uint16_t mode = BE16(h + 24);
  return channels >= 1 && channels <= 24 && depth >= 1 && depth <= 16 && mode < 10;
}

bool VectorObjectsAt(Probe& probe, int64_t absolute) {
  uint8_t h[4];
  if (!probe.ReadAbs(absolute, h, 4)) return false;
  return h[0] == 'L' && h[1] == 'X' && h[2] == 'V' && h[3] >= 0x31 && h[3] <= 0x50;
}

bool LayersAt(Probe& probe, int64_t offset) {
  uint8_t h[25];
  if (!probe.ReadAt(offset, h, 25)) return false;
  return std::memcmp(h, "LUMENAXLAYERS", 13) == 0 && int32_t(LE32(h + 13)) > 0;
}

bool TestLayersAndObjects(Probe& probe) {
  uint8_t h[4];
  if (!probe.ReadAt(0, h, 4)) return false;
  int32_t n = int32_t(LE32(h));
  if (n > probe.Size()) return false;
  if (!LayersAt(probe, 4)) return false;
  return VectorObjectsAt(probe, n);
}

FileType RunTests(TStream& stream, int64_t start, int64_t size) {
  Probe probe(stream, start, size);
  int64_t avail = probe.Avail();
  uint8_t h[16];

  if (avail > 12 && probe.ReadAt(0, h, 12) && std::memcmp(h, "JFIF\0", 5) == 0) return ftJpeg;
  if (avail > 13 && probe.ReadAt(0, h, 13) && std::memcmp(h, "GIF", 3) == 0) return ftGif;
  if (avail > 12 && probe.ReadAt(0, h, 12) && std::memcmp(h, "PCX2\0", 5) == 0) return ftPcx;
  if (HeadIs(probe, 4, "PCX\0", 4)) return ftPcx;
  if (avail > 14 && probe.ReadAt(0, h, 14) && LE16(h) == 0x4D42) return ftBmp;
  if (avail > 128 && probe.ReadAt(0, h, 2) && h[0] == 0x0A && h[1] <= 5) return ftPcx;
  if (avail > 12 && probe.ReadAt(0, h, 12) && std::memcmp(h, "TIFF\0", 5) == 0) return ftTiff;
  if (TestTiff(probe)) return ftTiff;
  if (avail > 8 && probe.ReadAt(0, h, 4) && h[0] == 0x89 && std::memcmp(h + 1, "PNG", 3) == 0)
    return ftPng;
  if (probe.ReadAt(128, h, 4) && std::memcmp(h, "DICM", 4) == 0) return ftDicom;
  if (TestIconDirectory(probe, 1)) return ftIco;
  if (TestIconDirectory(probe, 2)) return ftCur;
  if (TestTarga(probe)) return ftTga;
  if (TestAnymap(probe)) return ftPxm;
  if (TestJpegStart(probe)) return ftJpeg;
  if (probe.ReadAt(0, h, 12) && BE32(h) == 12 && BE32(h + 4) == 0x6A502020 &&
      BE32(h + 8) == 0x0D0A870A)
    return ftJp2;
  if (probe.ReadAt(0, h, 4) && BE16(h) == 0xFF4F && BE16(h + 2) == 0xFF51) return ftJ2k;
  if (probe.ReadAt(0, h, 12) && std::memcmp(h, "RIFF", 4) == 0 &&
      std::memcmp(h + 8, "AVI ", 4) == 0)
    return ftAvi;
  if (TestMultipagePcx(probe)) return ftDcx;
  if (TestMetafile(probe)) return ftWmf;
  if (TestEnhancedMetafile(probe)) return ftEmf;
  if (TestPhotoshop(probe)) return ftPsd;
  if (VectorObjectsAt(probe, start)) return ftVectObjects;
  if (LayersAt(probe, 0)) return ftLayers;
  if (TestLayersAndObjects(probe)) return ftLayersAndObjects;
  for (const FormatRow& row : FormatRegistryRows()) {
    if (!row->TryFunction) continue;
    stream.Seek(start, soBeginning);
    if (row->TryFunction(stream, row->FileType)) return row->FileType;
  }
  return ftUnknown;
}

}  // namespace

FileType DetectStreamFormat(TStream& stream) {
  FileType result = ftUnknown;
  int64_t start = 0;
  bool positioned = false;
  try {
    start = stream.Position();
    positioned = true;
    int64_t size = stream.Size();
    result = RunTests(stream, start, size);
  } catch (...) {
    // A test that raises ends the detection with what was found before it.
  }
  if (positioned) {
    try {
      stream.Seek(start, soBeginning);
    } catch (...) {
    }
  }
  return result;
}

FileType DetectFileFormat(const std::filesystem::path& name, bool strict) {
  std::error_code ec;
  if (name.empty() || !std::filesystem::exists(name, ec) || std::filesystem::is_directory(name, ec))
    return ftUnknown;
  FileType result = ftUnknown;
  try {
    TLxWideFileStream file(name, fmOpenRead | fmShareDenyWrite);
    result = DetectStreamFormat(file);
  } catch (...) {
    result = ftUnknown;
  }
  FormatRow row = FindFormatByExtension(ExtractFileExt(name));
  if (row && row->FileType == ftRaw && result == ftTiff) result = ftRaw;
  if (row && !row->InternalFormat) {
    result = row->FileType;
  } else if (strict && result != ftUnknown) {
    if (!row) {
      result = ftUnknown;
    } else {
      // Icons and cursors share one layout: the name tells which one it is. Any other name
      // on an icon or a cursor is a disagreement like any other.
      if ((result == ftIco || result == ftCur) &&
          (row->FileType == ftIco || row->FileType == ftCur))
        result = row->FileType;
      if (row->FileType != result) result = ftUnknown;
    }
  }
  return result;
}

}  // namespace lumenax
