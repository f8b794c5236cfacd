// TLxWorkerPool: one process-wide set of worker threads, sized to the cores, for codecs that
// split one image into independent pieces (the PNG writer's deflate bands, the PCX reader's
// stretches of run-length data).
//
// The machine is shared with whatever else the process does at the same moment. A batch
// engine that converts several files at once holds one TLxBusyConversion per file in flight;
// SpareLanes() then tells an encoder how many threads it may keep busy, its own included, so
// that N conversions on N cores never ask for more: each of them then encodes on its own
// thread.
//
// Jobs must not wait for other jobs of the pool: an encoder always does the work it handed
// out itself when no worker has taken it yet, so it never waits for a queued job either.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace lumenax {

class TLxWorkerPool {
 public:
  // A pool of `threads` workers (at least 1), started on the first Submit.
  explicit TLxWorkerPool(int threads);
  // Runs the jobs still queued, then joins the workers.
  ~TLxWorkerPool();
  TLxWorkerPool(const TLxWorkerPool&) = delete;
  TLxWorkerPool& operator=(const TLxWorkerPool&) = delete;

  // The process-wide pool: one worker per core.
  static TLxWorkerPool& Shared();

  int Threads() const { return threads_; }
  // Queues a job; a worker runs it as soon as one is free. Jobs must not throw.
  void Submit(std::function<void()> job);

 private:
  void Work();

  const int threads_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> workers_;
  bool closing_ = false;
};

// A piece of work that either a worker of the pool or the thread that needs its result does,
// whichever claims it first; a piece claimed only to drop it is never done. The work calls
// Done() when it ends, on whichever thread did it.
class TLxClaimedJob {
 public:
  bool Claim() { return !claimed_.exchange(true); }
  void Done() {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    doneSignal_.notify_all();
  }
  // Does the work here unless another thread claimed it first, then waits until it is done.
  template <class Work>
  void Finish(Work&& work) {
    if (Claim()) {
      work();
      return;
    }
    Wait();
  }
  // Whether the thread that claimed the work has done it.
  bool IsDone() {
    std::lock_guard<std::mutex> lock(mutex_);
    return done_;
  }
  // Waits until the thread that claimed the work has done it.
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    doneSignal_.wait(lock, [this] { return done_; });
  }

 private:
  std::atomic<bool> claimed_{false};
  std::mutex mutex_;
  std::condition_variable doneSignal_;
  bool done_ = false;
};

// Byte buffers of one size that the pieces of an encode hand on to the next pieces: taking
// fresh pages for every band costs more than encoding it. Buffers are left unset. Shared
// (std::shared_ptr) by the pieces, which may end on a worker after the encode returned.
class TLxBufferStock {
 public:
  explicit TLxBufferStock(size_t bytes) : bytes_(bytes) {}
  size_t Bytes() const { return bytes_; }
  std::unique_ptr<uint8_t[]> Take() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!spare_.empty()) {
        std::unique_ptr<uint8_t[]> b = std::move(spare_.back());
        spare_.pop_back();
        return b;
      }
    }
    return std::make_unique_for_overwrite<uint8_t[]>(bytes_);
  }
  void Give(std::unique_ptr<uint8_t[]> b) {
    if (!b) return;
    std::lock_guard<std::mutex> lock(mutex_);
    spare_.push_back(std::move(b));
  }

 private:
  const size_t bytes_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<uint8_t[]>> spare_;
};

// Pieces of one encode or decode (bands of rows, strips, stretches of compressed data) done
// on the shared pool while the calling thread prepares the next ones, and taken back in the
// order they were added, so the output is the same whatever thread did which piece. Job is a
// TLxClaimedJob with a `void Run() noexcept` that ends with Done(). At most `lanes` pieces
// wait at once beyond the one being prepared; with one lane the calling thread does every
// piece itself. A piece that must be taken while a worker is still doing it sends the calling
// thread to the newest pieces no one has taken instead of waiting, so the work splits evenly
// whichever thread has more to do between pieces. When the work stops early, pieces still
// queued are claimed so that no worker does them, and those a worker is doing are waited
// for: they may read what the caller owns (the bitmap's rows).
template <class Job>
class TLxOrderedJobs {
 public:
  explicit TLxOrderedJobs(int lanes) : lanes_(lanes < 1 ? 1 : lanes) {}
  ~TLxOrderedJobs() {
    for (auto& job : pending_)
      if (!job->Claim()) job->Wait();
  }
  TLxOrderedJobs(const TLxOrderedJobs&) = delete;
  TLxOrderedJobs& operator=(const TLxOrderedJobs&) = delete;

  // Queues a piece, then hands the oldest ones to take(const Job&) while too many wait;
  // false as soon as take returns false.
  template <class Take>
  bool Add(std::shared_ptr<Job> job, Take&& take) {
    if (lanes_ > 1)
      TLxWorkerPool::Shared().Submit([job] {
        if (job->Claim()) job->Run();
      });
    pending_.push_back(std::move(job));
    while (pending_.size() > size_t(lanes_))
      if (!TakeFront(take)) return false;
    return true;
  }
  // Hands every piece still waiting to take, in order; false as soon as take returns false.
  template <class Take>
  bool Drain(Take&& take) {
    while (!pending_.empty())
      if (!TakeFront(take)) return false;
    return true;
  }

 private:
  template <class Take>
  bool TakeFront(Take& take) {
    std::shared_ptr<Job> job = std::move(pending_.front());
    pending_.pop_front();
    if (job->Claim()) {
      job->Run();
    } else {
      for (auto later = pending_.rbegin(); later != pending_.rend() && !job->IsDone(); ++later)
        if ((*later)->Claim()) (*later)->Run();
      job->Wait();
    }
    return take(*job);
  }

  const int lanes_;
  std::deque<std::shared_ptr<Job>> pending_;
};

// Cores of the machine (at least 1).
int CoreCount();

// Marks one conversion in flight for as long as it lives (the batch engine creates one per
// file it converts at once with others).
class TLxBusyConversion {
 public:
  TLxBusyConversion();
  ~TLxBusyConversion();
  TLxBusyConversion(const TLxBusyConversion&) = delete;
  TLxBusyConversion& operator=(const TLxBusyConversion&) = delete;
};

// Conversions now marked by TLxBusyConversion.
int BusyConversions();

// Caps the threads all conversions of the process may keep busy together, for as long as it
// lives (the previous cap comes back after it): a batch engine asked for N workers uses N
// cores, whether they convert N files at once or one large image. 0 or less: no cap beyond the
// cores.
class TLxLaneLimit {
 public:
  explicit TLxLaneLimit(int lanes);
  ~TLxLaneLimit();
  TLxLaneLimit(const TLxLaneLimit&) = delete;
  TLxLaneLimit& operator=(const TLxLaneLimit&) = delete;

 private:
  int previous_;
};

// Threads one encode may keep busy, its calling thread included: the cores (or the lanes of
// a TLxLaneLimit, if fewer) that other conversions in flight leave free (the calling
// conversion counts once whether or not it is marked), at least 1.
int SpareLanes();

}  // namespace lumenax
