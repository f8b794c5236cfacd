// Decoders of the CCITT bilevel codings of ITU-T T.4 and T.6, one row per call, from a strip or
// tile held in memory:
//   TIFF compression 2 (modified Huffman, every row starting on a byte boundary) ... MH rows
//   TIFF compression 3, T4Options bit 0 clear (Group 3 one-dimensional) ............. 1-D rows
//   TIFF compression 3, T4Options bit 0 set (Group 3 two-dimensional) ......... 2-D rows, fill
//   TIFF compression 4 (Group 4) ..................................................... 2-D rows
//
// Rows. One bit per pixel, leftmost pixel in the most significant bit, 1 = white, 0 = black
// (the TIFF reader inverts for its photometric interpretation). Every call first sets the row
// to white (all (width + 7) / 8 bytes, pad bits included) and clears the black runs into it.
// The decoders write at most (width + 7) / 8 bytes of a row span and never read past the data
// span; a width larger than the row (or reference row) span holds is cut to it.
//
// Bit order. fillOrder 1 reads each byte most significant bit first; any other value (TIFF
// FillOrder 2) least significant bit first. Positions are counted in bits from the start of the
// data span.
//
// Damage. The decoders never fail: a code that matches nothing is skipped one bit at a time,
// runs are summed without overflow and cut at the row's end, a vertical-mode position is kept
// between the current position and the row's end, and the data's end acts as an end-of-line.
// Every call either consumes at least one bit or leaves the position at the end of the data,
// so a loop over rows always ends. What a row call met is reported as TLxCcittRowEnd; a reader
// that wants all rows of a strip reports "truncated" when a row ends with EndOfData.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lumenax {

enum class TLxCcittRowEnd : uint8_t {
  Filled,     // codes filled the row to its width
  EndOfLine,  // an end-of-line code came before the width: the rest took the current colour
  EndOfData,  // the data ended before the width: the rest took the current colour
};

struct TLxCcittRow {
  uint64_t BitPosition = 0;  // where the next row starts
  TLxCcittRowEnd End = TLxCcittRowEnd::Filled;
};

// One row of modified Huffman codes (Group 3 one-dimensional) from bitPosition. End-of-line
// codes, with any number of zero fill bits before them, are skipped at the start of the row;
// one inside the row ends it and is left for the next row. The row ends when its width is
// filled by a terminating code.
TLxCcittRow DecodeCcittRow1D(std::span<uint8_t> row, std::span<const uint8_t> data, int fillOrder,
                             uint64_t bitPosition, uint32_t width);

// One row of TIFF compression 2: bitPosition is rounded up to a whole byte, the row decoded as
// by DecodeCcittRow1D, and the returned position rounded up to a whole byte.
TLxCcittRow DecodeCcittRowRle(std::span<uint8_t> row, std::span<const uint8_t> data, int fillOrder,
                              uint64_t bitPosition, uint32_t width);

// One row of two-dimensional coding (Group 3 two-dimensional, Group 4) against referenceRow,
// the previous row of the strip (all white, 0xFF, before a strip's first row); the decoded row
// is then copied into referenceRow. An end-of-line at the start of the row is followed by a
// tag bit: 1 decodes the row one-dimensionally, 0 two-dimensionally. An end-of-line inside the
// row ends it and is left for the next row. With fillMode (always for Group 3
// two-dimensional), twelve or more zero bits and a one count as an end-of-line. Uncompressed
// mode (extension 0000001111 or 000000001111) sets the pixels its codes carry.
TLxCcittRow DecodeCcittRow2D(std::span<uint8_t> row, std::span<const uint8_t> data, bool fillMode,
                             int fillOrder, uint64_t bitPosition, std::span<uint8_t> referenceRow,
                             uint32_t width);

// How a strip or tile is coded.
enum class TLxCcittScheme : uint8_t {
  ModifiedHuffman,  // TIFF compression 2
  Group3OneD,       // TIFF compression 3 without T4Options bit 0
  Group3TwoD,       // TIFF compression 3 with T4Options bit 0
  Group4,           // TIFF compression 4
};

// Decodes the rows of one strip or tile after another, keeping the bit position and the
// reference row in between. Usage by a TIFF reader, per strip:
//   TLxCcittDecoder dec(scheme, width, fillOrder, fillMode);   // once per image
//   dec.Begin(stripBytes);                                      // each strip or tile
//   for each row of the strip: end = dec.DecodeRow(rowBuffer);  // rowBuffer: RowBytes() bytes
// A row whose end is EndOfData means the strip's data ran out (the decoder keeps returning
// white rows with EndOfData from then on).
class TLxCcittDecoder {
 public:
  // width: pixels per row (the tile width for tiles). fillMode applies to Group 4 (Group 3
  // two-dimensional always uses it, the one-dimensional schemes accept fill bits anyway).
  TLxCcittDecoder(TLxCcittScheme scheme, uint32_t width, int fillOrder = 1, bool fillMode = false);

  // Starts a strip or tile: position 0, reference row all white. The data must stay valid,
  // unchanged, until the next Begin.
  void Begin(std::span<const uint8_t> strip);
  // Decodes the next row into row (at least RowBytes() bytes are written to, no more).
  TLxCcittRowEnd DecodeRow(std::span<uint8_t> row);

  size_t RowBytes() const { return (size_t(width_) + 7) / 8; }
  uint32_t Width() const { return width_; }
  uint64_t BitPosition() const { return pos_; }
  // Every bit of the strip has been consumed.
  bool AtEnd() const { return pos_ >= uint64_t(data_.size()) * 8; }

 private:
  TLxCcittScheme scheme_;
  uint32_t width_;
  int fillOrder_;
  bool fillMode_;
  std::span<const uint8_t> data_;
  uint64_t pos_ = 0;
  std::vector<uint8_t> reference_;
};

}  // namespace lumenax
