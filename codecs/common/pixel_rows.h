// Row conversions shared by the uncompressed and run-length formats: red/blue order, palette
// and gray expansion to 24 bits, planar and interleaved RGB. Each works on whole rows and
// picks byte shuffles when the processor has them; results are the same either way.
//
// A 24-bit pixel here is three bytes, the bitmap's blue first unless said otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumenax {

// Whether the processor has SSSE3 byte shuffles (the build itself targets plain x86-64); false
// elsewhere.
bool CpuHasSsse3();
// Whether it has AVX2 (32-byte integer vectors).
bool CpuHasAvx2();

// n pixels of src with their first and third bytes exchanged into dst. src and dst are the
// same or do not overlap.
void SwapRedBlue24(const uint8_t* src, uint8_t* dst, size_t n);

// A palette as the expanders take it: entry i holds blue, green, red of colour i in its three
// low bytes (in memory order); the fourth byte is ignored.
struct TLxPalette32 {
  uint32_t entry[256];
};

// n 8-bit indices into n 24-bit pixels through the palette.
void ExpandIndexed24(const uint8_t* index, uint8_t* dst, size_t n, const TLxPalette32& palette);

// n gray bytes into n 24-bit pixels of that gray.
void ExpandGray24(const uint8_t* gray, uint8_t* dst, size_t n);

// Three planes of n samples (red, green, blue) into n blue-first pixels.
void InterleavePlanes24(const uint8_t* red, const uint8_t* green, const uint8_t* blue, uint8_t* dst,
                        size_t n);

// n blue-first pixels into three planes of n samples (red, green, blue).
void SplitPlanes24(const uint8_t* src, uint8_t* red, uint8_t* green, uint8_t* blue, size_t n);

}  // namespace lumenax
