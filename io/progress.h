// ProgressRecord: the one channel between an entry point of the I/O component and the codec or
// conversion routine it calls. The callee reports percentages through the progress method,
// fails by setting *AbortingPtr, and stops at its next test once *AbortingPtr is set.
#pragma once

#include <cstdint>

namespace lumenax {

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

  bool Assigned() const { return OnProgressCode != nullptr; }
  // Calls the progress method when one is assigned.
  void Report(int percent) const {
    if (OnProgressCode) OnProgressCode(OnProgressData, Sender, percent);
  }
  bool Aborting() const { return AbortingPtr && *AbortingPtr; }
  void Abort() const {
    if (AbortingPtr) *AbortingPtr = true;
  }
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
