#include "app/batch.h"

#include <sys/resource.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <queue>
#include <thread>
#include <unordered_map>

#include "bitmap/worker_pool.h"
#include "io/replace_file.h"

namespace veltrano {

namespace fs = std::filesystem;

std::vector<uint32_t> SerialPredecessors(const std::vector<std::string>& files) {
  // Two files touch the same names exactly when their names without the extension are the
  // same: a source is its own stem plus an extension, and so are both of its targets. The
  // stems are compared by a 64-bit hash, which keeps a million-file list small; two stems
  // that collide only make two files wait for each other.
  std::unordered_map<std::string, std::string> folders;  // as written to resolved
  std::unordered_map<uint64_t, uint32_t> last;           // stem hash to latest position
  std::vector<uint32_t> prev(files.size(), kNoPredecessor);
  std::hash<std::string> hash;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string& name = files[i];
    size_t slash = name.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : name.substr(0, slash + 1);
    auto [it, fresh] = folders.try_emplace(folder);
    if (fresh) {
      std::error_code ec;
      fs::path resolved = fs::weakly_canonical(folder, ec);
      it->second = ec ? folder : resolved.string();
      if (it->second.empty() || it->second.back() != '/') it->second += '/';
    }
    std::string stem = ChangeFileExt(name.substr(slash == std::string::npos ? 0 : slash + 1), "");
    auto [at, first] = last.try_emplace(hash(it->second + stem), uint32_t(i));
    if (!first) {
      prev[i] = at->second;
      at->second = uint32_t(i);
    }
  }
  return prev;
}

namespace {

enum State : uint8_t { kNotSeen, kWaiting, kRunning, kDone };

class Engine {
 public:
  Engine(const std::vector<std::string>& files, const BatchOptions& options,
         const std::function<FileResult(size_t)>& convert)
      : n_(files.size()),
        options_(options),
        convert_(convert),
        prev_(SerialPredecessors(files)),
        next_(n_, kNoPredecessor),
        state_(n_, kNotSeen) {
    for (size_t i = 0; i < n_; ++i)
      if (prev_[i] != kNoPredecessor) next_[prev_[i]] = uint32_t(i);
    lookAhead_ = std::max<size_t>(options.lookAhead, 1);
  }

  // Takes the next result in list order into r; false when the file will never run.
  bool Take(size_t k, BatchResult& r) {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
      if (state_[k] == kDone) {
        auto it = results_.find(k);
        r = std::move(it->second);
        results_.erase(it);
        break;
      }
      if ((stopped_ && state_[k] != kRunning) || k > errorAt_) {
        r = {};
        Advance(k);
        return false;
      }
      if (doneCv_.wait_for(lock, std::chrono::milliseconds(100)) == std::cv_status::timeout &&
          options_.idle) {
        lock.unlock();
        bool goOn = options_.idle();
        lock.lock();
        if (!goOn) StopLocked();
      }
    }
    Advance(k);
    return k <= errorAt_;
  }

  void Stop() {
    std::lock_guard<std::mutex> lock(m_);
    StopLocked();
  }

  void Work() {
    lumenax::TLxCommitGroup group;
    std::optional<lumenax::TLxCommitGroup::Scope> scope;
    if (options_.groupCommits) scope.emplace(group);
    struct Pending {
      size_t index;
      BatchResult result;
      size_t firstCommit, endCommit;
    };
    std::vector<Pending> pending;
    std::chrono::steady_clock::time_point oldest;

    auto flush = [&] {
      if (pending.empty()) return;
      std::vector<std::exception_ptr> errors = group.Flush();
      std::lock_guard<std::mutex> lock(m_);
      for (Pending& p : pending) {
        for (size_t c = p.firstCommit; c < p.endCommit && c < errors.size(); ++c)
          if (errors[c] && !p.result.error) p.result.error = errors[c];
        FinishLocked(p.index, std::move(p.result));
      }
      pending.clear();
    };

    for (;;) {
      size_t i = 0;
      {
        std::unique_lock<std::mutex> lock(m_);
        bool got = false;
        while (!(got = PickLocked(i))) {
          if (stopped_ || (cursor_ == n_ && ready_.empty() && waiting_ == 0)) break;
          if (!pending.empty()) {
            lock.unlock();
            flush();
            lock.lock();
            continue;
          }
          workCv_.wait(lock);
        }
        if (!got) break;
        state_[i] = kRunning;
      }
      BatchResult r;
      const size_t before = group.Pending();
      const auto start = std::chrono::steady_clock::now();
      try {
        r.file = convert_(i);
      } catch (...) {
        r.error = std::current_exception();
      }
      const auto end = std::chrono::steady_clock::now();
      r.elapsed = end - start;
      if (r.error && options_.stopOnError) {
        std::lock_guard<std::mutex> lock(m_);
        errorAt_ = std::min(errorAt_, i);
        StopLocked();
      }
      if (group.Pending() > before) {
        if (pending.empty()) oldest = end;
        pending.push_back({i, std::move(r), before, group.Pending()});
        if (pending.size() >= options_.groupSize || end - oldest > std::chrono::seconds(1)) flush();
      } else {
        // Nothing written: no later file waits for a name of this one.
        std::lock_guard<std::mutex> lock(m_);
        FinishLocked(i, std::move(r));
      }
    }
    flush();
  }

 private:
  bool PickLocked(size_t& i) {
    if (stopped_) return false;
    const size_t limit = reported_ + lookAhead_;
    if (!ready_.empty() && ready_.top() < limit) {
      i = ready_.top();
      ready_.pop();
      --waiting_;
      return true;
    }
    while (cursor_ < n_ && cursor_ < limit) {
      size_t j = cursor_++;
      if (prev_[j] == kNoPredecessor || state_[prev_[j]] == kDone) {
        i = j;
        return true;
      }
      state_[j] = kWaiting;
      ++waiting_;
    }
    return false;
  }

  void FinishLocked(size_t i, BatchResult&& r) {
    state_[i] = kDone;
    results_.emplace(i, std::move(r));
    uint32_t after = next_[i];
    if (after != kNoPredecessor && state_[after] == kWaiting) ready_.push(after);
    workCv_.notify_all();
    doneCv_.notify_one();
  }

  void StopLocked() {
    stopped_ = true;
    workCv_.notify_all();
  }

  void Advance(size_t k) {
    reported_ = k + 1;
    // Wake the workers that reached the look-ahead limit.
    if ((cursor_ < n_ && cursor_ + 1 >= reported_ + lookAhead_) || !ready_.empty())
      workCv_.notify_all();
  }

  const size_t n_;
  const BatchOptions& options_;
  const std::function<FileResult(size_t)>& convert_;
  std::vector<uint32_t> prev_, next_;
  std::vector<uint8_t> state_;
  size_t lookAhead_ = 1;

  std::mutex m_;
  std::condition_variable workCv_, doneCv_;
  std::unordered_map<size_t, BatchResult> results_;
  std::priority_queue<size_t, std::vector<size_t>, std::greater<size_t>> ready_;
  size_t cursor_ = 0, reported_ = 0, waiting_ = 0;
  size_t errorAt_ = SIZE_MAX;
  bool stopped_ = false;
};

}  // namespace

size_t RunBatch(const std::vector<std::string>& files, const BatchOptions& options,
                const std::function<FileResult(size_t)>& convert,
                const std::function<bool(size_t, BatchResult&)>& report) {
  if (files.empty()) return 0;
  int workers = options.workers > 0 ? options.workers
                                    : int(std::max(1u, std::thread::hardware_concurrency()));
  // N workers use N cores: when fewer files than workers are left, an image may spread over
  // the lanes of the idle ones, never over more.
  lumenax::TLxLaneLimit lanes(workers);
  workers = int(std::min<size_t>(size_t(workers), files.size()));
  BatchOptions bounded = options;
  if (options.groupCommits) {
    // Every file waiting in a group holds a descriptor: keep half of the process's allowance
    // for everything else.
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
      size_t share = size_t(limit.rlim_cur) / 2 / size_t(workers);
      bounded.groupSize = std::max<size_t>(1, std::min(options.groupSize, share));
    }
  }
  Engine engine(files, bounded, convert);

  // Each worker is a conversion in flight: encoders that spread one image over threads leave
  // the cores to the files.
  std::vector<lumenax::TLxBusyConversion> busy(static_cast<size_t>(workers));
  std::vector<std::thread> threads;
  // However this ends, no worker outlives the batch.
  struct Joiner {
    Engine& engine;
    std::vector<std::thread>& threads;
    ~Joiner() {
      engine.Stop();
      for (auto& t : threads)
        if (t.joinable()) t.join();
    }
  } joiner{engine, threads};
  for (int w = 0; w < workers; ++w) threads.emplace_back([&engine] { engine.Work(); });

  size_t reported = 0;
  for (size_t k = 0; k < files.size(); ++k) {
    BatchResult r;
    if (!engine.Take(k, r)) continue;
    ++reported;
    if (!report(k, r)) engine.Stop();
  }
  return reported;
}

}  // namespace veltrano
