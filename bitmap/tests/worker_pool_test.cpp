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
    ran_ = true;
    --*running_;
    Done();
  }
  int index() const { return index_; }
  bool ran() const { return ran_; }

 private:
  int index_;
  std::atomic<bool>* hold_;
  std::atomic<int>* running_;
  std::atomic<bool> ran_{false};
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

}  // namespace
}  // namespace lumenax
