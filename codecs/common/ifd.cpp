#include "codecs/common/ifd.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "bitmap/byte_reader.h"
#include "bitmap/stream.h"

namespace lumenax {

uint32_t TiffTypeSize(uint16_t type) {
  switch (type) {
    case ttByte:
    case ttAscii:
    case ttSByte:
    case ttUndefined:
      return 1;
    case ttShort:
    case ttSShort:
      return 2;
    case ttLong:
    case ttSLong:
    case ttFloat:
    case ttIfd:
      return 4;
    case ttRational:
    case ttSRational:
    case ttDouble:
      return 8;
    default:
      return 0;
  }
}

const TLxIfdEntry* TLxIfd::Find(uint16_t tag) const {
  for (const TLxIfdEntry& e : Entries)
    if (e.Tag == tag && e.Valid) return &e;
  return nullptr;
}

TLxTiffStructure::TLxTiffStructure(TStream& stream, int64_t base)
    : stream_(stream), base_(base), size_(stream.Size()) {}

bool TLxTiffStructure::ReadAt(int64_t position, void* dst, size_t n) {
  if (position < 0 || position > size_ || int64_t(n) > size_ - position) return false;
  if (stream_.Seek(position, soBeginning) != position) return false;
  return stream_.Read(dst, int64_t(n)) == int64_t(n);
}

uint16_t TLxTiffStructure::U16(const uint8_t* p) const {
  return bigEndian_ ? LoadU16BE(p) : LoadU16LE(p);
}
uint32_t TLxTiffStructure::U32(const uint8_t* p) const {
  return bigEndian_ ? LoadU32BE(p) : LoadU32LE(p);
}

bool TLxTiffStructure::ReadHeader() {
  uint8_t h[8];
  if (!ReadAt(base_, h, 8)) return false;
  if (h[0] == 'I' && h[1] == 'I')
    bigEndian_ = false;
  else if (h[0] == 'M' && h[1] == 'M')
    bigEndian_ = true;
  else
    return false;
  firstIfd_ = U32(h + 4);
  return true;
}

bool TLxTiffStructure::ReadIfd(uint32_t offset, TLxIfd& out) {
  out = TLxIfd{};
  const int64_t at = base_ + int64_t(offset);
  uint8_t c[2];
  if (!ReadAt(at, c, 2)) return false;
  const uint16_t count = U16(c);
  if (count == 0) return false;
  out.Position = at;
  // Entries that fit before the end of the stream.
  const int64_t room = std::max<int64_t>(0, (size_ - at - 2) / 12);
  const uint32_t whole = uint32_t(std::min<int64_t>(count, room));
  out.Cut = whole < count;
  std::vector<uint8_t> raw(size_t(whole) * 12);
  if (whole && !ReadAt(at + 2, raw.data(), raw.size())) return false;
  out.Entries.resize(whole);
  for (uint32_t i = 0; i < whole; ++i) {
    const uint8_t* p = raw.data() + size_t(i) * 12;
    TLxIfdEntry& e = out.Entries[i];
    e.Tag = U16(p);
    e.Type = U16(p + 2);
    e.Count = U32(p + 4);
    std::memcpy(e.Raw, p + 8, 4);
    const uint32_t size = TiffTypeSize(e.Type);
    e.Bytes = uint64_t(e.Count) * size;  // at most 2^32 x 8: no overflow in 64 bits
    if (size == 0) continue;
    if (e.Bytes <= 4) {
      e.Position = at + 2 + int64_t(i) * 12 + 8;
      e.Valid = true;
    } else {
      e.Position = base_ + int64_t(U32(e.Raw));
      e.Valid = e.Position <= size_ && e.Bytes <= uint64_t(size_ - e.Position);
    }
  }
  if (!out.Cut) {
    uint8_t n[4];
    if (ReadAt(at + 2 + int64_t(count) * 12, n, 4))
      out.Next = U32(n);
    else
      out.Cut = true;
  }
  return true;
}

std::vector<uint32_t> TLxTiffStructure::WalkChain(uint32_t first) {
  std::vector<uint32_t> chain;
  std::unordered_set<uint32_t> visited;
  uint32_t offset = first;
  while (offset != 0 && offset >= 8 && int64_t(offset) < size_ - base_ && chain.size() < kMaxIfds &&
         visited.insert(offset).second) {
    const int64_t at = base_ + int64_t(offset);
    uint8_t c[2];
    if (!ReadAt(at, c, 2)) break;
    const uint16_t count = U16(c);
    if (count == 0) break;
    chain.push_back(offset);
    uint8_t n[4];
    if (!ReadAt(at + 2 + int64_t(count) * 12, n, 4)) break;
    offset = U32(n);
  }
  return chain;
}

bool TLxTiffStructure::ValueBytes(const TLxIfdEntry& e, uint64_t from, void* dst, size_t n) {
  if (!e.Valid || from > e.Bytes || n > e.Bytes - from) return false;
  if (e.Bytes <= 4) {
    std::memcpy(dst, e.Raw + from, n);
    return true;
  }
  return ReadAt(e.Position + int64_t(from), dst, n);
}

std::optional<uint32_t> TLxTiffStructure::Uint(const TLxIfdEntry& e, uint32_t i) {
  const uint32_t size = TiffTypeSize(e.Type);
  if (!e.Valid || i >= e.Count) return std::nullopt;
  uint8_t b[4];
  switch (e.Type) {
    case ttByte:
    case ttSByte:
      if (!ValueBytes(e, i, b, 1)) return std::nullopt;
      return e.Type == ttSByte ? uint32_t(int32_t(int8_t(b[0]))) : b[0];
    case ttShort:
    case ttSShort:
      if (!ValueBytes(e, uint64_t(i) * size, b, 2)) return std::nullopt;
      return e.Type == ttSShort ? uint32_t(int32_t(int16_t(U16(b)))) : U16(b);
    case ttLong:
    case ttSLong:
    case ttIfd:
      if (!ValueBytes(e, uint64_t(i) * size, b, 4)) return std::nullopt;
      return U32(b);
    default:
      return std::nullopt;
  }
}

std::vector<uint32_t> TLxTiffStructure::UintArray(const TLxIfdEntry& e, uint32_t limit) {
  std::vector<uint32_t> out;
  const uint32_t size = TiffTypeSize(e.Type);
  const bool integer = e.Type == ttByte || e.Type == ttShort || e.Type == ttLong ||
                       e.Type == ttSByte || e.Type == ttSShort || e.Type == ttSLong ||
                       e.Type == ttIfd;
  if (!e.Valid || !integer) return out;
  const uint32_t n = std::min(e.Count, limit);
  std::vector<uint8_t> raw(size_t(n) * size);
  if (n == 0 || !ValueBytes(e, 0, raw.data(), raw.size())) return out;
  out.resize(n);
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* p = raw.data() + size_t(i) * size;
    switch (e.Type) {
      case ttByte:
        out[i] = p[0];
        break;
      case ttSByte:
        out[i] = uint32_t(int32_t(int8_t(p[0])));
        break;
      case ttShort:
        out[i] = U16(p);
        break;
      case ttSShort:
        out[i] = uint32_t(int32_t(int16_t(U16(p))));
        break;
      default:
        out[i] = U32(p);
        break;
    }
  }
  return out;
}

std::optional<double> TLxTiffStructure::Real(const TLxIfdEntry& e, uint32_t i) {
  if (!e.Valid || i >= e.Count) return std::nullopt;
  uint8_t b[8];
  switch (e.Type) {
    case ttRational:
    case ttSRational: {
      if (!ValueBytes(e, uint64_t(i) * 8, b, 8)) return std::nullopt;
      const uint32_t n = U32(b), d = U32(b + 4);
      if (e.Type == ttSRational) return double(int32_t(n)) / (d == 0 ? 1.0 : double(int32_t(d)));
      return double(n) / (d == 0 ? 1.0 : double(d));
    }
    case ttFloat: {
      if (!ValueBytes(e, uint64_t(i) * 4, b, 4)) return std::nullopt;
      const uint32_t u = U32(b);
      float f;
      std::memcpy(&f, &u, 4);
      return double(f);
    }
    case ttDouble: {
      if (!ValueBytes(e, uint64_t(i) * 8, b, 8)) return std::nullopt;
      const uint64_t u = bigEndian_ ? (uint64_t(U32(b)) << 32 | U32(b + 4))
                                    : (uint64_t(U32(b + 4)) << 32 | U32(b));
      double d;
      std::memcpy(&d, &u, 8);
      return d;
    }
    default: {
      std::optional<uint32_t> v = Uint(e, i);
      if (!v) return std::nullopt;
      if (e.Type == ttSByte || e.Type == ttSShort || e.Type == ttSLong) return double(int32_t(*v));
      return double(*v);
    }
  }
}

std::vector<uint8_t> TLxTiffStructure::Block(const TLxIfdEntry& e) {
  std::vector<uint8_t> out;
  if (!e.Valid || e.Bytes > kMaxBlock || e.Bytes == 0) return out;
  out.resize(size_t(e.Bytes));
  if (!ValueBytes(e, 0, out.data(), out.size())) out.clear();
  return out;
}

std::string TLxTiffStructure::Ascii(const TLxIfdEntry& e) {
  if (e.Type != ttAscii) return {};
  std::vector<uint8_t> b = Block(e);
  const auto end = std::find(b.begin(), b.end(), uint8_t(0));
  return std::string(b.begin(), end);
}

}  // namespace lumenax
