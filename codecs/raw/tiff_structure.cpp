#include "codecs/raw/tiff_structure.h"

#include <cstring>
#include <set>
#include <vector>

#include "bitmap/byte_reader.h"
#include "bitmap/stream.h"

namespace lumenax {

namespace {

constexpr uint16_t kTagSubIfds = 330;
constexpr uint16_t kTagExifIfd = 34665;
constexpr uint16_t kTagGpsIfd = 34853;
constexpr uint16_t kTagInteropIfd = 40965;
constexpr int kMaxDepth = 8;
constexpr int kMaxDirectories = 512;
constexpr uint32_t kMaxEntries = 4096;

// Bytes per value of a TIFF field type (unknown types count one byte).
uint32_t TypeSize(uint16_t type) {
  switch (type) {
    case 3:
    case 8:
      return 2;
    case 4:
    case 9:
    case 11:
    case 13:
      return 4;
    case 5:
    case 10:
    case 12:
      return 8;
    default:
      return 1;
  }
}

class Walker {
 public:
  Walker(TStream& stream, int64_t start, int64_t size, bool big)
      : stream_(stream), start_(start), size_(size), big_(big) {}

  // The chain of directories starting at offset.
  bool Chain(uint32_t offset, int depth) {
    while (offset != 0) {
      if (depth > kMaxDepth || ++directories_ > kMaxDirectories) return false;
      if (!seen_.insert(offset).second) return false;
      uint32_t next = 0;
      if (!Directory(offset, depth, next)) return false;
      offset = next;
    }
    return true;
  }

 private:
  bool Read(int64_t offset, uint8_t* out, int64_t n) {
    if (offset < 0 || n > size_ - offset) return false;
    if (stream_.Seek(start_ + offset, soBeginning) != start_ + offset) return false;
    return stream_.Read(out, n) == n;
  }
  uint16_t U16(const uint8_t* p) const { return big_ ? LoadU16BE(p) : LoadU16LE(p); }
  uint32_t U32(const uint8_t* p) const { return big_ ? LoadU32BE(p) : LoadU32LE(p); }

  bool Directory(uint32_t offset, int depth, uint32_t& next) {
    uint8_t countBytes[2];
    if (!Read(offset, countBytes, 2)) return false;
    const uint32_t count = U16(countBytes);
    if (count == 0 || count > kMaxEntries) return false;
    std::vector<uint8_t> entries(size_t(count) * 12 + 4);
    if (!Read(int64_t(offset) + 2, entries.data(), int64_t(entries.size()))) return false;
    std::vector<uint32_t> children;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* e = entries.data() + size_t(i) * 12;
      const uint16_t tag = U16(e);
      const uint16_t type = U16(e + 2);
      const uint64_t bytes = uint64_t(U32(e + 4)) * TypeSize(type);
      if (bytes > 4) {
        const uint64_t at = U32(e + 8);
        if (at + bytes > uint64_t(size_)) return false;
      }
      if (tag == kTagSubIfds || tag == kTagExifIfd || tag == kTagGpsIfd || tag == kTagInteropIfd) {
        const uint32_t n = U32(e + 4);
        if (n == 1 || bytes <= 4) {
          if (n >= 1) children.push_back(U32(e + 8));
        } else {
          std::vector<uint8_t> list(size_t(std::min<uint32_t>(n, 64)) * 4);
          if (!Read(U32(e + 8), list.data(), int64_t(list.size()))) return false;
          for (size_t k = 0; k < list.size(); k += 4) children.push_back(U32(list.data() + k));
        }
      }
    }
    next = U32(entries.data() + size_t(count) * 12);
    for (uint32_t child : children) {
      if (child != 0 && !Chain(child, depth + 1)) return false;
    }
    return true;
  }

  TStream& stream_;
  int64_t start_;
  int64_t size_;
  bool big_;
  std::set<uint32_t> seen_;
  int directories_ = 0;
};

}  // namespace

bool TiffStructureIsSound(TStream& stream, int64_t start, int64_t size) {
  uint8_t h[8];
  if (size < 8 || stream.Seek(start, soBeginning) != start || stream.Read(h, 8) != 8) return true;
  // LibRaw walks the directories of every stream that starts with a byte order, whatever
  // its version number says (42, the "RO" and "U" of some cameras, or damage); only Canon's
  // older heap format is something else.
  const bool little = h[0] == 'I' && h[1] == 'I';
  const bool big = h[0] == 'M' && h[1] == 'M';
  if (!little && !big) return true;
  uint8_t heap[8];
  if (stream.Seek(start + 6, soBeginning) == start + 6 && stream.Read(heap, 8) == 8 &&
      std::memcmp(heap, "HEAPCCDR", 8) == 0)
    return true;
  Walker walker(stream, start, size, big);
  return walker.Chain(big ? LoadU32BE(h + 4) : LoadU32LE(h + 4), 0);
}

}  // namespace lumenax
