#include "io/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "bitmap/errors.h"
#include "bitmap/stream.h"

namespace lumenax {

namespace {

// Follows symbolic links, so that a link keeps pointing at the file it named.
std::filesystem::path ResolveLinks(const std::filesystem::path& target) {
  std::filesystem::path p = target;
  std::error_code ec;
  for (int hops = 0; hops < 40 && std::filesystem::is_symlink(p, ec); ++hops) {
    std::filesystem::path link = std::filesystem::read_symlink(p, ec);
    if (ec) break;
    p = link.is_absolute() ? link : p.parent_path() / link;
  }
  return p;
}

}  // namespace

unsigned CurrentUmask() {
  // umask() can only be read by setting it, which races with other threads creating files;
  // the kernel reports it in /proc.
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) return unsigned(std::stoul(line.substr(6), nullptr, 8));
  }
  return 022;
}

TLxReplacingFile::TLxReplacingFile(const std::filesystem::path& target)
    : target_(target), resolved_(ResolveLinks(target)) {
  // A file that may not be written stays as it is, as it would if it were opened for writing.
  if (::access(resolved_.c_str(), F_OK) == 0 && ::access(resolved_.c_str(), W_OK) != 0)
    RaiseFileCreateError(target_, errno);
  std::filesystem::path folder = resolved_.parent_path();
  std::string base = resolved_.filename().string();
  // Stay within the file-name limit of the folder.
  if (base.size() > 200) base.resize(200);
  std::filesystem::path templ =
      (folder.empty() ? std::filesystem::path(".") : folder) / ("." + base + ".XXXXXX");
  std::string s = templ.string();
  std::vector<char> buf(s.begin(), s.end());
  buf.push_back('\0');
  int fd = ::mkostemp(buf.data(), O_CLOEXEC);
  if (fd < 0) RaiseFileCreateError(target_, errno);
  temp_ = buf.data();
  stream_ = std::make_unique<THandleStream>(fd);
}

TLxReplacingFile::~TLxReplacingFile() {
  if (!done_) Discard();
}

TStream& TLxReplacingFile::Stream() {
  return *stream_;
}

void TLxReplacingFile::Discard() {
  if (done_) return;
  done_ = true;
  stream_.reset();
  ::unlink(temp_.c_str());
}

void TLxReplacingFile::Commit() {
  if (done_) return;
  int fd = stream_->Handle();
  struct stat st;
  mode_t mode;
  if (::stat(resolved_.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
    // Keep the owner where we may (root replacing another user's file); ignore refusals.
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
    }
  } else {
    mode = 0666 & ~mode_t(CurrentUmask());
  }
  int error = 0;
  if (::fchmod(fd, mode) != 0) error = errno;
  stream_.reset();  // closes the file
  if (error == 0 && ::rename(temp_.c_str(), resolved_.c_str()) != 0) error = errno;
  done_ = true;
  if (error != 0) {
    ::unlink(temp_.c_str());
    RaiseFileCreateError(target_, error);
  }
}

}  // namespace lumenax
