#include "bitmap/worker_pool.h"

#include <algorithm>

namespace lumenax {

namespace {
std::atomic<int> busyConversions{0};
std::atomic<int> laneLimit{0};  // 0: the cores
}  // namespace

TLxWorkerPool::TLxWorkerPool(int threads) : threads_(std::max(1, threads)) {}

TLxWorkerPool::~TLxWorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
}

TLxWorkerPool& TLxWorkerPool::Shared() {
  static TLxWorkerPool pool(CoreCount());
  return pool;
}

void TLxWorkerPool::Submit(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
    // Workers start with the first job, so programs that never hand out work keep none.
    if (workers_.empty())
      for (int i = 0; i < threads_; ++i) workers_.emplace_back([this] { Work(); });
  }
  wake_.notify_one();
}

void TLxWorkerPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return closing_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // closing, nothing left
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
}

int CoreCount() {
  return int(std::max(1u, std::thread::hardware_concurrency()));
}

TLxBusyConversion::TLxBusyConversion() {
  ++busyConversions;
}

TLxBusyConversion::~TLxBusyConversion() {
  --busyConversions;
}

int BusyConversions() {
  return busyConversions.load();
}

TLxLaneLimit::TLxLaneLimit(int lanes) : previous_(laneLimit.exchange(std::max(0, lanes))) {}

TLxLaneLimit::~TLxLaneLimit() {
  laneLimit = previous_;
}

int SpareLanes() {
  const int limit = laneLimit.load();
  const int lanes = limit > 0 ? std::min(limit, CoreCount()) : CoreCount();
  return std::max(1, lanes - std::max(1, BusyConversions()) + 1);
}

}  // namespace lumenax
