// GIF's LZW decoder (on the shared LZW core) and its hashed LZW encoder.
#include "codecs/gif/gif_lzw.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "bitmap/stream.h"
#include "codecs/common/lzw_decoder.h"

namespace lumenax {

int GifInterlacedRow(int n, int height) {
  // Rows in passes: 0, 8, 16, ...; 4, 12, ...; 2, 6, ...; 1, 3, ...
  const int pass1 = (height + 7) / 8;
  const int pass2 = (height + 3) / 8;
  const int pass3 = (height + 1) / 4;
  if (n < pass1) return n * 8;
  n -= pass1;
  if (n < pass2) return 4 + n * 8;
  n -= pass2;
  if (n < pass3) return 2 + n * 4;
  n -= pass3;
  return 1 + n * 2;
}

namespace {

// Reads the data sub-blocks from the stream's position into data, up to and including the
// zero-length block or the end of the stream. The stream is read in large pieces and left
// just after the terminator (or at its end).
void ReadSubBlocks(TStream& stream, std::vector<uint8_t>& data) {
  constexpr int64_t kPiece = 64 * 1024;
  std::vector<uint8_t> piece(size_t(kPiece) + 256);
  int64_t base = stream.Position();
  for (;;) {
    int64_t got = stream.Read(piece.data(), kPiece);
    if (got <= 0) return;
    int64_t at = 0;
    // Whole sub-blocks inside the piece.
    while (at < got) {
      const uint8_t n = piece[size_t(at)];
      if (n == 0) {
        stream.Seek(base + at + 1, soBeginning);
        return;
      }
      if (at + 1 + n > got) break;
      data.insert(data.end(), piece.begin() + at + 1, piece.begin() + at + 1 + n);
      at += 1 + n;
    }
    if (at >= got) {
      base += got;
      continue;
    }
    // A sub-block that crosses the end of the piece: continue from its length byte.
    base += at;
    stream.Seek(base, soBeginning);
    if (got < kPiece) {
      // The stream ends inside this sub-block: keep what there is of it.
      const uint8_t n = piece[size_t(at)];
      const int64_t have = std::min<int64_t>(n, got - at - 1);
      data.insert(data.end(), piece.begin() + at + 1, piece.begin() + at + 1 + have);
      stream.Seek(0, soEnd);
      return;
    }
  }
}

}  // namespace

TLxFailure GifLzwDecode(TStream& stream, int height, int width, uint8_t* buffer, bool interlaced) {
  const int64_t start = stream.Position();
  uint8_t minCodeSize = 0;
  if (stream.Read(&minCodeSize, 1) != 1) return TLxFailure::Truncated;
  if (minCodeSize < 2 || minCodeSize > 9) {
    stream.Seek(start, soBeginning);
    return TLxFailure::BadData;
  }
  std::vector<uint8_t> data;
  ReadSubBlocks(stream, data);
  if (width <= 0 || height <= 0) return TLxFailure::None;
  if (data.empty()) return TLxFailure::Truncated;

  TLxLzwOptions options;
  options.LiteralBits = minCodeSize;
  options.EarlyChange = false;
  options.LsbFirst = true;
  // Encoders may go on with a full table and clear it later; every common decoder accepts it.
  options.FullTableIsError = false;
  options.CodeAboveNextIsError = true;
  auto decoder = std::make_unique<TLxLzwDecoder>(options);
  decoder->Begin(data);
  const size_t w = size_t(width);
  if (!interlaced) return decoder->Decode(std::span<uint8_t>(buffer, w * size_t(height)));
  for (int n = 0; n < height; ++n) {
    const TLxFailure f =
        decoder->Decode(std::span<uint8_t>(buffer + size_t(GifInterlacedRow(n, height)) * w, w));
    if (f != TLxFailure::None) return f;
  }
  return TLxFailure::None;
}

namespace {

// Packs codes least significant bit first into 254-byte sub-blocks, written in large pieces.
class CodePacker {
 public:
  explicit CodePacker(TStream& stream) : stream_(stream) { out_.reserve(kFlush + 256); }
  void Put(uint32_t code, int width) {
    bits_ |= uint64_t(code) << count_;
    count_ += width;
    while (count_ >= 8) {
      block_[fill_++] = uint8_t(bits_);
      bits_ >>= 8;
      count_ -= 8;
      if (fill_ == kBlock) EndBlock();
    }
  }
  // Writes the remaining bits, the last sub-block and the zero-length block.
  bool Finish() {
    if (count_ > 0) block_[fill_++] = uint8_t(bits_);
    count_ = 0;
    if (fill_ > 0) EndBlock();
    out_.push_back(0);
    Flush();
    return ok_;
  }

 private:
  static constexpr size_t kBlock = 254;
  static constexpr size_t kFlush = 64 * 1024;

  void EndBlock() {
    out_.push_back(uint8_t(fill_));
    out_.insert(out_.end(), block_, block_ + fill_);
    fill_ = 0;
    if (out_.size() >= kFlush) Flush();
  }
  void Flush() {
    if (!out_.empty() && stream_.Write(out_.data(), int64_t(out_.size())) != int64_t(out_.size()))
      ok_ = false;
    out_.clear();
  }

  TStream& stream_;
  std::vector<uint8_t> out_;
  uint8_t block_[kBlock];
  size_t fill_ = 0;
  uint64_t bits_ = 0;
  int count_ = 0;
  bool ok_ = true;
};

}  // namespace

bool GifLzwEncode(TStream& stream, int height, int width, int bitsPerPixel, const uint8_t* buffer,
                  bool interlaced) {
  const int m = std::clamp(bitsPerPixel, 2, 8);
  const uint8_t sizeByte = uint8_t(m);
  if (stream.Write(&sizeByte, 1) != 1) return false;
  const uint32_t clear = 1u << m, end = clear + 1, firstFree = clear + 2;
  const uint32_t literalMask = (1u << m) - 1;
  constexpr int kHashSize = 5003;
  constexpr uint32_t kMaxCode = 4096;
  // Keys are pixel * 4096 + prefix; -1 marks an empty slot.
  std::vector<int32_t> keys(kHashSize, -1);
  std::vector<uint16_t> codes(kHashSize);
  CodePacker out(stream);
  int width_ = m + 1;
  uint32_t limit = 1u << width_;  // the width grows once the free code reaches this
  uint32_t next = firstFree;
  out.Put(clear, width_);

  const size_t w = size_t(std::max(width, 0));
  const int rows = std::max(height, 0);
  int32_t prefix = -1;
  for (int n = 0; n < rows; ++n) {
    const int y = interlaced ? GifInterlacedRow(n, rows) : n;
    const uint8_t* row = buffer + size_t(y) * w;
    size_t x = 0;
    if (prefix < 0 && w > 0) {
      prefix = row[0] & literalMask;
      x = 1;
    }
    for (; x < w; ++x) {
      const uint32_t pixel = row[x] & literalMask;
      const int32_t key = int32_t((pixel << 12) + uint32_t(prefix));
      int i = int((pixel << 4) ^ uint32_t(prefix));
      if (keys[size_t(i)] == key) {
        prefix = codes[size_t(i)];
        continue;
      }
      if (keys[size_t(i)] >= 0) {
        const int step = i == 0 ? 1 : kHashSize - i;
        bool found = false;
        do {
          i -= step;
          if (i < 0) i += kHashSize;
          if (keys[size_t(i)] == key) {
            found = true;
            break;
          }
        } while (keys[size_t(i)] >= 0);
        if (found) {
          prefix = codes[size_t(i)];
          continue;
        }
      }
      out.Put(uint32_t(prefix), width_);
      // The decoder, one entry behind, widens when its table reaches 2^width entries.
      if (next < kMaxCode) {
        codes[size_t(i)] = uint16_t(next++);
        keys[size_t(i)] = key;
      } else {
        // Table full: start again after a clear code.
        out.Put(clear, width_);
        std::fill(keys.begin(), keys.end(), -1);
        next = firstFree;
        width_ = m + 1;
        limit = 1u << width_;
      }
      prefix = int32_t(pixel);
      if (next > limit && width_ < 12) {
        ++width_;
        limit <<= 1;
      }
    }
  }
  if (prefix >= 0) {
    out.Put(uint32_t(prefix), width_);
    if (next < kMaxCode) ++next;
    if (next > limit && width_ < 12) ++width_;
  }
  out.Put(end, width_);
  return out.Finish();
}

TGifDecoderHook DefaultGifDecoderHook = GifLzwDecode;
TGifEncoderHook DefaultGifEncoderHook = GifLzwEncode;

}  // namespace lumenax
