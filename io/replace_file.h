// A file being written to replace another one, without ever destroying it: the writer
// writes a temporary file in the target's folder, which is put in place of the target only
// on Commit. Until then the target keeps its old content whatever happens to the writer, and
// once Commit returns the new content is on the disk, so that neither a crash nor a power
// cut can leave a target half-written or empty.
//
// The temporary file has no name where the file system allows that (O_TMPFILE): a process
// that dies while writing leaves nothing behind. Elsewhere it is a hidden ".NAME.XXXXXX" file
// beside the target, removed on every path but a crash.
#pragma once

#include <filesystem>
#include <memory>

namespace lumenax {

class TStream;
class THandleStream;

class TLxReplacingFile {
 public:
  // Creates the temporary file beside target (beside the file a symbolic link points to).
  // Raises EFCreateError "Cannot create file \"%s\". %s" naming target when the folder
  // refuses, or when the target exists and may not be written.
  explicit TLxReplacingFile(const std::filesystem::path& target);
  // Removes the temporary file unless it was committed.
  ~TLxReplacingFile();
  TLxReplacingFile(const TLxReplacingFile&) = delete;
  TLxReplacingFile& operator=(const TLxReplacingFile&) = delete;

  TStream& Stream();
  // Flushes the temporary file to the disk and puts it in place of the target, which keeps
  // the permissions (and, where allowed, the owner) of the file it replaces (a new file gets
  // 0666 less the umask); then flushes the folder, so that the new name survives a power
  // cut. Raises EFCreateError naming the target when any of that fails; the temporary file
  // is removed then.
  void Commit();
  // Closes and removes the temporary file; the target stays as it was.
  void Discard();

  // True when the temporary file was created without a name in the folder.
  bool Unnamed() const { return unnamed_; }
  // The hidden name of a named temporary file; empty for an unnamed one, and after Commit.
  const std::filesystem::path& TemporaryName() const { return temp_; }

 private:
  std::filesystem::path target_;    // as given, for messages
  std::filesystem::path resolved_;  // the file that is replaced
  std::filesystem::path folder_;    // the folder that holds it
  std::filesystem::path temp_;
  std::unique_ptr<THandleStream> stream_;
  bool unnamed_ = false;
  bool done_ = false;
};

// Whether replacing files may start unnamed (default true). Off, every replacing file takes
// a hidden name from the start, as on file systems that cannot create unnamed files; tests
// switch it off to reach that path.
void SetUnnamedReplacingFiles(bool allowed);

// The process's file-creation mask, read without changing it.
unsigned CurrentUmask();

}  // namespace lumenax
