#include "app/converter.h"

#include <sys/stat.h>

#include <algorithm>
#include <thread>

#include "app/batch.h"
#include "io/lumenax_io.h"

namespace veltrano {

using lumenax::TLumenaxIO;

bool ConverterPlatform::FileExists(const std::string& name) {
  struct stat st;
  return !name.empty() && ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string ChangeFileExt(const std::string& name, const std::string& ext) {
  size_t slash = name.find_last_of('/');
  size_t start = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot < start) return name + ext;
  return name.substr(0, dot) + ext;
}

const char* OutcomeMessage(FileOutcome outcome) {
  switch (outcome) {
    case FileOutcome::FailedToLoad:
      return kFailedToLoad;
    case FileOutcome::InvalidFormat:
      return kInvalidFormat;
    case FileOutcome::IncorrectFormat:
      return kIncorrectFormat;
    case FileOutcome::FailedToSave:
      return kFailedToSave;
    default:
      return "";
  }
}

FileResult CheckFile(ConverterPlatform& platform, const std::string& name) {
  if (!platform.FileExists(name)) return {FileOutcome::Skipped, {}};
  TLumenaxIO io;
  io.LoadFromFile(name);
  if (io.Aborting) return {FileOutcome::FailedToLoad, {}, io.FailureReason.Text()};
  if (io.Params.FileType == lumenax::ftBmp || io.Params.FileType == lumenax::ftPng)
    return {FileOutcome::Added, {}};
  return {FileOutcome::InvalidFormat, {}};
}

FileResult ConvertFile(ConverterPlatform& platform, const std::string& name, bool addChecks) {
  if (!platform.FileExists(name)) return {FileOutcome::Skipped, {}};
  TLumenaxIO io;
  // Set before the load: it governs both reading a BMP source and writing a BMP target.
  io.Params.BmpKeepAlpha = true;
  io.LoadFromFile(name);
  FileResult r;
  r.fileType = int(io.Params.FileType);
  if (io.Aborting) {
    r.outcome = FileOutcome::FailedToLoad;
    r.reason = io.FailureReason.Text();
    return r;
  }
  r.width = io.Params.Width;
  r.height = io.Params.Height;
  if (io.Params.FileType == lumenax::ftBmp) {
    r.target = ChangeFileExt(name, ".png");
    io.SaveToFilePng(r.target);
  } else if (io.Params.FileType == lumenax::ftPng) {
    r.target = ChangeFileExt(name, ".bmp");
    io.SaveToFileBmp(r.target);
  } else {
    r.outcome = addChecks ? FileOutcome::InvalidFormat : FileOutcome::IncorrectFormat;
    return r;
  }
  r.outcome = io.Aborting ? FileOutcome::FailedToSave : FileOutcome::Converted;
  if (io.Aborting) r.reason = io.FailureReason.Text();
  return r;
}

void ConverterCommands::btnAddClick() {
  std::vector<std::string> names;
  if (!platform_.OpenDialog(kOpenFilter, kOpenOptions, names)) return;
  AddFiles(names);
}

void ConverterCommands::AddFiles(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    FileResult r = CheckFile(platform_, name);
    if (r.outcome == FileOutcome::Added)
      platform_.ListAppend(name);
    else if (*OutcomeMessage(r.outcome))
      platform_.MessageBox(OutcomeMessage(r.outcome), kCaption);
  }
}

void ConverterCommands::btnClearClick() {
  platform_.ListClear();
}

void ConverterCommands::btnConvertClick() {
  std::vector<std::string> items = platform_.ListItems();
  if (items.empty()) return;
  platform_.BeginProgress(int(items.size()));
  // The progress display ends however the command ends.
  struct EndProgress {
    ConverterPlatform& p;
    ~EndProgress() { p.EndProgress(); }
  } end{platform_};
  BatchOptions options;
  options.workers = workers_;
  // An exception ends the command at its file: nothing starts after it, and the messages of
  // the files before it come first.
  options.stopOnError = true;
  // One flush of the disk per group of files instead of two per file. A target that cannot
  // be created raises as the file starts (a folder of its name included), so the exception
  // still ends the command there; only a disk that fails while files are put in place is
  // found out after the next files of that worker converted.
  options.groupCommits = true;
  // While a message box waits for the user, the workers stop soon after it, so that Cancel
  // can still spare most of the list. The files a worker may run ahead also make its groups:
  // eight each keep the flushes few.
  options.lookAhead =
      8 * size_t(workers_ > 0 ? workers_ : std::max(1u, std::thread::hardware_concurrency()));
  int done = 0;
  options.idle = [&] { return platform_.StepProgress(done); };
  std::exception_ptr error;
  RunBatch(
      items, options, [&](size_t i) { return ConvertFile(platform_, items[i]); },
      [&](size_t, BatchResult& r) {
        if (r.error) {
          error = r.error;
          return false;
        }
        if (*OutcomeMessage(r.file.outcome))
          platform_.MessageBox(OutcomeMessage(r.file.outcome), kCaption);
        return platform_.StepProgress(++done);
      });
  if (error) std::rethrow_exception(error);
}

}  // namespace veltrano
