// TIFF structure: the 8-byte header, the chain of image file directories (IFDs) and typed
// access to their tag values. The TIFF reader and the EXIF decoder share it.
//
// Every offset comes from hostile data:
//  - the chain walk remembers every directory it visited, so a chain that loops (A -> B -> A)
//    ends instead of running forever, and it stops at kMaxIfds directories;
//  - a directory whose entries run past the end of the stream keeps the entries that fit and
//    ends the chain;
//  - each entry's value extent (count x type size) is computed without overflow; an entry
//    whose value does not lie wholly inside the stream, or whose type is unknown, is treated
//    as absent (Find skips it);
//  - array reads are capped by the caller before anything is allocated.
// Offsets in the file are relative to a base position (0 for a file, the start of the block
// for EXIF data embedded in another format).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumenax {

class TStream;

// Field types of TIFF 6.0.
enum TLxTiffType : uint16_t {
  ttByte = 1,
  ttAscii = 2,
  ttShort = 3,
  ttLong = 4,
  ttRational = 5,
  ttSByte = 6,
  ttUndefined = 7,
  ttSShort = 8,
  ttSLong = 9,
  ttSRational = 10,
  ttFloat = 11,
  ttDouble = 12,
  ttIfd = 13,
};

// Bytes of one value of a type; 0 for types this reader does not know.
uint32_t TiffTypeSize(uint16_t type);

struct TLxIfdEntry {
  uint16_t Tag = 0;
  uint16_t Type = 0;
  uint32_t Count = 0;
  // The four value bytes of the entry as stored (the value itself, or its offset).
  uint8_t Raw[4] = {};
  // Count x type size; the value is in Raw when it is at most 4.
  uint64_t Bytes = 0;
  // Absolute stream position of the value (inside the entry or at its offset).
  int64_t Position = 0;
  // Known type and value wholly inside the stream.
  bool Valid = false;
};

struct TLxIfd {
  // Absolute stream position of the directory.
  int64_t Position = 0;
  std::vector<TLxIfdEntry> Entries;
  // Offset of the next directory as stored (0: none).
  uint32_t Next = 0;
  // The entries ran past the end of the stream (the ones that fit are kept).
  bool Cut = false;

  // The first valid entry with this tag, or nullptr.
  const TLxIfdEntry* Find(uint16_t tag) const;
};

class TLxTiffStructure {
 public:
  // The chain walk ends at this many directories.
  static constexpr uint32_t kMaxIfds = 65535;
  // Strings and blocks above this size are not read.
  static constexpr uint64_t kMaxBlock = 1048575;

  // base: absolute position that file offsets count from.
  TLxTiffStructure(TStream& stream, int64_t base);

  // Reads the header at base: "II" or "MM", the version (ignored) and the first IFD offset.
  // False when the byte order mark is neither or the header is cut.
  bool ReadHeader();
  bool BigEndian() const { return bigEndian_; }
  uint32_t FirstIfd() const { return firstIfd_; }
  int64_t Base() const { return base_; }
  int64_t StreamSize() const { return size_; }

  // Offsets of the directories of the chain that starts at first (relative offsets), in
  // order. The walk ends at offset 0, at an offset below 8 or at or past the end of the
  // stream, at a directory already visited, at a directory with no entries (which is not
  // counted), after a directory whose entries are cut, and at kMaxIfds directories.
  std::vector<uint32_t> WalkChain(uint32_t first);

  // Reads the directory at a relative offset; false when not even its entry count can be
  // read (or it has no entries).
  bool ReadIfd(uint32_t offset, TLxIfd& out);

  // ---- values
  uint16_t U16(const uint8_t* p) const;
  uint32_t U32(const uint8_t* p) const;

  // Value i of an integer entry (BYTE, SHORT, LONG, their signed forms, IFD); nullopt when the
  // entry is of another type or i is not below its count.
  std::optional<uint32_t> Uint(const TLxIfdEntry& e, uint32_t i = 0);
  // The first `limit` (or fewer) values of an integer entry. Empty for other types.
  std::vector<uint32_t> UintArray(const TLxIfdEntry& e, uint32_t limit);
  // Value i of a RATIONAL or SRATIONAL (a zero denominator counts as 1), or of an integer,
  // FLOAT or DOUBLE entry, as a double; nullopt otherwise.
  std::optional<double> Real(const TLxIfdEntry& e, uint32_t i = 0);
  // An ASCII entry: the bytes up to the first zero (at most kMaxBlock); empty when absent or
  // too long.
  std::string Ascii(const TLxIfdEntry& e);
  // The value bytes as stored (any type; at most kMaxBlock, else empty).
  std::vector<uint8_t> Block(const TLxIfdEntry& e);
  // Value bytes [from, from + n) of the entry into dst; false when outside its value or the
  // read comes up short.
  bool ValueBytes(const TLxIfdEntry& e, uint64_t from, void* dst, size_t n);

  // Exactly n bytes at an absolute stream position; false when they are not all there.
  bool ReadAt(int64_t position, void* dst, size_t n);
  TStream& Stream() { return stream_; }

 private:
  TStream& stream_;
  int64_t base_;
  int64_t size_;
  bool bigEndian_ = false;
  uint32_t firstIfd_ = 0;
};

}  // namespace lumenax
