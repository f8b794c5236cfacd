// The paging file of a bitmap whose rows live in a temporary file: rows are mapped into
// memory blocks one at a time and written back when released.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bitmap/stream.h"
#include "bitmap/types.h"

namespace lumenax {

// A file that is gone from the folder as soon as it is open (unlinked right after creation),
// so the system removes it when the handle closes, whatever happens to the process.
// Raises EInOutError "Unable to create " + name.
class TLxTemporaryFileStream : public THandleStream {
 public:
  explicit TLxTemporaryFileStream(const std::filesystem::path& fileName);
};

class TLxFileBuffer {
 public:
  TLxFileBuffer() = default;
  TLxFileBuffer(const TLxFileBuffer&) = delete;
  TLxFileBuffer& operator=(const TLxFileBuffer&) = delete;
  ~TLxFileBuffer() { Close(); }

  // Creates the file "<temp folder><prefix>-XXXXXXXX.tmp" of size bytes; false on any error.
  bool Create(const std::string& prefix, int64_t size);
  // A zero-filled memory copy of size bytes at offset, read from the file with raRead.
  uint8_t* Map(TLxRowAccess access, int64_t size, int64_t offset);
  // Writes the block back when it was mapped with raWrite, then frees it.
  void Release(uint8_t* address);
  void ReleaseAll();
  void Close();
  // Copies byteCount bytes at offset from this file to target's, 1 MiB at a time.
  bool CopyTo(TLxFileBuffer& target, int64_t byteCount, int64_t offset);

  bool IsOpen() const { return bool(stream_); }
  const std::filesystem::path& FileName() const { return name_; }
  size_t MappedCount() const { return blocks_.size(); }
  // True once a read or write of the file failed (the rows concerned hold zeros or are lost).
  bool IoError() const { return ioError_; }

 private:
  struct Block {
    int64_t offset = 0;
    int64_t size = 0;
    std::unique_ptr<uint8_t[]> data;
    TLxRowAccess access = 0;
  };
  std::unique_ptr<uint8_t[]> TakeBuffer(int64_t size);

  std::unique_ptr<TLxTemporaryFileStream> stream_;
  std::filesystem::path name_;
  std::vector<Block> blocks_;
  // One released buffer kept for reuse, so walking rows does not allocate per row.
  std::unique_ptr<uint8_t[]> spare_;
  int64_t spareSize_ = 0;
  bool ioError_ = false;
};

}  // namespace lumenax
