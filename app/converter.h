// The converter's command logic: add files to the list, clear it, convert every listed BMP
// file to PNG and every PNG file to BMP beside it. Written against a small set of platform
// operations so that the window, the command-line tool and the tests provide their own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veltrano {

// Texts of the program.
inline constexpr const char kCaption[] = "Veltrano";
inline constexpr const char kFailedToLoad[] = "Failed to load file.";
inline constexpr const char kInvalidFormat[] = "Invalid file format.";
inline constexpr const char kIncorrectFormat[] = "Incorrect file format or bit depth.";
inline constexpr const char kFailedToSave[] = "Failed to save file.";

// The open dialog's filter: description|patterns pairs, the first entry selected.
inline constexpr const char kOpenFilter[] =
    "Target formats|*.bmp;*.png;|Bitmap images|*.bmp|PNG images|*.png";

// Options of the open dialog.
enum OpenOption : uint32_t {
  ofAllowMultiSelect = 1u << 0,
  ofPathMustExist = 1u << 1,
  ofFileMustExist = 1u << 2,
  ofEnableSizing = 1u << 3,
  ofDontAddToRecent = 1u << 4,
  ofForceShowHidden = 1u << 5,
};
inline constexpr uint32_t kOpenOptions = ofAllowMultiSelect | ofPathMustExist | ofFileMustExist |
                                         ofEnableSizing | ofDontAddToRecent | ofForceShowHidden;

// The platform operations the commands use, all on the thread that runs the commands.
class ConverterPlatform {
 public:
  virtual ~ConverterPlatform() = default;

  // False when cancelled; otherwise the chosen full file names in the dialog's order.
  virtual bool OpenDialog(const std::string& filter, uint32_t options,
                          std::vector<std::string>& names) = 0;
  virtual void ListAppend(const std::string& name) = 0;
  virtual void ListClear() = 0;
  virtual std::vector<std::string> ListItems() = 0;
  int ListCount() { return int(ListItems().size()); }
  // Modal, with the caption, an error icon and one OK button, owned by the main window.
  virtual void MessageBox(const std::string& text, const std::string& caption) = 0;
  // True when a file (not a folder) of that name exists.
  virtual bool FileExists(const std::string& name);
  // Progress of the convert command: total files first, then the number done after each;
  // Step answers false when the user cancelled (the command stops after the files in
  // flight). Both run on the command's thread.
  virtual void BeginProgress(int total) { (void)total; }
  virtual bool StepProgress(int done) {
    (void)done;
    return true;
  }
  virtual void EndProgress() {}
};

// The name with the part from the last dot of its final component replaced by ext (which
// includes its dot); a final component without a dot gets ext appended.
std::string ChangeFileExt(const std::string& name, const std::string& ext);

// What became of one file.
enum class FileOutcome {
  Skipped,          // the file no longer exists: nothing is said
  Added,            // add: a BMP or PNG file, listed
  Converted,        // convert: the target was written
  FailedToLoad,     // "Failed to load file."
  InvalidFormat,    // add: loaded, but neither BMP nor PNG: "Invalid file format."
  IncorrectFormat,  // convert: loaded, but neither BMP nor PNG
  FailedToSave,     // convert: the writer failed: "Failed to save file."
  UpToDate,         // convert, when asked to skip them: the target is newer than the source
};

// The message shown for an outcome, or empty when none is shown.
const char* OutcomeMessage(FileOutcome outcome);

struct FileResult {
  FileOutcome outcome = FileOutcome::Skipped;
  std::string target;  // the file written (Converted) or attempted (FailedToSave)
  // Why the load or the save failed, as the library said it ("truncated pixel data at byte
  // 51234"); empty when it did not say.
  std::string reason;
  // What the load found: the detected format and the image's size (0 when unknown).
  int fileType = 0;
  int width = 0, height = 0;
  int64_t sourceBytes = -1;  // the source's size, where the caller looked
};

// The add step for one name: loads it with format detection and tells whether it is listed.
FileResult CheckFile(ConverterPlatform& platform, const std::string& name);
// The convert step for one name: loads it with BmpKeepAlpha set and writes the BMP file as
// PNG, the PNG file as BMP, beside it. With addChecks, a file that loads but is neither BMP
// nor PNG is reported as the add step would (InvalidFormat), so one load does both steps.
// Exceptions of the I/O component (an output that cannot be created) pass to the caller.
// Safe to call from several threads at once (the platform's FileExists must be too).
FileResult ConvertFile(ConverterPlatform& platform, const std::string& name,
                       bool addChecks = false);

// The three commands of the main window.
class ConverterCommands {
 public:
  explicit ConverterCommands(ConverterPlatform& platform) : platform_(platform) {}

  // Shows the open dialog and adds the chosen files.
  void btnAddClick();
  // Adds names exactly as the add command does (also used for files dropped on the list).
  void AddFiles(const std::vector<std::string>& names);
  void btnClearClick();
  void btnConvertClick();

  // How many files the convert command converts at once (0, the default: one per core).
  // Whatever the number, the messages come in list order, as one worker gives them.
  void SetWorkers(int workers) { workers_ = workers; }

 private:
  ConverterPlatform& platform_;
  int workers_ = 0;
};

}  // namespace veltrano
