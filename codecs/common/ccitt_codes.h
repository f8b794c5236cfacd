// The run-length code tables of ITU-T T.4 (modified Huffman), shared by the CCITT decoders and
// encoders. Each code is given by its bits, most significant first, and its length.
#pragma once

#include <cstdint>
#include <span>

namespace lumenax {

struct TLxCcittCode {
  uint16_t Bits;   // the code word, right-aligned
  uint8_t Length;  // number of bits
  uint16_t Run;    // run length it stands for
};

// Terminating codes for runs 0 to 63, indexed by run.
std::span<const TLxCcittCode, 64> CcittWhiteTerminating();
std::span<const TLxCcittCode, 64> CcittBlackTerminating();
// Make-up codes for runs 64 to 1,728 in steps of 64, indexed by run / 64 - 1.
std::span<const TLxCcittCode, 27> CcittWhiteMakeUp();
std::span<const TLxCcittCode, 27> CcittBlackMakeUp();
// Make-up codes for runs 1,792 to 2,560 in steps of 64, shared by both colours, indexed by
// (run - 1,792) / 64.
std::span<const TLxCcittCode, 13> CcittExtendedMakeUp();

// The end-of-line code, 000000000001.
inline constexpr TLxCcittCode kCcittEndOfLine{0x001, 12, 0};

}  // namespace lumenax
