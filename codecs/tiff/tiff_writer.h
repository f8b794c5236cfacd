// TIFF writer: one image as a little-endian TIFF structure, or one more image inserted into the
// chain of an existing little-endian structure; and the tag list and directory writer it is
// built on, which the EXIF block builder shares.
//
// Offsets in the written structure count from its base: the stream position where the TIFF
// header starts (0 for a file, the start of the TIFF data inside an EXIF block).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace lumenax {

class TStream;
class TLxBitmap;
class TIOParamsVals;
struct ProgressRecord;

// Writes through to a stream, counting positions from a base, gathering small writes in a
// buffer. Every write is checked: a stream that takes fewer bytes than given fails the
// operation ("short write") and later writes are dropped.
class TLxTiffOutput {
 public:
  TLxTiffOutput(TStream& stream, ProgressRecord& progress, int64_t base);
  ~TLxTiffOutput();
  TLxTiffOutput(const TLxTiffOutput&) = delete;
  TLxTiffOutput& operator=(const TLxTiffOutput&) = delete;

  void Write(const void* data, size_t n);
  void WriteU8(uint8_t v) { Write(&v, 1); }
  void WriteU16(uint16_t v);
  void WriteU32(uint32_t v);
  // Writes a zero byte when the position is odd.
  void Align();
  // Position relative to the base (buffered bytes included).
  int64_t Position() const { return position_; }
  // Flushes, then moves to a position relative to the base.
  void Seek(int64_t position);
  // Hands everything buffered to the stream (before writing to the stream directly).
  void Flush();
  // Flushes and takes the position from the stream again (after writing to it directly).
  void Resync();
  bool Failed() const;
  TStream& Stream() { return stream_; }
  ProgressRecord& Progress() { return progress_; }
  int64_t Base() const { return base_; }

 private:
  TStream& stream_;
  ProgressRecord& progress_;
  int64_t base_;
  int64_t position_ = 0;
  std::vector<uint8_t> buffer_;
};

// The entries of one directory. An entry is 12 bytes in the file: tag, type, count and a
// value or offset. A value of up to four bytes stands in the entry (left-justified); a longer
// one is written to the output at once, at the next even position, and the entry holds its
// offset. Entries are kept sorted by tag when the directory is written; adding a tag that is
// already there replaces it (its old out-of-line value stays in the file unused).
//
// Types are those of TIFF 6.0 (TLxTiffType in codecs/common/ifd.h): 1 BYTE, 2 ASCII, 3 SHORT,
// 4 LONG, 5 RATIONAL, 7 UNDEFINED, 9 SLONG, 10 SRATIONAL.
class TLxTiffTagList {
 public:
  explicit TLxTiffTagList(TLxTiffOutput& out) : out_(out) {}

  // count values of `type` whose bytes (little-endian, count x type size of them) are given.
  void AddRaw(uint16_t tag, uint16_t type, uint32_t count, const void* bytes, size_t size);
  void AddShort(uint16_t tag, uint16_t value);
  void AddShorts(uint16_t tag, std::span<const uint16_t> values);
  void AddLong(uint16_t tag, uint32_t value);
  void AddLongs(uint16_t tag, std::span<const uint32_t> values);
  // SHORT when the value fits in 16 bits, LONG otherwise.
  void AddInteger(uint16_t tag, uint32_t value);
  // SHORTs when every value fits in 16 bits, LONGs otherwise.
  void AddIntegers(uint16_t tag, std::span<const uint32_t> values);
  // RATIONAL (unsigned) values from doubles (negative values become 0), and SRATIONAL.
  void AddRational(uint16_t tag, double value);
  void AddRationals(uint16_t tag, std::span<const double> values);
  void AddSRational(uint16_t tag, double value);
  void AddSRationals(uint16_t tag, std::span<const double> values);
  // A fraction as given.
  void AddRationalParts(uint16_t tag, uint32_t numerator, uint32_t denominator);
  // ASCII: empty strings are not written; one to four characters stand in the entry without
  // a terminating zero (count = length); longer strings end with a zero (count = length + 1).
  void AddAscii(uint16_t tag, std::string_view text);
  // BYTE or UNDEFINED blocks; empty blocks are not written.
  void AddBytes(uint16_t tag, uint16_t type, std::span<const uint8_t> bytes);
  // An entry for a value that is written elsewhere later: the 4-byte value is given as is
  // (for example a LONG offset patched by the caller with SetValue).
  void SetValue(uint16_t tag, uint32_t valueField);

  bool Has(uint16_t tag) const;
  void Remove(uint16_t tag);
  size_t Count() const { return entries_.size(); }

  // Writes the directory at the next even position: the entry count, the entries sorted by
  // tag and the next-directory offset. Returns the directory's offset (relative to the base).
  uint32_t WriteIfd(uint32_t next);

  TLxTiffOutput& Output() { return out_; }

 private:
  struct Entry {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    uint8_t value[4];
  };
  TLxTiffOutput& out_;
  std::vector<Entry> entries_;
};

// Closest fraction to a double for RATIONAL (unsigned) and SRATIONAL (signed) values: the
// denominator is the largest power of ten up to 10^7 for which the numerator still fits in 32
// bits; the numerator is clamped to its type's range.
void DoubleToRational(double value, bool isSigned, uint32_t& numerator, uint32_t& denominator);

// Resolution tags 282, 283 (RATIONAL) and 296: the precise values when they are set, else
// the integer resolutions (dpi, with unit inch).
void AddResolutionTags(TLxTiffTagList& tags, double xResolution, double yResolution, int32_t dpiX,
                       int32_t dpiY, uint16_t unit);

// The EXIF seam: adds the main-directory EXIF tags (description, resolution, orientation,
// camera data), the EXIF directory and, when any GPS field is set, the GPS directory, and
// returns true when the record holds EXIF data. Returns false without adding anything
// otherwise; the writer then adds 270, 282, 283 and 296 itself. withBitmap: the structure
// carries an image (false for an EXIF block's first directory written without a bitmap).
bool AddExifTiffTags(TLxTiffTagList& tags, TIOParamsVals& params, bool withBitmap);

// Writes bitmap as a TIFF structure at the stream's position, or (insert) adds it to the
// structure that starts there, as image number Params.TiffImageIndex (or the last image when
// the chain is shorter). Returns the number of images in the structure after the call (0 when
// an insert was refused).
//
// The layout follows the bitmap and the record's TIFF fields (BitsPerSample, SamplesPerPixel,
// TiffPhotometric, TiffCompression, TiffFillOrder, the JPEG and Deflate settings); the record
// is corrected to what was stored, so that tags and rows always agree. Without a bitmap only
// the descriptive tags are written (EXIF blocks).
//
// Insert mode reads the chain first: a big-endian structure, a directory pointer outside the
// stream or a chain that loops fails the call before anything is written. A short write, or a
// progress handler that sets Aborting, stops after the current row; the header and the
// directory are then not written.
int32_t WriteTiffStream(TStream& stream, bool insertMode, TLxBitmap* bitmap,
                        ProgressRecord& progress, TIOParamsVals& params);

}  // namespace lumenax
