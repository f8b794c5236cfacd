#include "bitmap/filebuffer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "bitmap/errors.h"
#include "bitmap/settings.h"

namespace lumenax {

TLxTemporaryFileStream::TLxTemporaryFileStream(const std::filesystem::path& fileName)
    : THandleStream(-1) {
  fd_ = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd_ < 0) throw EInOutError("Unable to create " + fileName.string());
  ::unlink(fileName.c_str());
}

bool TLxFileBuffer::Create(const std::string& prefix, int64_t size) {
  Close();
  try {
    thread_local std::mt19937 rng{std::random_device{}()};
    std::uniform_int_distribution<uint32_t> dist(0, 2147483646u);
    std::filesystem::path dir = TempDirectoryPrefix();
    std::filesystem::path name;
    std::error_code ec;
    do {
      char hex[16];
      std::snprintf(hex, sizeof hex, "%08X", dist(rng));
      name = dir;
      name += prefix + "-" + hex + ".tmp";
    } while (std::filesystem::exists(name, ec));
    name_ = name;
    stream_ = std::make_unique<TLxTemporaryFileStream>(name);
    stream_->SetSize(size);
    return true;
  } catch (const std::exception&) {
    stream_.reset();
    return false;
  }
}

std::unique_ptr<uint8_t[]> TLxFileBuffer::TakeBuffer(int64_t size) {
  if (spare_ && spareSize_ == size) {
    spareSize_ = 0;
    return std::move(spare_);
  }
  return std::make_unique_for_overwrite<uint8_t[]>(size_t(size));
}

uint8_t* TLxFileBuffer::Map(TLxRowAccess access, int64_t size, int64_t offset) {
  Block b;
  b.offset = offset;
  b.size = size;
  b.access = access;
  b.data = TakeBuffer(size);
  int64_t got = 0;
  if (stream_ && (access & raRead)) {
    while (got < size) {
      ssize_t n =
          ::pread(stream_->Handle(), b.data.get() + got, size_t(size - got), off_t(offset + got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += n;
    }
    if (got < size) ioError_ = true;
  }
  if (got < size) std::memset(b.data.get() + got, 0, size_t(size - got));
  uint8_t* p = b.data.get();
  blocks_.push_back(std::move(b));
  return p;
}

void TLxFileBuffer::Release(uint8_t* address) {
  for (size_t i = 0; i < blocks_.size(); ++i) {
    if (blocks_[i].data.get() != address) continue;
    Block& b = blocks_[i];
    if (stream_ && (b.access & raWrite)) {
      int64_t done = 0;
      while (done < b.size) {
        ssize_t n = ::pwrite(stream_->Handle(), b.data.get() + done, size_t(b.size - done),
                             off_t(b.offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
      }
      if (done < b.size) ioError_ = true;
    }
    spare_ = std::move(b.data);
    spareSize_ = b.size;
    blocks_.erase(blocks_.begin() + ptrdiff_t(i));
    return;
  }
}

void TLxFileBuffer::ReleaseAll() {
  if (!stream_) return;
  while (!blocks_.empty()) Release(blocks_.back().data.get());
}

void TLxFileBuffer::Close() {
  if (!stream_) {
    blocks_.clear();
    return;
  }
  ReleaseAll();
  stream_.reset();
  std::error_code ec;
  std::filesystem::remove(name_, ec);
}

bool TLxFileBuffer::CopyTo(TLxFileBuffer& target, int64_t byteCount, int64_t offset) {
  if (!stream_ || !target.stream_) return false;
  ReleaseAll();
  target.ReleaseAll();
  constexpr int64_t kChunk = 1048576;
  std::vector<uint8_t> buf(size_t(std::min(kChunk, std::max<int64_t>(byteCount, 1))));
  int64_t done = 0;
  while (done < byteCount) {
    int64_t n = std::min<int64_t>(int64_t(buf.size()), byteCount - done);
    ssize_t r = ::pread(stream_->Handle(), buf.data(), size_t(n), off_t(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    ssize_t w = ::pwrite(target.stream_->Handle(), buf.data(), size_t(r), off_t(offset + done));
    if (w != r) {
      target.ioError_ = true;
      return false;
    }
    done += r;
  }
  return done == byteCount;
}

}  // namespace lumenax
