#include "bitmap/stream.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "bitmap/errors.h"
#include "bitmap/settings.h"

namespace lumenax {

namespace {

std::string FullPath(const std::filesystem::path& p) {
  std::error_code ec;
  auto abs = std::filesystem::absolute(p, ec);
  return (ec ? p : abs).string();
}

// New position of a memory stream of `size` bytes after a seek; positions outside the data
// are allowed and read nothing.
int64_t MemSeek(int64_t pos, int64_t size, int64_t offset, int origin) {
  switch (origin) {
    case soBeginning:
      return offset;
    case soCurrent:
      return pos + offset;
    case soEnd:
      return size + offset;
    default:
      return pos;
  }
}

}  // namespace

void RaiseFileCreateError(const std::filesystem::path& name, int errnum) {
  throw EFCreateError("Cannot create file \"" + FullPath(name) + "\". " + std::strerror(errnum));
}

void RaiseFileOpenError(const std::filesystem::path& name, int errnum) {
  throw EFOpenError("Cannot open file \"" + FullPath(name) + "\". " + std::strerror(errnum));
}

// ---------------------------------------------------------------- TStream

int64_t TStream::Size() {
  int64_t pos = Seek(0, soCurrent);
  int64_t size = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return size;
}

void TStream::SetSize(int64_t) {}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  std::vector<uint8_t> buf(size_t(std::min<int64_t>(count, 1 << 20)));
  int64_t left = count;
  while (left > 0) {
    int64_t n = std::min<int64_t>(left, int64_t(buf.size()));
    source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    left -= n;
  }
  return count;
}

// ---------------------------------------------------------------- THandleStream

THandleStream::~THandleStream() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t THandleStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || fd_ < 0) return 0;
  auto* p = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::read(fd_, p + done, size_t(std::min<int64_t>(count - done, 1 << 30)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t THandleStream::Write(const void* buffer, int64_t count) {
  if (count <= 0 || fd_ < 0) return 0;
  auto* p = static_cast<const uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::write(fd_, p + done, size_t(std::min<int64_t>(count - done, 1 << 30)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t THandleStream::Seek(int64_t offset, int origin) {
  int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
  if (origin < soBeginning || origin > soEnd) whence = SEEK_CUR, offset = 0;
  off_t r = ::lseek(fd_, off_t(offset), whence);
  return r < 0 ? -1 : int64_t(r);
}

void THandleStream::SetSize(int64_t newSize) {
  if (::ftruncate(fd_, off_t(newSize)) != 0) {
    throw EStreamError(std::string("Cannot set stream size: ") + std::strerror(errno));
  }
  if (Position() > newSize) Seek(newSize, soBeginning);
}

// ---------------------------------------------------------------- TLxWideFileStream

namespace {

int OpenForMode(const std::filesystem::path& name, uint16_t mode, bool& create) {
  create = mode == fmCreate;
  if (create) {
    // Lock before truncating, so a refused create leaves the file as it was. An empty file is
    // left alone: ext4 flushes a file truncated to nothing when it is closed.
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    struct stat st;
    if (fd >= 0 && (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &st) != 0 ||
                    (st.st_size != 0 && ::ftruncate(fd, 0) != 0))) {
      int e = errno;
      ::close(fd);
      errno = e;
      return -1;
    }
    return fd;
  }
  int access = mode & 3;
  int share = (mode & 0xF0) >> 4;
  if (access == 3 || share > 4) {
    errno = EINVAL;
    return -1;
  }
  int flags = access == 0 ? O_RDONLY : access == 1 ? O_WRONLY : O_RDWR;
  int fd = ::open(name.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return -1;
  }
  int lock = 0;
  if (share == 2) {
    lock = LOCK_SH;  // others may read
  } else if (share == 0 || share == 1) {
    lock = LOCK_EX;  // no sharing
  }
  if (lock && ::flock(fd, lock | LOCK_NB) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

}  // namespace

TLxWideFileStream::TLxWideFileStream(const std::filesystem::path& fileName, uint16_t mode)
    : THandleStream(-1) {
  bool create = false;
  fd_ = OpenForMode(fileName, mode, create);
  if (fd_ < 0) {
    if (create) RaiseFileCreateError(fileName, errno);
    RaiseFileOpenError(fileName, errno);
  }
}

// ---------------------------------------------------------------- TLxBufferedReadStream

TLxBufferedReadStream::TLxBufferedReadStream(TStream& source, bool relative, int32_t bufferSize)
    : source_(source) {
  int64_t pos = source.Position();
  base_ = relative ? pos : 0;
  sourceSize_ = source.Size();
  position_ = pos;
  SetBufferSize(bufferSize);
}

void TLxBufferedReadStream::SetBufferSize(int32_t n) {
  if (n < 1) n = 1;
  buffer_.assign(size_t(n), 0);
  bufferSize_ = n;
  Fill();
}

void TLxBufferedReadStream::Fill() {
  source_.Seek(position_, soBeginning);
  int64_t got = source_.Read(buffer_.data(), bufferSize_);
  bufferFilled_ = int32_t(std::max<int64_t>(got, 0));
  bufferPos_ = 0;
}

int64_t TLxBufferedReadStream::Read(void* buffer, int64_t count) {
  int64_t n = std::min<int64_t>(count, sourceSize_ - position_);
  if (n <= 0) return 0;
  if (n > bufferSize_) {
    if (n > INT32_MAX) n = INT32_MAX;
    SetBufferSize(int32_t(n));
  }
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (true) {
    int64_t k = std::min<int64_t>(n - done, bufferFilled_ - bufferPos_);
    if (k > 0) {
      std::memcpy(out + done, buffer_.data() + bufferPos_, size_t(k));
      bufferPos_ += int32_t(k);
      position_ += k;
      done += k;
    }
    if (done == n) return n;
    Fill();
    // The source delivered less than its size promised: stop with what we have.
    if (bufferFilled_ == 0) return done;
  }
}

int64_t TLxBufferedReadStream::Write(const void*, int64_t) {
  throw EWriteError("TLxBufferedReadStream cannot write!");
}

int64_t TLxBufferedReadStream::Seek(int64_t offset, int origin) {
  int64_t np = position_;
  switch (origin) {
    case soBeginning:
      np = base_ + offset;
      break;
    case soCurrent:
      np = position_ + offset;
      break;
    case soEnd:
      np = sourceSize_ - offset;
      break;
    default:
      break;
  }
  if (np != position_) {
    position_ = np;
    Fill();
  }
  return position_ - base_;
}

// ---------------------------------------------------------------- TLxMemStream

int64_t TLxMemStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || pos_ >= size_ || pos_ < 0) return 0;
  int64_t n = std::min(count, size_ - pos_);
  std::memcpy(buffer, data_ + pos_, size_t(n));
  pos_ += n;
  return n;
}

int64_t TLxMemStream::Seek(int64_t offset, int origin) {
  pos_ = MemSeek(pos_, size_, offset, origin);
  return pos_;
}

// ---------------------------------------------------------------- TLxStreamWindow

int64_t TLxStreamWindow::Read(void* buffer, int64_t count) {
  if (count <= 0 || pos_ >= length_ || pos_ < 0) return 0;
  int64_t n = std::min(count, length_ - pos_);
  if (source_.Seek(start_ + pos_, soBeginning) != start_ + pos_) return 0;
  int64_t got = source_.Read(buffer, n);
  if (got > 0) pos_ += got;
  return got < 0 ? 0 : got;
}

int64_t TLxStreamWindow::Seek(int64_t offset, int origin) {
  pos_ = MemSeek(pos_, length_, offset, origin);
  return pos_;
}

// ---------------------------------------------------------------- TMemoryStream

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  int64_t size = int64_t(data_.size());
  if (count <= 0 || pos_ >= size || pos_ < 0) return 0;
  int64_t n = std::min(count, size - pos_);
  std::memcpy(buffer, data_.data() + pos_, size_t(n));
  pos_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0 || pos_ < 0) return 0;
  if (pos_ + count > int64_t(data_.size())) data_.resize(size_t(pos_ + count));
  std::memcpy(data_.data() + pos_, buffer, size_t(count));
  pos_ += count;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, int origin) {
  pos_ = MemSeek(pos_, int64_t(data_.size()), offset, origin);
  return pos_;
}

void TMemoryStream::SetSize(int64_t newSize) {
  data_.resize(size_t(std::max<int64_t>(newSize, 0)));
  if (pos_ > newSize) pos_ = newSize;
}

void TMemoryStream::LoadFromFile(const std::filesystem::path& fileName) {
  TLxWideFileStream f(fileName, fmOpenRead | fmShareDenyWrite);
  int64_t size = f.Size();
  data_.assign(size_t(size), 0);
  f.ReadBuffer(data_.data(), size);
  pos_ = 0;
}

void TMemoryStream::SaveToFile(const std::filesystem::path& fileName) {
  TLxWideFileStream f(fileName, fmCreate);
  f.WriteBuffer(data_.data(), int64_t(data_.size()));
}

// ---------------------------------------------------------------- TNulStream

int64_t TNulStream::Advance(int64_t count) {
  position_ = int32_t(int64_t(position_) + count);
  if (position_ > size_) size_ = position_;
  return count;
}

int64_t TNulStream::Seek(int64_t offset, int origin) {
  switch (origin) {
    case soBeginning:
      position_ = int32_t(offset);
      if (position_ > size_) size_ = position_;
      break;
    case soCurrent:
      position_ = int32_t(position_ + offset);
      if (position_ > size_) size_ = position_;
      break;
    case soEnd:
      position_ = int32_t(size_ - offset);
      break;
    default:
      break;
  }
  return position_;
}

// ---------------------------------------------------------------- TLxTmpStream

bool ForceDirectories(const std::filesystem::path& dir) {
  std::string s = dir.string();
  if (s.empty()) throw EInOutError("Cannot Create Directory");
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  std::error_code ec;
  if (std::filesystem::is_directory(s, ec)) return true;
  std::filesystem::create_directories(s, ec);
  return std::filesystem::is_directory(s, ec);
}

TLxTmpStream::TLxTmpStream() : THandleStream(-1) {
  std::filesystem::path dir;
  if (!DefaultTempDirectory.empty()) {
    dir = DefaultTempDirectory;
  } else {
    dir = TempDirectoryPrefix();
    ForceDirectories(dir);
  }
  std::string templ = (dir / "lumenaxXXXXXX").string();
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  fd_ = ::mkostemp(buf.data(), O_CLOEXEC);
  if (fd_ < 0) {
    RaiseFileCreateError(templ, errno);
  }
  name_ = buf.data();
}

TLxTmpStream::~TLxTmpStream() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  std::error_code ec;
  std::filesystem::remove(name_, ec);
}

std::unique_ptr<TStream> OpenTempStreamByName(const std::string& name) {
  if (name == "TEMPSTREAM") return std::make_unique<TLxTmpStream>();
  return nullptr;
}

}  // namespace lumenax
