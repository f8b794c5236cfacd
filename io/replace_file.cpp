#include "io/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "bitmap/errors.h"
#include "bitmap/stream.h"

namespace lumenax {

namespace {

std::atomic<bool> unnamedAllowed{true};
thread_local TLxCommitGroup* activeGroup = nullptr;

std::exception_ptr CreateError(const std::filesystem::path& target, int error) {
  try {
    RaiseFileCreateError(target, error);
  } catch (...) {
    return std::current_exception();
  }
}

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

// An unnamed file is given a name through its /proc/self/fd entry, which needs no privilege;
// without /proc there is no way to name it, so the file starts named instead.
bool CanNameUnnamedFiles() {
  static const bool procMounted = ::access("/proc/self/fd", F_OK) == 0;
  return procMounted;
}

// The start of the hidden names beside the target: ".NAME." before six letters or digits.
std::string HiddenPrefix(const std::filesystem::path& folder, std::string base) {
  // Stay within the file-name limit of the folder.
  if (base.size() > 200) base.resize(200);
  return (folder / ("." + base + ".")).string();
}

std::string RandomLetters() {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 random{std::random_device{}()};
  std::uniform_int_distribution<int> pick(0, int(sizeof kLetters) - 2);
  std::string letters;
  for (int i = 0; i < 6; ++i) letters += kLetters[pick(random)];
  return letters;
}

// Links an unnamed file under name; EEXIST when the name is taken.
int LinkUnnamed(int fd, const std::filesystem::path& name) {
  std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  return errno;
}

// Makes the folder's entries durable. A folder this process may not read cannot be opened to
// be flushed, and some file systems do not flush folders; both are left as they are.
int SyncFolder(const std::filesystem::path& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  int error = 0;
  if (::fsync(fd) != 0 && errno != EINVAL && errno != EOPNOTSUPP) error = errno;
  ::close(fd);
  return error;
}

}  // namespace

void SetUnnamedReplacingFiles(bool allowed) {
  unnamedAllowed = allowed;
}

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
  // A file that may not be written stays as it is, as it would if it were opened for writing;
  // so does a folder of the target's name, which could only be found out when the file is put
  // in place, after later files may have started.
  if (::access(resolved_.c_str(), F_OK) == 0 && ::access(resolved_.c_str(), W_OK) != 0)
    RaiseFileCreateError(target_, errno);
  if (std::error_code ec; std::filesystem::is_directory(resolved_, ec))
    RaiseFileCreateError(target_, EISDIR);
  folder_ = resolved_.parent_path();
  if (folder_.empty()) folder_ = ".";
  int fd = -1;
  if (unnamedAllowed && CanNameUnnamedFiles()) {
    // Refused by file systems without unnamed files (EOPNOTSUPP, or EISDIR on old kernels);
    // the named file below then either works or gives the error to report.
    fd = ::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  }
  if (fd >= 0) {
    unnamed_ = true;
  } else {
    std::string s = HiddenPrefix(folder_, resolved_.filename().string()) + "XXXXXX";
    std::vector<char> buf(s.begin(), s.end());
    buf.push_back('\0');
    fd = ::mkostemp(buf.data(), O_CLOEXEC);
    if (fd < 0) RaiseFileCreateError(target_, errno);
    temp_ = buf.data();
  }
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
  stream_.reset();  // an unnamed file vanishes as it is closed
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

TLxReplacingFile::TLxReplacingFile(Moved, TLxReplacingFile& from)
    : target_(from.target_),
      resolved_(from.resolved_),
      folder_(from.folder_),
      temp_(from.temp_),
      stream_(std::move(from.stream_)),
      unnamed_(from.unnamed_),
      replacing_(from.replacing_) {
  from.temp_.clear();
  from.done_ = true;
}

int TLxReplacingFile::Prepare() {
  int fd = stream_->Handle();
  struct stat st;
  mode_t mode;
  replacing_ = ::stat(resolved_.c_str(), &st) == 0;
  if (replacing_) {
    mode = st.st_mode & 07777;
    // Keep the owner where we may (root replacing another user's file); ignore refusals.
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
    }
  } else {
    mode = 0666 & ~mode_t(CurrentUmask());
  }
  return ::fchmod(fd, mode) != 0 ? errno : 0;
}

int TLxReplacingFile::Place() {
  int fd = stream_->Handle();
  int error = 0;
  bool placed = false;
  if (unnamed_) {
    // A new target takes the file's name at once, leaving no moment where a hidden name
    // exists; a target that exists is replaced through a hidden name, renamed right away.
    if (!replacing_) {
      error = LinkUnnamed(fd, resolved_);
      placed = error == 0;
      if (error == EEXIST) error = 0;  // created by someone else meanwhile: replace it
    }
    if (error == 0 && !placed) {
      std::string prefix = HiddenPrefix(folder_, resolved_.filename().string());
      error = EEXIST;
      for (int tries = 0; error == EEXIST && tries < 100; ++tries) {
        std::string name = prefix + RandomLetters();
        error = LinkUnnamed(fd, name);
        if (error == 0) temp_ = name;
      }
    }
  }
  if (error == 0 && !placed && ::rename(temp_.c_str(), resolved_.c_str()) != 0) error = errno;
  stream_.reset();  // closes the file
  if (error != 0 && !temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
  return error;
}

void TLxReplacingFile::Commit() {
  if (done_) return;
  if (TLxCommitGroup* group = activeGroup) {
    int error = Prepare();
    // The disk starts writing the data now, while the next files convert, so the group's
    // flush finds little left to write. Only a hint: errors come with the flush.
    if (error == 0) ::sync_file_range(stream_->Handle(), 0, 0, SYNC_FILE_RANGE_WRITE);
    group->files_.push_back({std::make_unique<TLxReplacingFile>(Moved{}, *this), error});
    return;
  }
  int error = Prepare();
  // The content reaches the disk before any name leads to it: after a power cut the target
  // holds its old content or the new one, never a file whose data was not written yet.
  if (error == 0 && ::fsync(stream_->Handle()) != 0) error = errno;
  if (error == 0) {
    done_ = true;
    error = Place();
  } else {
    Discard();
  }
  if (error != 0) RaiseFileCreateError(target_, error);
  if (int folderError = SyncFolder(folder_); folderError != 0)
    RaiseFileCreateError(target_, folderError);
}

// ---------------------------------------------------------------- TLxCommitGroup

TLxCommitGroup::~TLxCommitGroup() {
  Discard();
}

void TLxCommitGroup::Discard() {
  files_.clear();  // each file removes its temporary file
}

TLxCommitGroup::Scope::Scope(TLxCommitGroup& group) : previous_(activeGroup) {
  activeGroup = &group;
}

TLxCommitGroup::Scope::~Scope() {
  activeGroup = previous_;
}

std::vector<std::exception_ptr> TLxCommitGroup::Flush() {
  std::vector<Entry> files = std::move(files_);
  files_.clear();
  std::vector<int> errors(files.size());
  for (size_t i = 0; i < files.size(); ++i) errors[i] = files[i].error;
  // The data of every file: one flush of each file system holding them, which costs about
  // what one file's flush does. Where that is refused, each file is flushed on its own.
  std::map<dev_t, int> flushed;  // device to the result of its flush
  for (size_t i = 0; i < files.size(); ++i) {
    if (errors[i] != 0) continue;
    int fd = files[i].file->stream_->Handle();
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      errors[i] = errno;
      continue;
    }
    auto it = flushed.find(st.st_dev);
    if (it == flushed.end()) it = flushed.emplace(st.st_dev, ::syncfs(fd) == 0 ? 0 : errno).first;
    if (it->second != 0 && ::fsync(fd) != 0) errors[i] = errno;
  }
  // Then the names, in order (a later file of the same target wins, as it would have).
  std::set<std::filesystem::path> folders;
  for (size_t i = 0; i < files.size(); ++i) {
    TLxReplacingFile& f = *files[i].file;
    f.done_ = true;
    if (errors[i] == 0) errors[i] = f.Place();
    if (errors[i] == 0) {
      folders.insert(f.folder_);
    } else {
      f.done_ = false;
      f.Discard();
    }
  }
  std::map<std::filesystem::path, int> folderErrors;
  for (const auto& folder : folders) folderErrors[folder] = SyncFolder(folder);
  std::vector<std::exception_ptr> out(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    TLxReplacingFile& f = *files[i].file;
    int error = errors[i] != 0 ? errors[i] : folderErrors[f.folder_];
    if (error != 0) out[i] = CreateError(f.target_, error);
  }
  return out;
}

}  // namespace lumenax
