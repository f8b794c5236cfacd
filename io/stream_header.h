// The 12-byte header that may precede a TIFF, JPEG or PCX image in a stream, so that several
// images can be stored one after another in one stream: a 4-byte magic, 4 zero bytes and the
// signed 32-bit little-endian length of the image that follows.
#pragma once

#include <cstdint>
#include <optional>

#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/codec.h"

namespace lumenax {

constexpr int64_t kStreamHeaderSize = 12;

// Where the image of a stream load is, after its stream header if the format has one and
// the load looks for it (headersOn, or a header that is optional on load). Leaves window
// empty when the reader reads the stream itself from its position, and sets continueAt to
// where the stream must be left after the image (-1: wherever the reader left it). False
// when a required header is missing or announces more than the stream holds: progress then
// has the reason.
bool OpenStreamHeader(const TLxStreamHeaderRule& rule, bool headersOn, TStream& stream,
                      ProgressRecord& progress, std::optional<TLxStreamWindow>& window,
                      int64_t& continueAt);

// Writes the 12-byte placeholder of a stream save; returns where the header starts.
int64_t BeginStreamHeader(TStream& stream);

// Fills in the placeholder once the image is written. An image too long for the header's
// 32-bit length fails the save ("too large") and leaves the placeholder.
void EndStreamHeader(const TLxStreamHeaderRule& rule, TStream& stream, int64_t start,
                     ProgressRecord& progress);

}  // namespace lumenax
