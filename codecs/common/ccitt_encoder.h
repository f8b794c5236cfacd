// Encoders of the CCITT bilevel codings of ITU-T T.4 and T.6, one row per call, the
// counterparts of ccitt_decoder.h:
//   ModifiedHuffman (TIFF compression 2): one-dimensional rows, each padded with zero bits to a
//     whole byte, no end-of-line codes.
//   Group3OneD (compression 3, T4Options 0): each row is an end-of-line code followed by its
//     one-dimensional codes; rows follow each other without fill bits.
//   Group3TwoD (compression 3, T4Options 1): each row is an end-of-line code and a tag bit,
//     1 for the first row of a strip, coded one-dimensionally, 0 for every later row of the
//     strip, coded two-dimensionally against the row before; the strip ends with one more
//     end-of-line code.
//   Group4 (compression 4, T6Options 0): every row two-dimensionally against the row before,
//     the first row of a strip against an all-white row; the strip ends with the end of
//     facsimile block (two end-of-line codes).
// Every strip ends on a byte boundary: the bits of an unfinished byte stay pending from one row
// to the next and are padded with zero bits when the strip ends.
//
// Rows. One bit per pixel, leftmost pixel in the most significant bit, 0 = white, 1 = black:
// the bits as a bilevel TIFF with photometric 0 (WhiteIsZero) stores them, i.e. a black-is-zero
// bitmap inverted. (The decoders deliver the opposite, 1 = white.) A row span holds at least
// (width + 7) / 8 bytes; the pad bits after the last pixel are ignored.
//
// Bit order. fillOrder 2 (TIFF FillOrder 2) puts the first bit of every byte into its least
// significant bit; any other value into the most significant bit.
//
// PDF's CCITTFaxDecode reads the same data: Group4 as K -1, Group3TwoD as K > 0 (the tag bit
// of each row says its coding) and Group3OneD as K 0, both with EndOfLine true.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bitmap/stream.h"
#include "codecs/common/ccitt_decoder.h"

namespace lumenax {

class TLxCcittEncoder {
 public:
  TLxCcittEncoder(TLxCcittScheme scheme, uint32_t width, int fillOrder = 1);

  // Appends the codes of the next row of the strip to out: whole bytes only, the bits of an
  // unfinished byte stay pending.
  void EncodeRow(std::span<const uint8_t> row, std::vector<uint8_t>& out);
  // Ends the strip: its closing codes and the pending bits padded to a whole byte are appended
  // to out. The next row starts a new strip (one-dimensional first row, all-white reference).
  void EndStrip(std::vector<uint8_t>& out);

  // The same, writing to a stream. Output may stay buffered between rows: the strip's bytes
  // are all in the stream only after EndStrip. Both return false once the stream took fewer
  // bytes than given (the caller reports "write failed"); nothing more is written after that.
  bool EncodeRow(std::span<const uint8_t> row, TStream& stream);
  bool EndStrip(TStream& stream);

  size_t RowBytes() const { return (size_t(width_) + 7) / 8; }
  uint32_t Width() const { return width_; }

 private:
  void PutBits(uint32_t bits, int length);
  void PutRun(uint32_t run, bool black);
  void EncodeOneD(const uint8_t* row);
  void EncodeTwoD(const uint8_t* row);
  void PadToByte();
  // Code a row or the end of a strip into bytes_.
  void CodeRow(std::span<const uint8_t> row);
  void CodeEnd();
  bool Drain(TStream& stream, bool all);

  TLxCcittScheme scheme_;
  uint32_t width_;
  bool lsbFirst_;
  bool firstRow_ = true;        // the next row starts a strip
  std::vector<uint8_t> ref_;    // previous row of the strip, RowBytes() bytes, 0 = white
  std::vector<uint8_t> cur_;    // the row being coded, with its pad bits cleared
  std::vector<uint8_t> bytes_;  // finished bytes not yet handed out
  uint64_t acc_ = 0;            // pending bits, the last bitCount_ of them
  int bitCount_ = 0;
  bool ok_ = true;
};

}  // namespace lumenax
