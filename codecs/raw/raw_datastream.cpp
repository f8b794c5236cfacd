#include "codecs/raw/raw_datastream.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "bitmap/stream.h"

namespace lumenax {

namespace {

constexpr int64_t kBufferSize = 1 << 16;

}  // namespace

TLxRawDatastream::TLxRawDatastream(TStream& stream, int64_t start, int64_t size, int64_t padding)
    : stream_(stream),
      start_(start),
      size_(std::max<int64_t>(size, 0)),
      padding_(padding),
      buffer_(size_t(kBufferSize)) {}

bool TLxRawDatastream::Fill(int64_t at) {
  bufStart_ = at;
  bufLen_ = 0;
  const int64_t end = size();
  if (at < 0 || at >= end) return false;
  const int64_t want = std::min(kBufferSize, end - at);
  const int64_t real = std::clamp<int64_t>(size_ - at, 0, want);
  int64_t got = 0;
  try {
    if (real > 0 && stream_.Seek(start_ + at, soBeginning) == start_ + at) {
      while (got < real) {
        int64_t r = stream_.Read(buffer_.data() + got, real - got);
        if (r <= 0) break;
        got += r;
      }
    }
  } catch (...) {
    // A stream that fails to read ends the data here, like a file that is shorter.
  }
  if (got < real) {
    // The stream holds less than it said: the data end where its bytes end.
    size_ = at + got;
    padding_ = 0;
    bufLen_ = got;
    return got > 0;
  }
  std::memset(buffer_.data() + real, 0, size_t(want - real));
  bufLen_ = want;
  return true;
}

int TLxRawDatastream::SlowGetChar() {
  if (!Fill(pos_)) {
    ++pastEnd_;
    return -1;
  }
  return buffer_[size_t(pos_++ - bufStart_)];
}

int64_t TLxRawDatastream::ReadBytes(uint8_t* out, int64_t n) {
  int64_t done = 0;
  while (done < n) {
    if (!(pos_ >= bufStart_ && pos_ < bufStart_ + bufLen_) && !Fill(pos_)) break;
    const int64_t take = std::min(n - done, bufStart_ + bufLen_ - pos_);
    std::memcpy(out + done, buffer_.data() + (pos_ - bufStart_), size_t(take));
    done += take;
    pos_ += take;
  }
  pastEnd_ += n - done;
  return done;
}

int TLxRawDatastream::read(void* buffer, size_t size, size_t count) {
  if (size == 0 || count == 0) return 0;
  // LibRaw's requests are small or a whole strip; a request beyond what an int counts is
  // none that a real file makes.
  if (count > size_t(INT32_MAX) / size) count = size_t(INT32_MAX) / size;
  const int64_t want = int64_t(size * count);
  const int64_t got = ReadBytes(static_cast<uint8_t*>(buffer), want);
  // Like fread, a partial item is consumed but not counted.
  return int(got / int64_t(size));
}

int TLxRawDatastream::seek(INT64 offset, int whence) {
  int64_t base = 0;
  switch (whence) {
    case SEEK_SET:
      base = 0;
      break;
    case SEEK_CUR:
      base = pos_;
      break;
    case SEEK_END:
      base = size();
      break;
    default:
      return -1;
  }
  // Positions outside the data are clamped to it, as LibRaw's memory streams do.
  if (offset > 0 && base > INT64_MAX - offset) offset = INT64_MAX - base;
  pos_ = std::clamp<int64_t>(base + offset, 0, size());
  return 0;
}

char* TLxRawDatastream::gets(char* s, int n) {
  if (!s || n <= 0) return nullptr;
  int i = 0;
  while (i < n - 1) {
    int c = get_char();
    if (c < 0) break;
    s[i++] = char(c);
    if (c == '\n') break;
  }
  s[i] = 0;
  return i > 0 ? s : nullptr;
}

int TLxRawDatastream::scanf_one(const char* format, void* value) {
  // One number in text: skip blanks, take the following characters up to the next blank
  // (at most 24 of them) and convert those.
  int c;
  do {
    c = get_char();
  } while (c >= 0 && std::isspace(c));
  if (c < 0) return -1;
  char word[32];
  int n = 0;
  while (c >= 0 && !std::isspace(c) && c != 0 && n < 24) {
    word[n++] = char(c);
    c = get_char();
  }
  word[n] = 0;
  if (c >= 0) --pos_;
  return std::sscanf(word, format, value);
}

}  // namespace lumenax
