#include "bitmap/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace lumenax {
namespace {

// A piece that records when it ran; the first one it is told to hold keeps its worker busy
// until released.
class Piece : public TLxClaimedJob {
 public:
  Piece(int index, std::atomic<bool>* hold, std::atomic<int>* running)
      : index_(index), hold_(hold), running_(running) {}
  void Run() noexcept {
    ++*running_;
    while (hold_ && hold_->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    thread_ = std::this_thread::get_id();
    if (releases_) *releases_ = false;
    ran_ = true;
    --*running_;
    Done();
  }
  int index() const { return index_; }
  bool ran() const { return ran_; }
  std::thread::id thread() const { return thread_; }
  // Clears this flag when it runs.
  void Releases(std::atomic<bool>* flag) { releases_ = flag; }

 private:
  int index_;
  std::atomic<bool>* hold_;
  std::atomic<int>* running_;
  std::atomic<bool> ran_{false};
  std::thread::id thread_;
  std::atomic<bool>* releases_ = nullptr;
};

TEST(OrderedJobs, PiecesComeBackInOrderOnAnyNumberOfLanes) {
  std::atomic<int> running{0};
  for (int lanes : {1, 2, 7}) {
    std::vector<int> order;
    TLxOrderedJobs<Piece> jobs(lanes);
    auto take = [&order](const Piece& p) {
      EXPECT_TRUE(p.ran());
      order.push_back(p.index());
      return true;
    };
    for (int i = 0; i < 40; ++i)
      ASSERT_TRUE(jobs.Add(std::make_shared<Piece>(i, nullptr, &running), take));
    ASSERT_TRUE(jobs.Drain(take));
    ASSERT_EQ(order.size(), 40u);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(order[size_t(i)], i) << lanes << " lanes";
  }
}

TEST(OrderedJobs, StoppingWaitsForThePiecesWorkersAreDoing) {
  // The encode stops (take answers false) while a worker holds a piece: leaving must wait for
  // it, since it may read what the caller frees next.
  // Static: a piece left running by a broken destructor must still find them.
  static std::atomic<bool> hold{true};
  static std::atomic<int> running{0};
  std::thread release;
  {
    TLxOrderedJobs<Piece> jobs(2);
    auto keep = [](const Piece&) { return true; };
    ASSERT_TRUE(jobs.Add(std::make_shared<Piece>(0, nullptr, &running), keep));
    ASSERT_TRUE(jobs.Add(std::make_shared<Piece>(1, &hold, &running), keep));
    while (running.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    release = std::thread([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      hold = false;
    });
    EXPECT_FALSE(jobs.Add(std::make_shared<Piece>(2, nullptr, &running),
                          [](const Piece&) { return false; }));
  }
  EXPECT_EQ(running.load(), 0) << "a piece outlived the encode";
  release.join();
}

TEST(OrderedJobs, TheCallerDoesLaterPiecesWhileWorkersHoldTheFirst) {
  // Pieces 0 and 1 keep the pool's workers (one per core) busy until piece 2 has run; piece 0
  // must be taken next, so the caller does piece 2 rather than wait for it. A watchdog lets
  // them go after two seconds if it does not.
  if (CoreCount() > 2) GTEST_SKIP() << "more workers than held pieces";
  static std::atomic<bool> hold{true};
  static std::atomic<int> running{0};
  static std::atomic<bool> rescued{false};
  std::thread watchdog([] {
    for (int i = 0; i < 200 && hold; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    rescued = hold.exchange(false);
  });
  std::vector<std::thread::id> threads;
  {
    TLxOrderedJobs<Piece> jobs(2);
    auto take = [&threads](const Piece& p) {
      threads.push_back(p.thread());
      return true;
    };
    ASSERT_TRUE(jobs.Add(std::make_shared<Piece>(0, &hold, &running), take));
    ASSERT_TRUE(jobs.Add(std::make_shared<Piece>(1, &hold, &running), take));
    while (running.load() < std::min(2, CoreCount()))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto last = std::make_shared<Piece>(2, nullptr, &running);
    last->Releases(&hold);
    ASSERT_TRUE(jobs.Add(last, take));
    ASSERT_TRUE(jobs.Drain(take));
  }
  watchdog.join();
  EXPECT_FALSE(rescued);
  ASSERT_EQ(threads.size(), 3u);
  EXPECT_EQ(threads[2], std::this_thread::get_id());
}

}  // namespace
}  // namespace lumenax
