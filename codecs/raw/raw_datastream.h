// A LibRaw data stream over one of our streams: LibRaw reads the bytes from a start position
// to the end as if they were a whole file. Reads are buffered here, because LibRaw's
// decoders fetch compressed data a byte at a time.
#pragma once

#include <libraw/libraw_datastream.h>

#include <cstdint>
#include <vector>

namespace lumenax {

class TStream;

class TLxRawDatastream : public LibRaw_abstract_datastream {
 public:
  // The data are the size bytes of stream from start. With padding, a zero byte is added at
  // the end (used to tell files recognised by size alone from the others).
  TLxRawDatastream(TStream& stream, int64_t start, int64_t size, int64_t padding = 0);

  int valid() override { return 1; }
  int read(void* buffer, size_t size, size_t count) override;
  int seek(INT64 offset, int whence) override;
  INT64 tell() override { return pos_; }
  INT64 size() override { return size_ + padding_; }
  int get_char() override {
    if (pos_ >= bufStart_ && pos_ < bufStart_ + bufLen_) return buffer_[size_t(pos_++ - bufStart_)];
    return SlowGetChar();
  }
  char* gets(char* s, int n) override;
  int scanf_one(const char* format, void* value) override;
  int eof() override { return pos_ >= size(); }
  void* make_jas_stream() override { return nullptr; }

  // How many bytes reads asked for past the end of the data since the last ClearPastEnd.
  int64_t BytesPastEnd() const { return pastEnd_; }
  void ClearPastEnd() { pastEnd_ = 0; }

 private:
  int SlowGetChar();
  // Fills the buffer with the data from position at; false at the end of the data.
  bool Fill(int64_t at);
  // Copies up to n bytes from the position into out; returns how many.
  int64_t ReadBytes(uint8_t* out, int64_t n);

  TStream& stream_;
  int64_t start_;
  int64_t size_;
  int64_t padding_;
  int64_t pos_ = 0;
  std::vector<uint8_t> buffer_;
  int64_t bufStart_ = 0;
  int64_t bufLen_ = 0;
  int64_t pastEnd_ = 0;
};

}  // namespace lumenax
