// The layout of icon and cursor files, shared by the reader and the writer.
#pragma once

#include <cstdint>

namespace lumenax {

// Header: reserved word, resource type, image count.
constexpr int64_t kIcoHeaderSize = 6;
constexpr uint16_t kIcoResourceIcon = 1;
constexpr uint16_t kIcoResourceCursor = 2;
// One directory entry per image.
constexpr int64_t kIcoEntrySize = 16;
// The Windows 3 info header that starts a bitmap image.
constexpr uint32_t kIcoInfoHeaderSize = 40;
// Images may be PNG files instead.
constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// An info header whose width and height are below this is believed over a directory entry
// that disagrees with it.
constexpr int32_t kIcoHeaderTrustLimit = 2048;
// Sides of the images an icon directory can describe (256 is stored as 0).
constexpr int32_t kIcoMaxSide = 256;

}  // namespace lumenax
