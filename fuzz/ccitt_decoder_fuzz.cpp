// libFuzzer target of the CCITT row decoders. Byte 0 chooses the scheme (bits 0-1), fill order
// 2 (bit 2) and fill mode (bit 3); bytes 1-2 the width (1 to 4,096). The rest, the strip, is
// decoded row by row until it is used up; every call must consume data or end the strip and
// must not write past its row. The same strip with every byte's bits reversed, read in the
// other fill order, must give the same rows.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/common/bit_order.h"
#include "codecs/common/ccitt_decoder.h"

using namespace lumenax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const auto scheme = TLxCcittScheme(data[0] & 3);
  const int fillOrder = data[0] & 4 ? 2 : 1;
  const bool fillMode = data[0] & 8;
  const uint32_t width = uint32_t(data[1] | data[2] << 8) % 4096 + 1;
  const std::span<const uint8_t> strip(data + 3, size - 3);
  std::vector<uint8_t> reversed(strip.begin(), strip.end());
  ReverseBitOrder(reversed);

  TLxCcittDecoder a(scheme, width, fillOrder, fillMode);
  TLxCcittDecoder b(scheme, width, fillOrder == 1 ? 2 : 1, fillMode);
  a.Begin(strip);
  b.Begin(reversed);
  const size_t bytes = a.RowBytes();
  std::vector<uint8_t> rowA(bytes + 1, 0x5A), rowB(bytes + 1, 0x5A);
  for (int rows = 0; !a.AtEnd() && rows < 4096; ++rows) {
    const uint64_t before = a.BitPosition();
    const TLxCcittRowEnd endA = a.DecodeRow(std::span(rowA.data(), bytes));
    const TLxCcittRowEnd endB = b.DecodeRow(std::span(rowB.data(), bytes));
    if (a.BitPosition() <= before && !a.AtEnd()) __builtin_trap();  // no progress
    if (rowA[bytes] != 0x5A || rowB[bytes] != 0x5A) __builtin_trap();
    if (endA != endB || rowA != rowB || a.BitPosition() != b.BitPosition()) __builtin_trap();
  }
  return 0;
}
