// A file being written to replace another one, without ever destroying it: the writer
// writes a temporary file in the target's folder, which is renamed over the target only on
// Commit. Until then the target keeps its old content whatever happens to the writer.
#pragma once

#include <filesystem>
#include <memory>

namespace lumenax {

class TStream;
class THandleStream;

class TLxReplacingFile {
 public:
  // Creates the temporary file ".NAME.XXXXXX" beside target (beside the file a symbolic
  // link points to). Raises EFCreateError "Cannot create file \"%s\". %s" naming target
  // when the folder refuses, or when the target exists and may not be written.
  explicit TLxReplacingFile(const std::filesystem::path& target);
  // Removes the temporary file unless it was committed.
  ~TLxReplacingFile();
  TLxReplacingFile(const TLxReplacingFile&) = delete;
  TLxReplacingFile& operator=(const TLxReplacingFile&) = delete;

  TStream& Stream();
  // Closes the temporary file and renames it over the target, which keeps the permissions
  // of the file it replaces (a new file gets 0666 less the umask). Raises EFCreateError
  // naming the target when that fails; the temporary file is removed then.
  void Commit();
  // Closes and removes the temporary file; the target stays as it was.
  void Discard();

  const std::filesystem::path& TemporaryName() const { return temp_; }

 private:
  std::filesystem::path target_;    // as given, for messages
  std::filesystem::path resolved_;  // the file that is replaced
  std::filesystem::path temp_;
  std::unique_ptr<THandleStream> stream_;
  bool done_ = false;
};

// The process's file-creation mask, read without changing it.
unsigned CurrentUmask();

}  // namespace lumenax
