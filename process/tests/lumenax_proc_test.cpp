// TLumenaxProc.Resample: the size rules, the undo hook, progress and cancelling, refusals that
// leave the picture alone, and the bitmaps it works on.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

#include "io/lumenax_io.h"
#include "process/lumenax_proc.h"
#include "process/tests/resample_test_support.h"

namespace lumenax {
namespace {

std::vector<uint8_t> Bytes(TLxBitmap& b) {
  std::vector<uint8_t> out;
  for (int y = 0; y < b.Height(); ++y)
    out.insert(out.end(), b.ScanLine(y), b.ScanLine(y) + b.RowLen());
  return out;
}

void Fill(TLxBitmap& b, int w, int h, PixelFormat pf, uint32_t seed = 1) {
  ASSERT_TRUE(b.Allocate(w, h, pf));
  std::mt19937 rng(seed);
  for (int y = 0; y < h; ++y)
    for (int k = 0; k < b.RowLen(); ++k) b.ScanLine(y)[k] = uint8_t(rng());
}

TEST(LumenaxProc, SizeRules) {
  struct Case {
    int width, height, w, h;
  };
  for (Case c : {Case{-1, 50, 100, 50}, Case{-1, 0, 200, 100}, Case{50, -1, 50, 25},
                 Case{0, -1, 200, 100}, Case{-300, 0, 300, 100}, Case{0, -40, 200, 40},
                 Case{1, -1, 1, 1}, Case{0, 0, 200, 100}, Case{-1, 3, 6, 3}, Case{7, -1, 7, 3}}) {
    TLumenaxProc proc;
    Fill(*proc.Bitmap(), 200, 100, lx24RGB);
    ASSERT_TRUE(proc.Resample(c.width, c.height, rfTriangle)) << c.width << "," << c.height;
    EXPECT_EQ(proc.Bitmap()->Width(), c.w) << c.width << "," << c.height;
    EXPECT_EQ(proc.Bitmap()->Height(), c.h) << c.width << "," << c.height;
  }
  // Both negative, or nothing to resample: nothing happens.
  TLumenaxProc proc;
  Fill(*proc.Bitmap(), 20, 10, lx24RGB);
  std::vector<uint8_t> before = Bytes(*proc.Bitmap());
  EXPECT_TRUE(proc.Resample(-1, -1, rfTriangle));
  EXPECT_TRUE(proc.Resample(-5, -3, rfTriangle));
  EXPECT_EQ(Bytes(*proc.Bitmap()), before);
  TLumenaxProc empty;
  EXPECT_TRUE(empty.Resample(10, 10, rfTriangle));
  EXPECT_TRUE(empty.Bitmap()->IsEmpty());
}

TEST(LumenaxProc, SizesBeyondABitmapAreRefused) {
  TLumenaxProc proc;
  Fill(*proc.Bitmap(), 200, 100, lx24RGB);
  std::vector<uint8_t> before = Bytes(*proc.Bitmap());
  constexpr int kMax = std::numeric_limits<int32_t>::max();
  // -1 with a tall height: the width is computed in 64 bits and is beyond 32.
  for (auto [w, h] : {std::pair{kMax, kMax}, std::pair{-1, kMax}, std::pair{1000000000, 1},
                      std::pair{kMax, -1}}) {
    EXPECT_FALSE(proc.Resample(w, h, rfNone)) << w << "," << h;
    EXPECT_TRUE(proc.Aborting);
    EXPECT_EQ(proc.FailureReason.Code, TLxFailure::TooLarge) << w << "," << h;
    EXPECT_EQ(proc.Bitmap()->Width(), 200);
    EXPECT_EQ(Bytes(*proc.Bitmap()), before);
  }
}

TEST(LumenaxProc, UnservedFilterLeavesThePicture) {
  TLumenaxProc proc;
  Fill(*proc.Bitmap(), 30, 20, lx8p);
  for (int i = 0; i < 256; ++i) proc.Bitmap()->SetPaletteEntry(i, CreateRGB(uint8_t(i), 1, 2));
  std::vector<uint8_t> before = Bytes(*proc.Bitmap());
  int undo = 0;
  proc.AutoUndo = true;
  proc.OnSaveUndo = [&](TLumenaxProc&, const std::string&) { ++undo; };
  EXPECT_FALSE(proc.Resample(10, 10, rfLanczos3));
  EXPECT_EQ(proc.FailureReason.Code, TLxFailure::Unsupported);
  EXPECT_EQ(proc.FailureReason.Text(), "unsupported");
  EXPECT_EQ(proc.Bitmap()->PixelFormat(), lx8p);
  EXPECT_EQ(Bytes(*proc.Bitmap()), before);
  EXPECT_EQ(undo, 0);
  // The nearest-neighbour copy serves every layout and keeps the palette.
  EXPECT_TRUE(proc.Resample(10, 10, rfNone));
  EXPECT_FALSE(proc.Aborting);
  EXPECT_EQ(proc.Bitmap()->PixelFormat(), lx8p);
  EXPECT_EQ(proc.Bitmap()->GetPaletteEntry(77), CreateRGB(77, 1, 2));
  EXPECT_EQ(undo, 1);
}

TEST(LumenaxProc, UndoHookGetsTheCaptionBeforeTheChange) {
  TLumenaxProc proc;
  Fill(*proc.Bitmap(), 200, 100, lx24RGB);
  std::vector<std::string> captions;
  int widthSeen = 0;
  proc.OnSaveUndo = [&](TLumenaxProc& sender, const std::string& caption) {
    captions.push_back(caption);
    widthSeen = sender.Bitmap()->Width();
  };
  ASSERT_TRUE(proc.Resample(-1, 50, rfLanczos3));
  EXPECT_TRUE(captions.empty()) << "AutoUndo is off";
  proc.AutoUndo = true;
  ASSERT_TRUE(proc.Resample(-1, 30, rfBicubic));
  EXPECT_EQ(captions, (std::vector<std::string>{"Resample -1,30"}));
  EXPECT_EQ(widthSeen, 100);  // the picture to go back to
  EXPECT_EQ(proc.Bitmap()->Width(), 60);
}

TEST(LumenaxProc, ProgressAndCancel) {
  TLumenaxProc proc;
  Fill(*proc.Bitmap(), 300, 200, lx24RGB);
  std::vector<int> seen;
  proc.OnProgress = [&](TLumenaxProc&, int p) { seen.push_back(p); };
  ASSERT_TRUE(proc.Resample(100, 400, rfMitchell));
  ASSERT_GT(seen.size(), 50u);
  for (size_t k = 1; k < seen.size(); ++k) ASSERT_LT(seen[k - 1], seen[k]);
  // A handler that sets Aborting stops the work and the picture stays.
  std::vector<uint8_t> before = Bytes(*proc.Bitmap());
  proc.OnProgress = [](TLumenaxProc& sender, int) { sender.Aborting = true; };
  EXPECT_FALSE(proc.Resample(50, 50, rfLanczos3));
  EXPECT_EQ(proc.FailureReason.Code, TLxFailure::Cancelled);
  EXPECT_EQ(proc.Bitmap()->Width(), 100);
  EXPECT_EQ(Bytes(*proc.Bitmap()), before);
  // The next command starts afresh.
  proc.OnProgress = nullptr;
  EXPECT_TRUE(proc.Resample(50, 50, rfLanczos3));
  EXPECT_FALSE(proc.Aborting);
  EXPECT_FALSE(proc.FailureReason);
}

TEST(LumenaxProc, WorksOnAnIOComponentsBitmapAndOnPagedBitmaps) {
  TLumenaxIO io;
  Fill(*io.Bitmap(), 40, 30, lx24RGB);
  io.Bitmap()->AlphaChannel()->Fill(255);
  io.Bitmap()->SetAlphaValue(3, 3, 0);
  io.Bitmap()->AlphaChannel()->AllOpaque = false;
  TLumenaxProc proc(*io.Bitmap());
  ASSERT_TRUE(proc.Resample(20, 15, rfHermite));
  EXPECT_EQ(io.Bitmap()->Width(), 20);
  ASSERT_TRUE(io.Bitmap()->HasAlphaChannel());
  EXPECT_EQ(io.Bitmap()->AlphaChannel()->Width(), 20);
  EXPECT_FALSE(io.Bitmap()->AlphaChannel()->AllOpaque);
  proc.AttachBitmap(nullptr);
  EXPECT_NE(proc.Bitmap(), io.Bitmap());

  // Rows in the paging file: the same pixels as in memory, and the result pages too.
  for (TResampleFilter f : {rfNone, rfLanczos3, rfFastLinear, rfBicubic, rfProjectWB}) {
    TLxBitmap memory, paged;
    Fill(memory, 70, 45, lx24RGB, 5);
    paged.FileThreshold = 0;
    paged.Assign(memory);
    ASSERT_EQ(paged.Location(), lxTempFile);
    TLumenaxProc a(memory), b(paged);
    ASSERT_TRUE(a.Resample(33, 61, f));
    ASSERT_TRUE(b.Resample(33, 61, f));
    EXPECT_EQ(paged.Location(), lxTempFile);
    EXPECT_EQ(Bytes(paged), Bytes(memory)) << ResampleFilterName(f);
  }
}

}  // namespace
}  // namespace lumenax
