// PackBits run-length coding, as TIFF (compression 32773), Photoshop (compression 1) and DICOM
// RLE segments use it. A control byte n is followed by
//   0 .. 127    n + 1 literal bytes;
//  -127 .. -1   one byte, repeated 1 - n times;
//  -128         nothing (a no-op).
//
// Callers:
//  - TIFF: a strip or tile is decoded row by row (in advancing by Consumed, rows dropping what
//    a run spills past them) or whole into rows x row bytes; fill order 2 data are reversed
//    with ReverseBitOrder first.
//  - Photoshop: each row's own bytes (from the row byte count table) into one row.
//  - DICOM RLE: each segment's bytes (from its offset to the next) as a plane of rows x
//    columns bytes, decoded a row at a time (TLxPackBitsReader) as the reader spreads them
//    into the pixels.
// A result that is not Complete is a "truncated" failure for all of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lumenax {

struct TLxPackBitsResult {
  size_t Consumed = 0;  // input bytes used, including every packet cut off by the output's end
  size_t Produced = 0;  // bytes written to the output
  // The output was filled; false: the input ended first (the caller reports "truncated").
  bool Complete = false;
};

// Decodes from in into out until out is full or in is used up. A packet that runs past the end
// of out is cut there and counts as consumed whole, so decoding row by row (TIFF rows,
// Photoshop rows with their own byte counts) drops what a run spills over the row; decoding a
// whole strip or segment at once keeps runs that cross rows. A literal packet cut short by the
// end of in delivers the bytes that exist. The unfilled end of out is set to 0. Input with fill
// order 2 is bit-reversed first (ReverseBitOrder).
TLxPackBitsResult DecodePackBits(std::span<const uint8_t> in, std::span<uint8_t> out);

// PackBits decoded piece by piece: each Next fills its output from where the last call
// stopped, a run or literal packet carrying over between calls. The pieces joined are what
// DecodePackBits gives for their total size (for planes whose runs cross rows).
class TLxPackBitsReader {
 public:
  explicit TLxPackBitsReader(std::span<const uint8_t> in) : in_(in) {}
  // Fills out; false when the input ended first (the rest of out, and of every later piece,
  // is then 0).
  bool Next(std::span<uint8_t> out);

 private:
  std::span<const uint8_t> in_;
  size_t i_ = 0;
  size_t literalLeft_ = 0;  // bytes of a literal packet still to copy (they are at in_[i_])
  size_t runLeft_ = 0;      // repeats of runByte_ still to write
  uint8_t runByte_ = 0;
};

// The largest encoding of n bytes: n plus one control byte per 128 bytes.
inline size_t PackBitsBound(size_t n) {
  return n + (n + 127) / 128;
}

// Appends the PackBits encoding of row to out. Runs of 4 to 128 equal bytes become run
// packets; other bytes gather into literal packets of at most 128, flushed before a run and at
// the end. Each call is self-contained (rows are encoded separately in TIFF and Photoshop).
void EncodePackBits(std::span<const uint8_t> row, std::vector<uint8_t>& out);

}  // namespace lumenax
