// libFuzzer target of the LZW decoder. Byte 0 chooses the dialect (bit 0 least significant bit
// first, bit 1 no early change, bit 2 a full table is tolerated, bits 3-5 literal bits - 1),
// bytes 1-2 the row size; the rest is the code stream. The stream is decoded row by row
// through the TIFF hook (TIFF dialect) or the decoder, and again in one piece: both must
// agree, successes must fill their rows and failures must stick.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "codecs/common/lzw_decoder.h"

using namespace lumenax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  TLxLzwOptions o;
  o.LsbFirst = data[0] & 1;
  o.EarlyChange = !(data[0] & 2);
  o.FullTableIsError = !(data[0] & 4);
  o.LiteralBits = ((data[0] >> 3) & 7) + 1;
  const bool tiff =
      o.LsbFirst == false && o.EarlyChange && o.FullTableIsError && o.LiteralBits == 8;
  const size_t rowSize = size_t(data[1] | data[2] << 8) % 4096 + 1;
  const std::span<const uint8_t> stream(data + 3, size - 3);
  const size_t cap = 1 << 20;  // decoded bytes at most

  std::vector<uint8_t> rows;
  std::vector<uint8_t> row(rowSize);
  std::unique_ptr<TLxLzwHookState> state;
  TLxLzwDecoder decoder(o);
  decoder.Begin(stream);
  TLxFailure failure = TLxFailure::None;
  size_t good = 0;  // bytes decoded before the failure
  while (rows.size() < cap) {
    size_t produced = rowSize;
    std::memset(row.data(), 0xA5, rowSize);
    failure = tiff ? TiffLzwDecodeRow(stream, row, state) : decoder.Decode(row, &produced);
    if (failure == TLxFailure::None) {
      if (tiff) produced = rowSize;
      if (produced != rowSize) __builtin_trap();
      rows.insert(rows.end(), row.begin(), row.end());
      good = rows.size();
      continue;
    }
    if (!tiff) {
      for (size_t i = produced; i < rowSize; ++i)
        if (row[i] != 0) __builtin_trap();  // undecoded bytes are zero
      good += produced;
      rows.insert(rows.end(), row.begin(), row.begin() + ptrdiff_t(produced));
      // A failure sticks.
      if (decoder.Decode(row) == TLxFailure::None) __builtin_trap();
    }
    break;
  }
  TiffLzwDecodeRow({}, {}, state);

  // One call for everything the row-by-row decoding produced must give the same bytes.
  if (good > 0) {
    TLxLzwDecoder whole(o);
    whole.Begin(stream);
    std::vector<uint8_t> all(good);
    if (whole.Decode(all) != TLxFailure::None) __builtin_trap();
    if (std::memcmp(all.data(), rows.data(), good) != 0) __builtin_trap();
  }
  return 0;
}
