// Walks over JPEG marker segments without libjpeg: finding the start of JPEG data, measuring
// an embedded JPEG stream, and gathering an ICC profile from its APP2 chunks.
#include <cstring>
#include <map>
#include <vector>

#include "bitmap/stream.h"
#include "codecs/jpeg/jpeg.h"
#include "codecs/jpeg/jpeg_internal.h"

namespace lumenax {

namespace {

// Byte-at-a-time reading through a small buffer; restores the stream position when done.
class MarkerWalker {
 public:
  explicit MarkerWalker(TStream& stream) : stream_(stream), start_(stream.Position()) {}
  ~MarkerWalker() {
    try {
      stream_.SetPosition(start_);
    } catch (...) {
    }
  }
  MarkerWalker(const MarkerWalker&) = delete;
  MarkerWalker& operator=(const MarkerWalker&) = delete;

  bool Byte(uint8_t& b) {
    if (pos_ == len_ && !Fill()) return false;
    b = buffer_[pos_++];
    ++offset_;
    return true;
  }
  // A 16-bit big-endian value.
  bool Word(int& v) {
    uint8_t hi, lo;
    if (!Byte(hi) || !Byte(lo)) return false;
    v = hi << 8 | lo;
    return true;
  }
  bool Bytes(uint8_t* out, size_t n) {
    while (n > 0) {
      if (pos_ == len_ && !Fill()) return false;
      size_t take = std::min(n, len_ - pos_);
      std::memcpy(out, buffer_ + pos_, take);
      pos_ += take;
      offset_ += int64_t(take);
      out += take;
      n -= take;
    }
    return true;
  }
  bool Skip(int64_t n) {
    int64_t inBuffer = int64_t(len_ - pos_);
    if (n <= inBuffer) {
      pos_ += size_t(n);
      offset_ += n;
      return true;
    }
    n -= inBuffer;
    offset_ += inBuffer;
    pos_ = len_ = 0;
    int64_t here = stream_.Position();
    int64_t size = stream_.Size();
    if (here + n > size) {
      offset_ += size - here;
      stream_.SetPosition(size);
      return false;
    }
    stream_.SetPosition(here + n);
    offset_ += n;
    return true;
  }
  // Bytes consumed since the start.
  int64_t Offset() const { return offset_; }

 private:
  bool Fill() {
    int64_t got = stream_.Read(buffer_, sizeof buffer_);
    pos_ = 0;
    len_ = got > 0 ? size_t(got) : 0;
    return len_ > 0;
  }
  TStream& stream_;
  int64_t start_;
  uint8_t buffer_[8192];
  size_t pos_ = 0;
  size_t len_ = 0;
  int64_t offset_ = 0;
};

// Marker codes followed by a 16-bit segment length.
bool HasLength(uint8_t code) {
  return (code >= 0xC0 && code <= 0xCF) || (code >= 0xDA && code <= 0xFE);
}

// The code after an FF; further FF bytes are fill before the code.
bool NextCode(MarkerWalker& w, uint8_t& code) {
  do {
    if (!w.Byte(code)) return false;
  } while (code == 0xFF);
  return true;
}

}  // namespace

int64_t FindJpegStart(TStream& stream) {
  const int64_t start = stream.Position();
  uint8_t head[102];
  int64_t got = stream.Read(head, sizeof head);
  stream.SetPosition(start);
  for (int64_t i = 0; i < 100 && i + 3 <= got; ++i) {
    if (head[i] == 0xFF && head[i + 1] == 0xD8 && head[i + 2] == 0xFF) return start + i;
  }
  return -1;
}

int64_t JpegStreamLength(TStream& stream) {
  MarkerWalker w(stream);
  uint8_t b;
  while (w.Byte(b)) {
    if (b != 0xFF) continue;
    uint8_t code;
    if (!NextCode(w, code)) break;
    if (code == 0xD9) break;
    if (!HasLength(code)) continue;
    int length;
    if (!w.Word(length)) break;
    // A length below 2 cannot be: the walk ends.
    if (length < 2) break;
    if (!w.Skip(length - 2)) break;
  }
  return w.Offset();
}

std::vector<uint8_t> CollectJpegIccProfile(TStream& stream) {
  MarkerWalker w(stream);
  std::map<int, std::vector<uint8_t>> chunks;  // by sequence number, from 1
  int expected = -1;
  std::vector<uint8_t> segment;
  uint8_t b;
  while (w.Byte(b)) {
    if (b != 0xFF) continue;
    uint8_t code;
    if (!NextCode(w, code)) break;
    if (code <= 0xBF || (code >= 0xD0 && code <= 0xD8)) continue;
    const bool skipped = code == 0xC4 || code == 0xC8 || code == 0xCC ||
                         (code >= 0xDA && code <= 0xE1) || (code >= 0xE3 && code <= 0xFE);
    if (!skipped && code != 0xE2) break;  // a frame header or the end of the image
    int length;
    if (!w.Word(length) || length < 2) break;
    if (skipped) {
      if (!w.Skip(length - 2)) break;
      continue;
    }
    segment.resize(size_t(length - 2));
    if (!w.Bytes(segment.data(), segment.size())) break;
    // "ICC_PROFILE\0", sequence number, chunk count, data.
    if (length < 16 || std::memcmp(segment.data(), "ICC_PROFILE\0", 12) != 0) continue;
    const int sequence = segment[12], count = segment[13];
    if (sequence == 0 || sequence > count || chunks.count(sequence)) continue;
    chunks.emplace(sequence, std::vector<uint8_t>(segment.begin() + 14, segment.end()));
    if (expected < 0) expected = count;
    if (int(chunks.size()) >= expected) break;
  }
  std::vector<uint8_t> profile;
  for (const auto& [sequence, data] : chunks)
    profile.insert(profile.end(), data.begin(), data.end());
  return profile;
}

}  // namespace lumenax
