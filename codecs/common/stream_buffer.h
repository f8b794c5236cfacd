// Block-buffered reading and checked writing for decoders and encoders that work byte by
// byte (ASCII rasters, run-length packets) or in small pieces (headers, row padding).
//
// TLxReadBuffer never reads past the end of the stream and tells how many bytes it
// delivered; TLxWriteBuffer records the first short write as a "write failed" reason and
// drops everything after it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bitmap/progress.h"
#include "bitmap/stream.h"

namespace lumenax {

// Reads until count bytes are in or the stream has no more; returns how many it got.
inline int64_t ReadUpTo(TStream& stream, void* buffer, int64_t count) {
  int64_t got = 0;
  while (got < count) {
    int64_t r = stream.Read(static_cast<uint8_t*>(buffer) + got, count - got);
    if (r <= 0) break;
    got += r;
  }
  return got;
}

class TLxReadBuffer {
 public:
  explicit TLxReadBuffer(TStream& stream, size_t blockSize = 1 << 16)
      : stream_(stream), buffer_(blockSize), base_(stream.Position()) {}

  // The next byte, or -1 at the end of the data.
  int Get() {
    if (pos_ == filled_ && !Refill()) return -1;
    return buffer_[pos_++];
  }
  int Peek() {
    if (pos_ == filled_ && !Refill()) return -1;
    return buffer_[pos_];
  }
  // Up to n bytes into dst; returns how many there were.
  size_t Read(uint8_t* dst, size_t n) {
    size_t done = 0;
    while (done < n) {
      if (pos_ == filled_) {
        // Large requests bypass the buffer.
        if (n - done >= buffer_.size()) {
          int64_t got = stream_.Read(dst + done, int64_t(n - done));
          if (got <= 0) break;
          done += size_t(got);
          base_ += got;
          continue;
        }
        if (!Refill()) break;
      }
      size_t k = std::min(n - done, filled_ - pos_);
      std::memcpy(dst + done, buffer_.data() + pos_, k);
      pos_ += k;
      done += k;
    }
    return done;
  }
  // Up to n bytes into dst like Read, but only what is already buffered goes through the
  // buffer: the rest is read from the stream straight into dst, however small n is (for
  // callers that take rows of a raster in place).
  size_t ReadThrough(uint8_t* dst, size_t n) {
    size_t done = std::min(n, filled_ - pos_);
    std::memcpy(dst, buffer_.data() + pos_, done);
    pos_ += done;
    if (done < n) {
      const int64_t got = ReadUpTo(stream_, dst + done, int64_t(n - done));
      done += size_t(got);
      base_ += got;
    }
    return done;
  }
  // The buffered bytes not read yet, refilling first when there are none; avail is 0 at the
  // end of the data. Skip(k) with k <= avail consumes them.
  const uint8_t* Span(size_t& avail) {
    if (pos_ == filled_ && !Refill()) {
      avail = 0;
      return nullptr;
    }
    avail = filled_ - pos_;
    return buffer_.data() + pos_;
  }
  void Skip(size_t k) { pos_ += std::min(k, filled_ - pos_); }
  // Stream position of the next byte Get would return.
  int64_t Position() const { return base_ - int64_t(filled_) + int64_t(pos_); }
  // Puts the stream where the next unread byte is (for callers that go on reading it).
  void Release() { stream_.Seek(Position(), soBeginning); }

 private:
  bool Refill() {
    int64_t got = stream_.Read(buffer_.data(), int64_t(buffer_.size()));
    pos_ = 0;
    filled_ = got > 0 ? size_t(got) : 0;
    base_ += int64_t(filled_);
    return filled_ > 0;
  }

  TStream& stream_;
  std::vector<uint8_t> buffer_;
  size_t pos_ = 0;
  size_t filled_ = 0;
  int64_t base_;  // stream position just after the buffered bytes
};

class TLxWriteBuffer {
 public:
  TLxWriteBuffer(TStream& stream, const ProgressRecord& progress, size_t blockSize = 1 << 16)
      : stream_(stream), progress_(progress), capacity_(blockSize) {
    buffer_.reserve(capacity_);
  }
  ~TLxWriteBuffer() = default;
  TLxWriteBuffer(const TLxWriteBuffer&) = delete;
  TLxWriteBuffer& operator=(const TLxWriteBuffer&) = delete;

  bool ok() const { return ok_; }

  void Put(uint8_t b) {
    if (buffer_.size() == capacity_) Flush();
    buffer_.push_back(b);
  }
  void Write(const void* data, size_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (buffer_.size() + n > capacity_) {
      Flush();
      if (n >= capacity_) {
        Direct(p, n);
        return;
      }
    }
    buffer_.insert(buffer_.end(), p, p + n);
  }
  void Text(const std::string& s) { Write(s.data(), s.size()); }
  void Zeros(size_t n) {
    for (size_t i = 0; i < n; ++i) Put(0);
  }
  void U16LE(uint32_t v) {
    Put(uint8_t(v));
    Put(uint8_t(v >> 8));
  }
  void U32LE(uint32_t v) {
    U16LE(v & 0xFFFF);
    U16LE(v >> 16);
  }
  // Bytes handed over so far (written or buffered).
  int64_t Count() const { return written_ + int64_t(buffer_.size()); }
  // Writes what is buffered; false once any write came up short.
  bool Flush() {
    if (!buffer_.empty()) Direct(buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok_;
  }

 private:
  void Direct(const uint8_t* p, size_t n) {
    if (!ok_) return;
    int64_t got = stream_.Write(p, int64_t(n));
    if (got != int64_t(n)) {
      ok_ = false;
      progress_.Fail(TLxFailure::WriteFailed, written_ + std::max<int64_t>(got, 0), "short write");
      return;
    }
    written_ += int64_t(n);
  }

  TStream& stream_;
  const ProgressRecord& progress_;
  size_t capacity_;
  std::vector<uint8_t> buffer_;
  int64_t written_ = 0;
  bool ok_ = true;
};

// Rows of a fixed length converted straight into a block of several rows that goes out in
// one write, instead of a row buffer copied again into the write buffer.
class TLxRowBlock {
 public:
  TLxRowBlock(TLxWriteBuffer& out, size_t rowBytes, size_t blockBytes = 1 << 20)
      : out_(out),
        rowBytes_(rowBytes),
        buffer_(std::max<size_t>(1, blockBytes / std::max<size_t>(rowBytes, 1)) * rowBytes) {}
  TLxRowBlock(const TLxRowBlock&) = delete;
  TLxRowBlock& operator=(const TLxRowBlock&) = delete;

  // Room for the next row, all rowBytes of which the caller sets; a full block is handed to
  // the write buffer first.
  uint8_t* Row() {
    if (used_ + rowBytes_ > buffer_.size()) Flush();
    uint8_t* p = buffer_.data() + used_;
    used_ += rowBytes_;
    return p;
  }
  // Hands the rows so far to the write buffer; false once any write came up short.
  bool Flush() {
    if (used_ > 0) out_.Write(buffer_.data(), used_);
    used_ = 0;
    return out_.ok();
  }

 private:
  TLxWriteBuffer& out_;
  size_t rowBytes_;
  std::vector<uint8_t> buffer_;
  size_t used_ = 0;
};

}  // namespace lumenax
