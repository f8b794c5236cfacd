// The batch engine on its own: order of results, files that share a name, the look-ahead,
// stopping; and the pieces of veltrano-cli's lists and report.
#include "app/batch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>
#include <thread>

#include "app/cli.h"
#include "bitmap/worker_pool.h"
#include "tests/support/test_support.h"

namespace veltrano {
namespace {

TEST(BatchOrder, FilesSharingAStemFollowTheirPredecessor) {
  auto prev = SerialPredecessors({"/d/a.bmp", "/d/b.png", "/d/a.png", "/d/c.bmp", "/d/b.png",
                                  "/d/./c", "/e/a.bmp", "a.x.png"});
  const uint32_t no = kNoPredecessor;
  EXPECT_EQ(prev, (std::vector<uint32_t>{no, no, 0, no, 1, 3, no, no}));
  // A folder named differently but the same after resolving it.
  lumenax::test::TempDir dir;
  std::filesystem::create_directories(dir / "x");
  std::string d = dir.path().string();
  auto rel = SerialPredecessors({d + "/x/../y.bmp", d + "/y.png", d + "/./y.bmp"});
  EXPECT_EQ(rel, (std::vector<uint32_t>{no, 0, 1}));
}

// A fake conversion that records when each file runs.
struct Recorder {
  std::mutex m;
  std::vector<std::pair<size_t, bool>> events;  // (file, started) in time order
  std::atomic<int> running{0}, peak{0};
  void Mark(size_t i, bool start) {
    std::lock_guard<std::mutex> lock(m);
    events.push_back({i, start});
  }
};

TEST(BatchOrder, ResultsInListOrderAndSharedNamesNeverOverlap) {
  // 300 files in 40 stems, so that most files wait for an earlier one of their stem.
  std::vector<std::string> files;
  std::mt19937 random(7);
  for (int i = 0; i < 300; ++i)
    files.push_back("/nowhere/f" + std::to_string(random() % 40) + (i % 2 ? ".png" : ".bmp"));
  Recorder rec;
  BatchOptions options;
  options.workers = 4;
  options.lookAhead = 16;
  size_t maxSeenAhead = 0;
  size_t nextReport = 0;
  std::atomic<size_t> reportedSoFar{0};
  size_t reported = RunBatch(
      files, options,
      [&](size_t i) {
        // Workers never run further ahead than the look-ahead of the results handed back.
        size_t ahead = i - std::min(i, reportedSoFar.load());
        {
          std::lock_guard<std::mutex> lock(rec.m);
          maxSeenAhead = std::max(maxSeenAhead, ahead);
        }
        rec.Mark(i, true);
        int now = ++rec.running;
        int peak = rec.peak;
        while (now > peak && !rec.peak.compare_exchange_weak(peak, now)) {
        }
        EXPECT_EQ(lumenax::BusyConversions(), 4);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
        --rec.running;
        rec.Mark(i, false);
        FileResult r;
        r.outcome = FileOutcome::Converted;
        r.target = files[i];
        return r;
      },
      [&](size_t i, BatchResult& r) {
        EXPECT_EQ(i, nextReport++);
        EXPECT_EQ(r.file.target, files[i]);
        reportedSoFar = i + 1;
        return true;
      });
  EXPECT_EQ(reported, files.size());
  EXPECT_EQ(lumenax::BusyConversions(), 0) << "released after the batch";
  EXPECT_GT(rec.peak.load(), 1) << "files ran side by side";
  EXPECT_LE(maxSeenAhead, 16u);
  // A file starts only after the previous file of its stem ended.
  auto prev = SerialPredecessors(files);
  std::vector<int> endedAt(files.size(), -1), startedAt(files.size(), -1);
  for (size_t e = 0; e < rec.events.size(); ++e)
    (rec.events[e].second ? startedAt : endedAt)[rec.events[e].first] = int(e);
  for (size_t i = 0; i < files.size(); ++i) {
    if (prev[i] != kNoPredecessor) {
      EXPECT_GT(startedAt[i], endedAt[prev[i]]) << i;
    }
  }
}

TEST(BatchOrder, AnErrorStopsStartsAndEndsTheResultsAtIt) {
  std::vector<std::string> files;
  for (int i = 0; i < 200; ++i) files.push_back("/nowhere/g" + std::to_string(i) + ".bmp");
  std::atomic<bool> raised{false};
  std::atomic<int> startedAfter{0};
  BatchOptions options;
  options.workers = 3;
  options.stopOnError = true;
  std::vector<size_t> got;
  RunBatch(
      files, options,
      [&](size_t i) -> FileResult {
        // A file started after the flag is slow, so that its worker cannot start another
        // before the engine has the exception, however slowly it unwinds on a busy machine.
        const bool after = raised;
        if (after) ++startedAfter;
        std::this_thread::sleep_for(after ? std::chrono::microseconds(20000)
                                          : std::chrono::microseconds(200));
        if (i == 50) {
          raised = true;
          throw std::runtime_error("cannot create");
        }
        return {FileOutcome::Converted};
      },
      [&](size_t i, BatchResult& r) {
        got.push_back(i);
        EXPECT_EQ(r.error != nullptr, i == 50);
        return true;
      });
  // The flag is set just before the throw: while the exception unwinds to the engine, each
  // other worker may still claim one file. Once the engine has it, no file starts.
  EXPECT_LE(startedAfter.load(), options.workers - 1) << "no file starts after the exception";
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), 50u) << "nothing after the failed file is handed back";
  for (size_t k = 1; k < got.size(); ++k) EXPECT_LT(got[k - 1], got[k]);
}

TEST(BatchOrder, AFalseAnswerStopsAfterTheFilesInFlight) {
  std::vector<std::string> files(100);
  for (int i = 0; i < 100; ++i) files[i] = "/nowhere/h" + std::to_string(i) + ".png";
  std::atomic<int> converted{0};
  BatchOptions options;
  options.workers = 2;
  size_t reported = RunBatch(
      files, options,
      [&](size_t) {
        ++converted;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        return FileResult{FileOutcome::Converted};
      },
      [&](size_t i, BatchResult&) { return i < 9; });
  EXPECT_GE(reported, 10u);
  EXPECT_EQ(size_t(converted.load()), reported) << "every file converted is reported";
  EXPECT_LT(converted.load(), 40);
}

// N workers use N cores: one worker leaves an encode no other thread, even on a lone file,
// and the limit ends with the batch.
TEST(BatchLanes, WorkersCapTheThreadsOfAnEncode) {
  const int cores = lumenax::CoreCount();
  for (int workers : {1, 2, 64}) {
    std::vector<std::string> files{"/nowhere/a.png"};
    BatchOptions options;
    options.workers = workers;
    int lanes = 0;
    RunBatch(
        files, options,
        [&](size_t) {
          lanes = lumenax::SpareLanes();
          return FileResult{FileOutcome::Converted};
        },
        [](size_t, BatchResult&) { return true; });
    EXPECT_EQ(lanes, std::min(workers, cores)) << workers << " workers";
  }
  EXPECT_EQ(lumenax::SpareLanes(), cores);
  {
    lumenax::TLxLaneLimit outer(1);
    {
      lumenax::TLxLaneLimit inner(0);
      EXPECT_EQ(lumenax::SpareLanes(), cores);
    }
    EXPECT_EQ(lumenax::SpareLanes(), 1);
  }
  EXPECT_EQ(lumenax::SpareLanes(), cores);
}

TEST(CliLists, NulAndLineSeparatedNames) {
  std::string nul("a b.bmp\0line\nbreak.png\0\0last.bmp", 32);
  EXPECT_EQ(SplitNameList(nul, true),
            (std::vector<std::string>{"a b.bmp", "line\nbreak.png", "last.bmp"}));
  EXPECT_EQ(SplitNameList("x.bmp\n\n y.png \nz\xff.bmp", false),
            (std::vector<std::string>{"x.bmp", " y.png ", "z\xff.bmp"}));
  EXPECT_TRUE(SplitNameList("", false).empty());
}

TEST(CliReport, NamesThatAreNotUtf8AreKeptExactly) {
  FileResult r;
  r.outcome = FileOutcome::FailedToLoad;
  r.reason = "truncated pixel data at byte 12";
  r.fileType = 5;
  r.sourceBytes = 70;
  std::string source = "/d/caf\xe9 \"x\"\n.bmp";
  auto j = nlohmann::json::parse(ReportLine(source, r, false, "Failed to load file.", 1.5, -1));
  EXPECT_EQ(j["outcome"], "refused");
  EXPECT_EQ(j["message"], "Failed to load file.");
  EXPECT_EQ(j["reason"], "truncated pixel data at byte 12");
  EXPECT_EQ(j["format"], "bmp");
  EXPECT_EQ(j["bytes_read"], 70);
  EXPECT_TRUE(j["bytes_written"].is_null());
  EXPECT_EQ(j["source"], "/d/caf\xef\xbf\xbd \"x\"\n.bmp");  // the bad byte as U+FFFD
  // Base64 of the exact bytes.
  ASSERT_TRUE(j.contains("source_base64"));
  EXPECT_EQ(j["source_base64"], "L2QvY2Fm6SAieCIKLmJtcA==");
  r.outcome = FileOutcome::Converted;
  r.target = "/d/ok.png";
  auto ok = nlohmann::json::parse(ReportLine("/d/ok.bmp", r, false, "", 0, 99));
  EXPECT_FALSE(ok.contains("source_base64"));
  EXPECT_FALSE(ok.contains("message"));
  EXPECT_EQ(ok["outcome"], "converted");
  EXPECT_EQ(ok["bytes_written"], 99);
  EXPECT_EQ(
      nlohmann::json::parse(ReportLine("/d/x.png", r, true, "Cannot create", 0, -1))["outcome"],
      "failed");
}

}  // namespace
}  // namespace veltrano
