// Run-length encoding of BMP rows, shared by the writer and its tests.
#pragma once

#include <cstdint>
#include <vector>

namespace lumenax {

// Appends one row of palette indices (one per byte) as RLE8, or as RLE4 when rle4, ending
// with the end-of-line mark 0, 0.
void EncodeBmpRleRow(const uint8_t* indices, int width, bool rle4, std::vector<uint8_t>& out);

}  // namespace lumenax
