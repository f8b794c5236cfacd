// ProgressRecord: the one channel between an entry point of the I/O component and the codec or
// conversion routine it calls. The callee reports percentages through the progress method,
// fails by setting *AbortingPtr (with a reason, through Fail), and stops at its next test once
// *AbortingPtr is set.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumenax {

// Why a load, a save or a processing step did not complete. The first reason recorded for an
// operation is the one reported: later failures are usually consequences of the first.
enum class TLxFailure : uint8_t {
  None = 0,
  BadSignature,  // the data do not start the way the format starts
  BadHeader,     // a header field that no valid file holds
  Unsupported,   // a valid variant of the format that this build does not decode or encode
  Truncated,     // the data end before the image does
  TooLarge,      // the image is beyond the allocation caps or what its data can describe
  BadData,       // corrupt compressed data, impossible codes, inconsistent structures
  WriteFailed,   // the target accepted fewer bytes than written
  Cancelled,     // a progress handler asked the operation to stop
  NoReader,      // the format is known but has no reader in this build
  NoWriter,      // the format is known but has no writer in this build
  NoImage,       // the file holds no image (or not the one asked for)
  OutOfMemory,   // an allocation the image needs failed
};

// The short text of a failure code: "truncated data", "too large", ...; "" for None.
const char* FailureText(TLxFailure code);

struct TLxFailureReason {
  TLxFailure Code = TLxFailure::None;
  // A more precise text than the code's ("truncated pixel data"); empty: the code's text.
  std::string Detail;
  // Byte offset in the stream where the fault was found, -1 when unknown.
  int64_t Offset = -1;

  explicit operator bool() const { return Code != TLxFailure::None; }
  void Clear() { *this = TLxFailureReason{}; }
  // "truncated pixel data at byte 51234"; "" without a reason.
  std::string Text() const;
};

// A progress method: code and the object it belongs to.
using TProgressCode = void (*)(void* data, void* sender, int percent);

struct ProgressRecord {
  TProgressCode OnProgressCode = nullptr;
  void* OnProgressData = nullptr;
  void* Sender = nullptr;
  int32_t Value = 0;
  double Per1 = 0;
  double Per2 = 0;
  bool* AbortingPtr = nullptr;
  // Where Fail records why; may be null (the reason is then dropped, Aborting still set).
  TLxFailureReason* ReasonPtr = nullptr;
  // A reader setting: images of more pixels than this are refused (TooLarge) before they are
  // allocated; 0 means no cap beyond the readers' own rules. Fuzz targets set it low so that
  // inputs explore the parsers instead of filling huge images.
  uint64_t MaxPixels = 0;

  bool Assigned() const { return OnProgressCode != nullptr; }
  // Calls the progress method when one is assigned.
  void Report(int percent) const {
    if (OnProgressCode) OnProgressCode(OnProgressData, Sender, percent);
  }
  bool Aborting() const { return AbortingPtr && *AbortingPtr; }
  // False when width x height is beyond MaxPixels.
  bool PixelsAllowed(uint64_t width, uint64_t height) const {
    if (MaxPixels == 0) return true;
    return width == 0 || height <= MaxPixels / width;
  }
  // Sets Aborting without a reason of its own (a reason recorded earlier stays).
  void Abort() const {
    if (AbortingPtr) *AbortingPtr = true;
  }
  // Sets Aborting and, unless the operation already has a reason (or was cancelled), records
  // this one.
  void Fail(TLxFailure code, int64_t offset = -1, std::string_view detail = {}) const;
  // Fail without an offset.
  void Fail(TLxFailure code, std::string_view detail) const { Fail(code, -1, detail); }
  // The row rule: Per1 := 100 / rows and Value := 0 before the first row ...
  void BeginRows(int rows) {
    Per1 = rows > 0 ? 100.0 / rows : 0;
    Value = 0;
  }
  // ... and after each row Value + 1 reported as trunc(Value * Per1).
  void RowDone() {
    ++Value;
    if (OnProgressCode) OnProgressCode(OnProgressData, Sender, int(Value * Per1));
  }
};

}  // namespace lumenax
