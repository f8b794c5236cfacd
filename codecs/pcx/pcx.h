// PCX reader and writer, and the DCX container of PCX pages.
#pragma once

#include <cstdint>
#include <memory>

namespace lumenax {

class TStream;
class TLxBitmap;
class TLxMask;
class TIOParamsVals;
struct ProgressRecord;

// Reads one PCX image that starts at the stream's position and occupies dataSize bytes. The
// alpha plane of 4-plane 8-bit images comes back in mask (dropped when fully opaque).
void ReadPcxStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool headerOnly,
                   ProgressRecord& progress, int64_t dataSize, std::unique_ptr<TLxMask>& mask);

// Writes an lx24RGB or lx1g bitmap as PCX at the stream's position.
void WritePcxStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                    ProgressRecord& progress);

// True when the 128 bytes at the stream's position are a PCX header the reader accepts; the
// position is restored.
bool PcxHeaderTest(TStream& stream);

// The DCX magic, at least one page, and every page offset inside the stream; the position is
// restored.
bool IsDcxStream(TStream& stream);

// Reads page DcxImageIndex (clamped to the pages there are, and stored back).
void ReadDcxStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool headerOnly,
                   ProgressRecord& progress, std::unique_ptr<TLxMask>& mask);

// Inserts the bitmap as a new page at DcxImageIndex (after the last page when beyond it) and
// rewrites the whole stream. An empty stream is a container without pages.
void InsertDcxPage(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                   ProgressRecord& progress);

}  // namespace lumenax
