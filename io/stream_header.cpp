#include "io/stream_header.h"

#include <climits>
#include <cstring>
#include <string>

#include "bitmap/byte_reader.h"
#include "codecs/common/stream_buffer.h"

namespace lumenax {

bool OpenStreamHeader(const TLxStreamHeaderRule& rule, bool headersOn, TStream& stream,
                      ProgressRecord& progress, std::optional<TLxStreamWindow>& window,
                      int64_t& continueAt) {
  if (!rule.Magic || !(headersOn || rule.OptionalOnLoad)) return true;
  const int64_t start = stream.Position();
  const int64_t size = stream.Size();
  uint8_t h[kStreamHeaderSize];
  const int64_t got = ReadUpTo(stream, h, kStreamHeaderSize);
  const bool full = got == kStreamHeaderSize && std::memcmp(h, rule.Magic, 4) == 0 && h[4] == 0;
  if (!full) {
    if (rule.OptionalOnLoad) {
      stream.Seek(start, soBeginning);
      return true;
    }
    if (rule.AcceptsOldForm && got >= 4 && std::memcmp(h, rule.Magic, 3) == 0) {
      // The old header: the image follows its four bytes and runs to the end of the stream.
      stream.Seek(start + 4, soBeginning);
      return true;
    }
    progress.Fail(TLxFailure::BadSignature, start,
                  std::string("no \"") + rule.Magic + "\" stream header");
    return false;
  }
  const int64_t length = int32_t(LoadU32LE(h + 8));
  if (length < 0 || length > size - start - kStreamHeaderSize) {
    progress.Fail(TLxFailure::Truncated, start + 8, "stream header length past the end");
    return false;
  }
  window.emplace(stream, start + kStreamHeaderSize, length);
  continueAt = start + kStreamHeaderSize + length;
  return true;
}

int64_t BeginStreamHeader(TStream& stream) {
  const int64_t start = stream.Position();
  const uint8_t zeros[kStreamHeaderSize] = {};
  stream.WriteBuffer(zeros, kStreamHeaderSize);
  return start;
}

void EndStreamHeader(const TLxStreamHeaderRule& rule, TStream& stream, int64_t start,
                     ProgressRecord& progress) {
  const int64_t end = stream.Position();
  const int64_t length = end - start - kStreamHeaderSize;
  if (length > INT32_MAX) {
    progress.Fail(TLxFailure::TooLarge, start, "image too long for a stream header");
    return;
  }
  uint8_t h[kStreamHeaderSize] = {};
  std::memcpy(h, rule.Magic, 4);
  for (int i = 0; i < 4; ++i) h[8 + i] = uint8_t(uint64_t(length) >> (8 * i));
  stream.Seek(start, soBeginning);
  stream.WriteBuffer(h, kStreamHeaderSize);
  stream.Seek(end, soBeginning);
}

}  // namespace lumenax
