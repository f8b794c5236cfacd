// Camera RAW files (LibRaw): identification for content detection, and the reader.
#pragma once

#include <cstdint>

namespace lumenax {

class TStream;
struct TLxReadArgs;

// Whether the size bytes of the stream from start hold a camera RAW file that LibRaw
// recognises. Some cameras wrote headerless sensor dumps that are recognised by their file
// size alone; those count only with bySizeToo (for files named as camera RAW), since any
// file of the same size would pass.
bool IsCameraRaw(TStream& stream, int64_t start, int64_t size, bool bySizeToo);

// Decodes the camera RAW file at the stream's position the way LibRaw's own converter does
// with the camera's white balance: 8-bit sRGB lx24RGB (lxRGB48 with IsNativePixelFormat),
// orientation applied. With InfoOnly, fills the size and depth only.
void ReadCameraRaw(TLxReadArgs& args);

}  // namespace lumenax
