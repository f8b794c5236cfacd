// The batch engine behind veltrano-cli and the window's convert command: converts a list of
// files on several workers and hands every result back, in list order, to the thread that
// runs the batch.
//
// Files that share a source or a possible target (name.png, name.bmp) convert one after
// another in list order, each starting only once the one before it is in place; the others
// run side by side. Memory grows with the list and with the results waiting for their turn,
// which the look-ahead bounds: no file starts while the oldest result not yet handed back
// lies that many files behind it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "app/converter.h"

namespace veltrano {

// One file's result as the batch hands it back.
struct BatchResult {
  FileResult file;
  // The exception the conversion raised (an output that cannot be created, a commit that
  // failed); empty when it ended normally.
  std::exception_ptr error;
  std::chrono::steady_clock::duration elapsed{};  // the conversion, commit excluded
};

struct BatchOptions {
  // Conversions in flight: how many files convert at once (0: one per core), and the cores
  // the batch uses. The engine marks each as a TLxBusyConversion while it runs, so that
  // encoders that spread one image over threads leave the cores to the files, and caps the
  // threads of the whole batch at this number (TLxLaneLimit).
  int workers = 0;
  // A conversion that raises stops the batch at once: no file starts after it, the files in
  // flight finish, and results are handed back up to and including the failed one.
  bool stopOnError = false;
  // Written files are put in place in groups, one flush of the disk per group instead of
  // two per file; a result is handed back only after its file is in place.
  // A worker flushes its group once it holds groupSize files (fewer when the process may
  // not open that many), once the oldest waited a second, and whenever it runs out of work.
  bool groupCommits = false;
  size_t groupSize = 1024;
  // Files that may run ahead of the oldest result not yet handed back.
  size_t lookAhead = 4096;
  // Called on the batch's thread about ten times a second while it waits for a result;
  // answering false stops the batch as a false answer to a result does.
  std::function<bool()> idle;
};

// The predecessor of each file: the nearest earlier position that shares a source or a
// possible target with it, or kNoPredecessor. Names are compared after resolving their
// folders (so "./a.bmp" and "a.bmp" meet).
inline constexpr uint32_t kNoPredecessor = UINT32_MAX;
std::vector<uint32_t> SerialPredecessors(const std::vector<std::string>& files);

// Converts files[i] with convert(i) on the workers (convert must be safe to call from several
// threads at once) and calls report(i, result) on this thread in list order for every file
// that was converted. report answering false stops the batch: no file starts afterwards, the
// files in flight finish and are still reported. Files never started are not reported.
// Returns the number of files reported.
size_t RunBatch(const std::vector<std::string>& files, const BatchOptions& options,
                const std::function<FileResult(size_t)>& convert,
                const std::function<bool(size_t, BatchResult&)>& report);

}  // namespace veltrano
