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

#include <exception>
#include <filesystem>
#include <memory>
#include <vector>

namespace lumenax {

class TStream;
class THandleStream;
class TLxCommitGroup;

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
  // While a TLxCommitGroup::Scope is open on this thread, the file is handed to that group
  // instead: its permissions are set now, and the flush and the renaming wait for the
  // group's Flush (the target keeps its old content until then).
  void Commit();
  // Closes and removes the temporary file; the target stays as it was.
  void Discard();

  // True when the temporary file was created without a name in the folder.
  bool Unnamed() const { return unnamed_; }
  // The hidden name of a named temporary file; empty for an unnamed one, and after Commit.
  const std::filesystem::path& TemporaryName() const { return temp_; }

 private:
  friend class TLxCommitGroup;
  struct Moved {};

 public:
  // Takes over another file's temporary file (for a commit group).
  TLxReplacingFile(Moved, TLxReplacingFile& from);

 private:
  // Sets the permissions the target will have; 0 or an errno value.
  int Prepare();
  // Puts the flushed temporary file in place of the target; 0 or an errno value.
  int Place();

  std::filesystem::path target_;    // as given, for messages
  std::filesystem::path resolved_;  // the file that is replaced
  std::filesystem::path folder_;    // the folder that holds it
  std::filesystem::path temp_;
  std::unique_ptr<THandleStream> stream_;
  bool unnamed_ = false;
  bool done_ = false;
  bool replacing_ = false;  // the target existed when the permissions were set
};

// Finished files committed together, so that a batch of small files pays for one flush of
// the disk rather than two per file. Durability is the same as Commit's: a file's data is
// on the disk before its name leads to it, and its name is on the disk once Flush returns.
// Each pending file keeps its temporary file open, so callers flush every few dozen files.
class TLxCommitGroup {
 public:
  TLxCommitGroup() = default;
  // Discards the files not flushed: their targets stay as they were.
  ~TLxCommitGroup();
  TLxCommitGroup(const TLxCommitGroup&) = delete;
  TLxCommitGroup& operator=(const TLxCommitGroup&) = delete;

  // Files handed over and not flushed yet.
  size_t Pending() const { return files_.size(); }
  // Flushes the data of every pending file (one flush per file system), puts the files in
  // place in the order they were handed over, then flushes each of their folders once.
  // Returns one entry per file in that order: empty, or the EFCreateError that Commit would
  // have raised for it (that file's temporary file is removed, its target left as it was).
  std::vector<std::exception_ptr> Flush();
  // Drops every pending file; their targets stay as they were.
  void Discard();

  // Routes the commits made on this thread to a group while it lives (scopes nest).
  class Scope {
   public:
    explicit Scope(TLxCommitGroup& group);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    TLxCommitGroup* previous_;
  };

 private:
  friend class TLxReplacingFile;
  struct Entry {
    std::unique_ptr<TLxReplacingFile> file;
    int error = 0;  // from setting the permissions
  };
  std::vector<Entry> files_;
};

// Whether replacing files may start unnamed (default true). Off, every replacing file takes
// a hidden name from the start, as on file systems that cannot create unnamed files; tests
// switch it off to reach that path.
void SetUnnamedReplacingFiles(bool allowed);

// The process's file-creation mask, read without changing it.
unsigned CurrentUmask();

}  // namespace lumenax
