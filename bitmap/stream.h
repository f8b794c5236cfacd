// Byte streams through which every codec reads and writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace lumenax {

// Seek origins.
constexpr int soBeginning = 0;
constexpr int soCurrent = 1;
constexpr int soEnd = 2;

// Abstract byte stream. Read and Write move as many bytes as they can and say how many;
// ReadBuffer and WriteBuffer move exactly the count or raise EReadError / EWriteError.
class TStream {
 public:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  virtual ~TStream() = default;

  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Returns the new position; origin is soBeginning, soCurrent or soEnd.
  virtual int64_t Seek(int64_t offset, int origin) = 0;
  // Size through Seek(0, soEnd) with the position restored.
  virtual int64_t Size();
  // Sets the size where the stream supports it; the default does nothing.
  virtual void SetSize(int64_t newSize);

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, soBeginning); }

  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies count bytes from source's position (count 0: the whole source from its start).
  int64_t CopyFrom(TStream& source, int64_t count);
};

// Stream over an OS file descriptor; closes it on destruction.
class THandleStream : public TStream {
 public:
  explicit THandleStream(int fd) : fd_(fd) {}
  ~THandleStream() override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  void SetSize(int64_t newSize) override;
  int Handle() const { return fd_; }

 protected:
  int fd_ = -1;
};

// Open modes of TLxWideFileStream: low two bits access, bits 4..7 sharing; 0xFFFF creates.
constexpr uint16_t fmCreate = 0xFFFF;
constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmShareCompat = 0x0000;
constexpr uint16_t fmShareExclusive = 0x0010;
constexpr uint16_t fmShareDenyWrite = 0x0020;
constexpr uint16_t fmShareDenyRead = 0x0030;
constexpr uint16_t fmShareDenyNone = 0x0040;

// Raise EFCreateError "Cannot create file \"%s\". %s" / EFOpenError "Cannot open file
// \"%s\". %s" with the full path of name and the system's text for errnum.
[[noreturn]] void RaiseFileCreateError(const std::filesystem::path& name, int errnum);
[[noreturn]] void RaiseFileOpenError(const std::filesystem::path& name, int errnum);

// A file opened by name. Sharing is mapped onto advisory flock() locks, which only other
// programs that also lock see: sharing "deny write" takes a shared lock (so a writer that
// asks for an exclusive lock is refused), "compatible" and "exclusive" take an exclusive
// lock, "deny read" and "deny none" take none; opening with write access and no sharing
// field, and creating, take an exclusive lock. A lock that cannot be had at once fails the
// open. Errors raise EFCreateError "Cannot create file \"%s\". %s" or EFOpenError
// "Cannot open file \"%s\". %s" with the full path and the system's error text.
class TLxWideFileStream : public THandleStream {
 public:
  TLxWideFileStream(const std::filesystem::path& fileName, uint16_t mode);
};

// Read-only stream with a read-ahead buffer over another stream (not owned). Seek from the
// end counts backward: Seek(10, soEnd) is size - 10.
class TLxBufferedReadStream : public TStream {
 public:
  TLxBufferedReadStream(TStream& source, bool relative, int32_t bufferSize);
  void SetBufferSize(int32_t n);
  int32_t BufferSize() const { return bufferSize_; }
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;  // raises EWriteError
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override { return sourceSize_ - base_; }
  void SetSize(int64_t) override {}

 private:
  void Fill();
  TStream& source_;
  int32_t bufferSize_ = 0;
  std::vector<uint8_t> buffer_;
  int64_t position_ = 0;
  int32_t bufferPos_ = 0;
  int32_t bufferFilled_ = 0;
  int64_t sourceSize_ = 0;
  int64_t base_ = 0;
};

// Read-only stream over memory that the caller owns; writes and resizing do nothing.
class TLxMemStream : public TStream {
 public:
  TLxMemStream(const void* address, int64_t size)
      : data_(static_cast<const uint8_t*>(address)), size_(size) {}
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override { return size_; }
  void SetSize(int64_t) override {}
  const uint8_t* Memory() const { return data_; }

 private:
  const uint8_t* data_;
  int64_t size_;
  int64_t pos_ = 0;
};

// A read-only view of part of another stream (not owned): bytes [start, start + length) of
// the source appear as a stream of their own, positions from 0. Nothing outside the window
// can be read or reached by seeking.
class TLxStreamWindow : public TStream {
 public:
  TLxStreamWindow(TStream& source, int64_t start, int64_t length)
      : source_(source), start_(start), length_(length) {}
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override { return length_; }
  void SetSize(int64_t) override {}

 private:
  TStream& source_;
  int64_t start_;
  int64_t length_;
  int64_t pos_ = 0;
};

// Growable stream in memory that owns its bytes.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> bytes) : data_(std::move(bytes)) {}
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override { return int64_t(data_.size()); }
  void SetSize(int64_t newSize) override;
  uint8_t* Memory() { return data_.data(); }
  const std::vector<uint8_t>& Bytes() const { return data_; }
  std::vector<uint8_t>& Bytes() { return data_; }
  void Clear() {
    data_.clear();
    pos_ = 0;
  }
  void LoadFromFile(const std::filesystem::path& fileName);
  void SaveToFile(const std::filesystem::path& fileName);

 private:
  std::vector<uint8_t> data_;
  int64_t pos_ = 0;
};

// Counts what is written to it without storing it: encode into it to learn a size.
class TNulStream : public TStream {
 public:
  int64_t Read(void*, int64_t count) override { return Advance(count); }
  int64_t Write(const void*, int64_t count) override { return Advance(count); }
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override { return size_; }

 private:
  int64_t Advance(int64_t count);
  int32_t position_ = 0;
  int32_t size_ = 0;
};

// A scratch file with the prefix "lumenax" that deletes itself on destruction.
class TLxTmpStream : public THandleStream {
 public:
  TLxTmpStream();
  ~TLxTmpStream() override;
  const std::filesystem::path& FileName() const { return name_; }

 private:
  std::filesystem::path name_;
};

// Creates a folder and its missing parents; raises EInOutError "Cannot Create Directory"
// for an empty path. Returns whether the folder exists afterwards.
bool ForceDirectories(const std::filesystem::path& dir);

// The scratch-stream hook: "TEMPSTREAM" gives a new TLxTmpStream, any other name nothing
// (the caller then opens the name as a file).
std::unique_ptr<TStream> OpenTempStreamByName(const std::string& name);

}  // namespace lumenax
