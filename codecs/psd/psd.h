// Photoshop (PSD, version 1) reader and writer.
#pragma once

#include <cstdint>

#include "bitmap/layer.h"

namespace lumenax {

class TStream;
class TLxBitmap;
class TIOParamsVals;
struct ProgressRecord;

// Widest and tallest image a version 1 file can describe.
constexpr int32_t kPsdMaxSide = 30000;

// Reads the file at the stream's position into bitmap (the merged image) and params. With a
// list, layers are read into it as records (user masks as mask records after their layer)
// when loadLayers is set or the file has a single layer; the merged image is read unless
// layers were read because loadLayers asked for them. headerOnly fills params from the header
// and the resources and reads no pixels.
void ReadPsdStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, TLxLayerList* layers,
                   bool loadLayers, ProgressRecord& progress, bool headerOnly = false);

// Writes bitmap (the merged image) and one layer per image record of layers (with the user
// mask of a mask record that follows it) at the stream's position, every channel
// PackBits-compressed. Without layers the image itself is the one layer. bitmap may be null
// when there are layers (the first layer is then the merged image).
void WritePsdStream(TStream& stream, TIOParamsVals& params, ProgressRecord& progress,
                    const TLxLayerList* layers, TLxBitmap* bitmap);

}  // namespace lumenax
