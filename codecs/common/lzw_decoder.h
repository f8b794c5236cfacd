// LZW decoding of TIFF strips and tiles (compression 5), with a core that other LZW dialects
// (GIF) can share through TLxLzwOptions.
//
// Two ways in:
//  - TLxLzwDecoder: the decoder of one code stream held in memory. Begin() with the strip or
//    tile, then Decode() as many bytes as wanted, in pieces of any size (one row at a time, or
//    the whole strip at once); a string that does not fit is carried over to the next call.
//  - The TIFF decoder hook (TTiffLzwDecoderHook, default TiffLzwDecodeRow): what the TIFF
//    reader calls through the parameter record's TiffLzwDecoderHook, so that an application
//    can install a decoder of its own.
//
// Failures are TLxFailure codes, ready for ProgressRecord::Fail:
//  - Truncated: the data, or an end-of-information code, ended before the bytes asked for;
//  - BadData: an impossible code (a code above the literals with no string before it, as the
//    first code of a stream or directly after a clear code) or a table that overflows.
// A failed call zero-fills what it could not decode, and every later call fails the same way.
// The decoder never reads outside the data it was given nor writes outside the output span.
//
// Fill order: TIFF LZW data with FillOrder 2 are bit-reversed byte by byte before decoding
// (ReverseBitOrder, codecs/common/bit_order.h); LsbFirst is a different packing (GIF's, and that
// of the very old TIFF LZW variant), not fill order 2.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "bitmap/progress.h"

namespace lumenax {

struct TLxLzwOptions {
  // Codes below 2^LiteralBits stand for themselves; 2^LiteralBits is the clear code, the next
  // one the end-of-information code, and new strings start after it. TIFF: 8. GIF: the
  // minimum code size of the image (1 to 8). The first code width is LiteralBits + 1.
  int LiteralBits = 8;
  // The code width grows one entry early (at 511, 1023, 2047 entries), as TIFF writers do.
  // GIF: false (at 512, 1024, 2048).
  bool EarlyChange = true;
  // Codes are packed least significant bit first (GIF). TIFF: false, most significant first.
  bool LsbFirst = false;
  // A code that would add a string to a full table (4,096 entries) is corrupt data (TIFF).
  // false: the table stops growing and decoding goes on until the next clear code (GIF).
  bool FullTableIsError = true;
  // A code above the next free entry is corrupt data (GIF). false: it stands for the entry
  // being added, as a code equal to it does (TIFF).
  bool CodeAboveNextIsError = false;
};

// Decodes one LZW code stream from memory.
class TLxLzwDecoder {
 public:
  explicit TLxLzwDecoder(const TLxLzwOptions& options = {});

  // Starts a new code stream: initial table, first code width, no carried-over bytes. The
  // data must stay valid, unchanged, until the next Begin.
  void Begin(std::span<const uint8_t> data);

  // Fills out with the next decoded bytes. Returns TLxFailure::None when out is full;
  // otherwise Truncated or BadData, with the bytes that could not be decoded set to 0.
  // produced (optional) receives the number of decoded bytes placed in out.
  TLxFailure Decode(std::span<uint8_t> out, size_t* produced = nullptr);

  // The end-of-information code was read, or the data are used up, and no decoded bytes are
  // waiting: further calls can only fail with Truncated.
  bool Finished() const;
  // Bytes of the data that decoding has started to read.
  size_t BytesRead() const { return pos_; }

 private:
  static constexpr int kMaxBits = 12;
  static constexpr int kTableSize = 1 << kMaxBits;

  template <bool LsbFirst>
  size_t DecodeCodes(uint8_t* dst, size_t n, size_t want);
  void ResetTable();
  // Writes the string of code into dst (exactly length_[code] bytes).
  void WriteString(uint32_t code, uint8_t* dst) const;

  TLxLzwOptions opt_;
  uint32_t clear_ = 256, end_ = 257, firstFree_ = 258;
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  uint64_t bits_ = 0;  // bit accumulator
  int bitCount_ = 0;
  int width_ = 9;
  uint32_t nextFree_ = 258;
  int32_t prev_ = -1;  // previous code, -1 at the start and after a clear code
  bool ended_ = false;
  TLxFailure failure_ = TLxFailure::None;
  // String table: prefix code, last byte, first byte and length of every string.
  std::array<uint16_t, kTableSize> prefix_{};
  std::array<uint8_t, kTableSize> suffix_{};
  std::array<uint8_t, kTableSize> first_{};
  std::array<uint16_t, kTableSize> length_{};
  // The first bytes of every string, so that output needs no walk through them.
  static constexpr size_t kHead = 8;
  std::array<uint8_t[kHead], kTableSize> head_{};
  // The end of a string that did not fit into the last output, delivered by the next call.
  std::array<uint8_t, kTableSize> carry_{};
  size_t carryPos_ = 0, carryEnd_ = 0;
};

// State that an LZW decoder hook keeps for one strip or tile between its calls. A hook of the
// application's own derives its state from this class.
class TLxLzwHookState {
 public:
  virtual ~TLxLzwHookState() = default;
};

// The TIFF LZW decoder hook: decodes the next row.bytes of the strip (or tile) into row.
//  - The first call for a strip, with an empty state, creates the state; later calls for the
//    same strip pass the same strip span and the state unchanged (a call with a different
//    span starts that span as a new strip, but a new strip may reuse the old one's memory:
//    end every strip with the freeing call below, or reset the state).
//  - Returns TLxFailure::None when the row is complete, else Truncated or BadData (the row's
//    undecoded bytes are 0); a failed strip fails every later call.
//  - A call with an empty strip frees the state (returning None for an empty row, Truncated
//    otherwise); destroying the state does the same.
using TTiffLzwDecoderHook = TLxFailure (*)(std::span<const uint8_t> strip, std::span<uint8_t> row,
                                           std::unique_ptr<TLxLzwHookState>& state);

// The library's TIFF LZW decoder (8-bit literals, early change, most significant bit first).
TLxFailure TiffLzwDecodeRow(std::span<const uint8_t> strip, std::span<uint8_t> row,
                            std::unique_ptr<TLxLzwHookState>& state);

// The process-wide default decoder hook: TiffLzwDecodeRow unless the program installs another
// before it loads images. A new parameter record's TiffLzwDecoderHook starts as this value; a
// reader uses the record's hook, else this one, and fails when both are empty.
extern TTiffLzwDecoderHook DefaultTiffLzwDecoderHook;

}  // namespace lumenax
