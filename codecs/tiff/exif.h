// EXIF metadata: the camera tags of a TIFF structure, and the "Exif" blocks that JPEG files
// carry in an APP1 marker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumenax {

class TIOParamsVals;
class TLxTiffStructure;
struct TLxIfd;
struct TLxIfdEntry;

// Fills the EXIF group from the main directory ifd and from the EXIF and GPS directories it
// points to; ExifPresent is set when an EXIF directory was read. Absent tags leave their
// fields as they are (the record's reset gives the defaults). Pointers outside the stream,
// or to the header, are ignored.
void ReadExifDirectories(TLxTiffStructure& s, const TLxIfd& ifd, TIOParamsVals& params);

// The maker note at entry e as a little-endian directory: the entry count, the entries, and
// the out-of-line values (byte-swapped per value when the source is big-endian) after the
// entry table, each at an even offset that the entry now gives relative to the block. Empty
// when the data do not parse as a directory of 1..256 entries. An entry of an unknown type
// ends the copy; entries whose values lie outside the source are dropped.
std::vector<uint8_t> CopyMakerNote(TLxTiffStructure& s, const TLxIfdEntry& e);

// Decodes a JPEG APP1 block that begins with "Exif\0" into the EXIF group of params (the
// resolution through SetDpiX/SetDpiY, the orientation through SetOrientation) and loads the
// thumbnail, turned upright by the image's orientation. Returns false, and changes nothing,
// when the block is not an EXIF block or its TIFF header is bad. A corrupt directory or
// thumbnail never fails the caller: it only leaves those fields or the thumbnail out.
bool DecodeExifBlock(const uint8_t* data, size_t size, TIOParamsVals& params);

// The EXIF group as a JPEG APP1 block: "Exif", 0, 0 and a little-endian TIFF structure with
// the main, EXIF and GPS directories and the thumbnail (old-style JPEG, stored turned back to
// the orientation written). A block too large for an APP1 marker is built again without the
// thumbnail, then without the maker note. Empty when it cannot be built.
std::vector<uint8_t> BuildExifBlock(TIOParamsVals& params);

// True when the block begins with the zero-terminated "Exif".
bool IsExifBlock(const uint8_t* data, size_t size);

}  // namespace lumenax
