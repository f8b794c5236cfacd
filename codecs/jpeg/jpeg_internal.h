// Pieces of the JPEG codec shared by its own sources (and its tests).
#pragma once

#include <cstdint>
#include <vector>

namespace lumenax {

class TStream;

// The ICC profile carried by the APP2 "ICC_PROFILE" chunks of the JPEG data at the stream's
// position, joined in sequence order; empty when there is none. The walk ends at the first
// frame header. Chunks numbered 0, above their count, already seen, or shorter than their
// header are ignored. The stream position is restored.
std::vector<uint8_t> CollectJpegIccProfile(TStream& stream);

// Pixels above which an image is refused whatever its data (the PNG reader's cap).
constexpr uint64_t kJpegMaxPixels = uint64_t(1) << 31;
// Memory libjpeg may use (coefficient buffers of progressive images, mostly).
constexpr long kJpegMaxMemory = 1L << 30;
// Scans above which a progressive image is refused (each scan passes over the whole image).
constexpr int kJpegMaxScans = 500;

}  // namespace lumenax
