#include "bitmap/bitmap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "bitmap/settings.h"
#include "bitmap/tests/paged_bitmap.h"

namespace lumenax {
namespace {

// Writes a distinct byte pattern into every row.
void Stamp(TLxBitmap& b) {
  for (int y = 0; y < b.Height(); ++y) {
    uint8_t* row = b.ScanLine(y);
    for (int i = 0; i < b.RowLen(); ++i) row[i] = uint8_t(y * 31 + i);
  }
}

void ExpectStamp(TLxBitmap& b, int bytes) {
  for (int y = 0; y < b.Height(); ++y) {
    uint8_t* row = b.ScanLine(y);
    for (int i = 0; i < bytes; ++i)
      ASSERT_EQ(row[i], uint8_t(y * 31 + i)) << "row " << y << " byte " << i;
  }
}

TEST(BitmapRowLayout, RowLengthsFollowTheAlignment) {
  TLxBitmap a(1, 1, lx24RGB);
  EXPECT_EQ(a.RowLen(), 4);
  TLxBitmap b(3, 1, lx1g);
  EXPECT_EQ(b.RowLen(), 4);
  TLxBitmap c(33, 1, lx1g);
  EXPECT_EQ(c.RowLen(), 8);
  TLxBitmap d(5, 2, lxRGB48);
  EXPECT_EQ(d.RowLen(), 32);
  EXPECT_EQ(d.BitCount(), 48);
  EXPECT_EQ(d.ChannelCount(), 3);

  TLxBitmap e;
  e.SetRowAlignment(8);
  ASSERT_TRUE(e.Allocate(5, 3, lx24RGB));
  EXPECT_EQ(e.RowLen(), 16) << "alignment changes only apply in memory";
  e.SetRowAlignment(8);
  EXPECT_EQ(e.RowLen(), 15);
  e.SetRowAlignment(32);
  e.SetRowAlignment(16);
  EXPECT_EQ(e.RowLen(), 16);
}

TEST(BitmapStorage, SizeRuleAtTheThreshold) {
  // 10 x 10 lx8g with 32-bit rows: 12 x 10 = 120 bytes.
  TLxBitmap below;
  below.FileThreshold = 121;
  ASSERT_TRUE(below.Allocate(10, 10, lx8g));
  EXPECT_EQ(below.Location(), lxInMemory) << "default lxTempFile below the threshold";

  TLxBitmap at;
  at.FileThreshold = 120;
  ASSERT_TRUE(at.Allocate(10, 10, lx8g));
  EXPECT_EQ(at.Location(), lxTempFile) << "exactly at the threshold the choice stays";

  TLxBitmap above;
  above.FileThreshold = 119;
  above.SetLocation(lxInMemory);
  ASSERT_TRUE(above.Allocate(10, 10, lx8g));
  EXPECT_EQ(above.Location(), lxTempFile) << "above the threshold even when memory was asked";

  TLxBitmap atMem;
  atMem.FileThreshold = 120;
  atMem.SetLocation(lxInMemory);
  ASSERT_TRUE(atMem.Allocate(10, 10, lx8g));
  EXPECT_EQ(atMem.Location(), lxInMemory);
}

TEST(BitmapStorage, InitialThresholdComesFromTheProcessSetting) {
  int64_t saved = DefaultFileThreshold;
  DefaultFileThreshold = 4242;
  TLxBitmap b;
  EXPECT_EQ(b.FileThreshold, 4242);
  DefaultFileThreshold = -1;
  TLxBitmap c;
  EXPECT_GT(c.FileThreshold, 0);
  EXPECT_EQ(c.FileThreshold, int64_t(double(TotalPhysicalMemory()) / 1.3));
  DefaultFileThreshold = saved;
}

TEST(BitmapStorage, RowOrderInMemoryIsBottomUp) {
  TLxBitmap b(4, 3, lx8g);
  ASSERT_EQ(b.Location(), lxInMemory);
  EXPECT_EQ(b.ScanLine(0), b.PixelsAddress() + 2 * b.RowLen());
  EXPECT_EQ(b.ScanLine(2), b.PixelsAddress());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b.PixelsAddress()) % 32, 0u);
}

TEST(BitmapStorage, PagingFileIsTopDownAndRowsAreWrittenBack) {
  auto b = PagedBitmap(10, 8, lx24RGB);
  uint8_t* r5 = b->ScanLine(5);
  std::memset(r5, 0xAB, size_t(b->RowLen()));
  uint8_t* r6 = b->ScanLine(6);
  std::memset(r6, 0xCD, size_t(b->RowLen()));
  b->ScanLine(0);  // releases row 6
  // Row 5 sits at file offset 5 * RowLen.
  TLxBitmap copy;
  copy.SetLocation(lxInMemory);
  copy.Assign(*b);
  EXPECT_EQ(copy.ScanLine(5)[0], 0xAB);
  EXPECT_EQ(copy.ScanLine(6)[b->RowLen() - 1], 0xCD);
  EXPECT_EQ(copy.ScanLine(4)[0], 0) << "rows never written are zero";
}

TEST(BitmapStorage, PagingFileAddressIsValidUntilTheNextScanLine) {
  auto b = PagedBitmap(16, 16, lx8g);
  Stamp(*b);
  uint8_t* r5 = b->ScanLine(5);
  EXPECT_EQ(r5[0], uint8_t(5 * 31));
  uint8_t* r6 = b->ScanLine(6);
  EXPECT_EQ(r6[0], uint8_t(6 * 31));
  EXPECT_EQ(b->FileBuffer().MappedCount(), 1u) << "only the current row is in memory";
  ExpectStamp(*b, b->RowLen());
}

TEST(BitmapStorage, LockedRowsStayValidAlongsideScanLine) {
  auto b = PagedBitmap(8, 10, lx8g);
  Stamp(*b);
  uint8_t* r2 = b->LockRow(2);
  uint8_t* r7 = b->LockRow(7);
  for (int y = 0; y < 10; ++y) b->ScanLine(y);
  EXPECT_EQ(r2[0], uint8_t(2 * 31));
  EXPECT_EQ(r7[1], uint8_t(7 * 31 + 1));
  r2[0] = 0x11;
  b->UnlockRow(2);
  b->UnlockRow(99);  // unknown rows are ignored
  EXPECT_EQ(b->ScanLine(2)[0], 0x11);
  b->UnlockRow(7);
  EXPECT_EQ(b->FileBuffer().MappedCount(), 1u);

  TLxBitmap m(4, 4, lx8g);
  EXPECT_EQ(m.LockRow(1), m.ScanLine(1));
}

TEST(BitmapStorage, PagingFileIsInTheTempFolderAndGoneAfterFree) {
  {
    auto saved = DefaultTempDirectory;
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "lxpaging-test";
    std::filesystem::create_directories(dir);
    DefaultTempDirectory = dir.string() + "/";
    {
      auto b = PagedBitmap(4, 4, lx8g);
      std::string name = b->FileBuffer().FileName().filename().string();
      EXPECT_EQ(name.rfind("IMG-", 0), 0u) << name;
      EXPECT_EQ(name.size(), 4 + 8 + 4u) << name;
      EXPECT_EQ(name.substr(name.size() - 4), ".tmp");
      EXPECT_EQ(b->FileBuffer().FileName().parent_path(), dir);
      // The file is unlinked as soon as it is open: nothing is left behind even after a crash.
      EXPECT_TRUE(std::filesystem::is_empty(dir));
      b->FreeImage(true);
      EXPECT_FALSE(b->FileBuffer().IsOpen());
    }
    DefaultTempDirectory = saved;
    std::filesystem::remove_all(dir);
  }
}

TEST(BitmapStorage, UnusablePagingFolderFallsBackToMemory) {
  auto saved = DefaultTempDirectory;
  DefaultTempDirectory = "/nonexistent-folder-for-lx/";
  TLxBitmap b;
  b.FileThreshold = 0;
  ASSERT_TRUE(b.Allocate(5, 5, lx8g));
  EXPECT_EQ(b.Location(), lxInMemory);
  DefaultTempDirectory = saved;
}

TEST(BitmapAllocate, SameArgumentsKeepPixelsUntilAReallocIsPending) {
  TLxBitmap b;
  ASSERT_TRUE(b.Allocate(6, 6, lx8g));
  b.ScanLine(3)[2] = 77;
  ASSERT_TRUE(b.Allocate(6, 6, lx8g));
  EXPECT_EQ(b.ScanLine(3)[2], 77);
  TLxBitmap other(6, 6, lx8g);
  b.Assign(other);
  EXPECT_TRUE(b.ReallocPending);
  b.ScanLine(3)[2] = 77;
  ASSERT_TRUE(b.Allocate(6, 6, lx8g));
  EXPECT_EQ(b.ScanLine(3)[2], 0) << "after Assign the next Allocate reallocates (zeroed)";
}

TEST(BitmapAllocate, FailuresLeaveAnEmptyBitmap) {
  TLxBitmap b;
  EXPECT_FALSE(b.Allocate(0, 5, lx8g));
  EXPECT_FALSE(b.Allocate(5, -1, lx8g));
  EXPECT_FALSE(b.Allocate(5, 5, lxNone));
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(b.Width(), 0);
  // A row length that does not fit 31 bits is refused instead of wrapping.
  EXPECT_FALSE(b.Allocate(std::numeric_limits<int32_t>::max(), 1, lxRGB48));
  EXPECT_EQ(b.Width(), 0);
  EXPECT_EQ(b.Height(), 0);
}

TEST(BitmapAllocate, NewPixelsAndPaletteAreZero) {
  for (PixelFormat pf : {lx1g, lx8p, lx24RGB, lxRGB48}) {
    TLxBitmap b(37, 9, pf);
    EXPECT_TRUE(b.IsAllZero()) << PixelFormatName(pf);
  }
  TLxBitmap p(4, 4, lx8p);
  EXPECT_EQ(p.PaletteCount(), 256);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(p.GetPaletteEntry(i), TRGB{});
  auto f = PagedBitmap(9, 9, lx24RGB);
  EXPECT_TRUE(f->IsAllZero());
}

TEST(BitmapGeometry, SetWidthAndHeightKeepTopLeftAndZeroNewArea) {
  TLxBitmap b(4, 3, lx8p);
  b.SetPaletteEntry(5, CreateRGB(1, 2, 3));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) b.ScanLine(y)[x] = uint8_t(10 * y + x + 1);
  b.AlphaChannel()->ScanLine(2)[3] = 9;
  b.SetWidth(6);
  b.SetHeight(5);
  EXPECT_EQ(b.Width(), 6);
  EXPECT_EQ(b.Height(), 5);
  EXPECT_EQ(b.ScanLine(2)[3], 24);
  EXPECT_EQ(b.ScanLine(0)[0], 1);
  EXPECT_EQ(b.ScanLine(0)[5], 0);
  EXPECT_EQ(b.ScanLine(4)[0], 0);
  EXPECT_EQ(b.GetPaletteEntry(5), CreateRGB(1, 2, 3)) << "the palette survives a size change";
  ASSERT_TRUE(b.HasAlphaChannel());
  EXPECT_EQ(b.AlphaChannel()->Width(), 6);
  EXPECT_EQ(b.AlphaChannel()->Height(), 5);
  EXPECT_EQ(b.GetAlphaValue(3, 2), 9);

  TLxBitmap empty;
  empty.SetWidth(12);
  EXPECT_EQ(empty.Width(), 12);
  EXPECT_TRUE(empty.IsEmpty()) << "an empty bitmap only records the width";
}

TEST(BitmapGeometry, ResizePlacesContentByAlignment) {
  TLxBitmap b(4, 1, lx8g);
  for (int x = 0; x < 4; ++x) b.ScanLine(0)[x] = uint8_t(10 + x);
  b.Resize(7, 1, 200, 0, 1, 0);
  const uint8_t want[7] = {200, 10, 11, 12, 13, 200, 200};
  for (int x = 0; x < 7; ++x) EXPECT_EQ(b.ScanLine(0)[x], want[x]) << x;

  TLxBitmap c(7, 1, lx8g);
  for (int x = 0; x < 7; ++x) c.ScanLine(0)[x] = uint8_t(10 + x);
  c.Resize(4, 1, 0, 0, 1, 0);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(c.ScanLine(0)[x], 11 + x) << x;

  TLxBitmap d(2, 2, lx24RGB);
  d.Fill(0x0000FF);  // red
  d.AlphaChannel()->Fill(100);
  d.Resize(4, 4, 0x00FF00, 7, 2, 2);
  EXPECT_EQ(d.PixelsRGB24(0, 0), CreateRGB(0, 255, 0));
  EXPECT_EQ(d.PixelsRGB24(3, 3), CreateRGB(255, 0, 0));
  EXPECT_EQ(d.PixelsRGB24(2, 2), CreateRGB(255, 0, 0));
  EXPECT_EQ(d.GetAlphaValue(3, 3), 100);
  EXPECT_EQ(d.GetAlphaValue(0, 3), 7);
}

TEST(BitmapFill, ValuesAndAllOpaque) {
  TLxBitmap f(3, 3, lx32f);
  f.Fill(1.0);
  EXPECT_TRUE(f.AllOpaque);
  EXPECT_EQ(f.Pixels32f(2, 2), 1.0f);
  f.FillRect(0, 0, 0, 0, 0.5);
  EXPECT_EQ(f.Pixels32f(0, 0), 0.0f) << "FillRect stores the truncated value";
  EXPECT_TRUE(f.AllOpaque) << "FillRect leaves AllOpaque alone";
  f.Fill(0.5);
  EXPECT_EQ(f.Pixels32f(1, 1), 0.5f) << "Fill stores the value itself";
  EXPECT_FALSE(f.AllOpaque);

  TLxBitmap g(3, 3, lx8g);
  g.Fill(255);
  EXPECT_TRUE(g.AllOpaque);
  g.Fill(254);
  EXPECT_FALSE(g.AllOpaque);
  EXPECT_EQ(g.Pixels8(2, 1), 254);

  TLxBitmap c(5, 4, lx24RGB);
  c.Fill(0x123456);  // red 0x56, green 0x34, blue 0x12
  EXPECT_EQ(c.PixelsRGB24(4, 3), CreateRGB(0x56, 0x34, 0x12));
  EXPECT_FALSE(c.AllOpaque);
  c.Fill(clWhite);
  EXPECT_TRUE(c.AllOpaque);

  TLxBitmap w(4, 2, lx32RGB);
  w.ScanLine(1)[3] = 42;
  w.FillRect(0, 0, 3, 1, 0x0000FF);
  EXPECT_EQ(w.ScanLine(1)[3], 42) << "the fourth byte is left alone";
  EXPECT_EQ(w.ScanLine(1)[2], 255);

  TLxBitmap h(2, 2, lxRGB48);
  h.Fill(0x0000FF);
  uint16_t r, gg, bb;
  h.PixelsRGB48(1, 1, r, gg, bb);
  EXPECT_EQ(r, 65535);
  EXPECT_EQ(gg, 0);
  EXPECT_EQ(bb, 0);

  TLxBitmap k(2, 2, lxCMYK);
  const bool useProfile = UseCmykProfile;
  UseCmykProfile = false;
  k.Fill(clBlack);
  UseCmykProfile = useProfile;
  EXPECT_EQ(k.PixelsCMYK(0, 0), 0x01000000u) << "black is (0, 0, 0, 1) without a profile";

  TLxBitmap one(10, 2, lx1g);
  one.Fill(1);
  EXPECT_TRUE(one.AllOpaque);
  one.FillRect(3, 0, 4, 0, 0);
  EXPECT_EQ(one.ScanLine(0)[0], 0xE7);

  auto paged = PagedBitmap(7, 5, lx24RGB);
  paged->Fill(0x00FF00);
  EXPECT_EQ(paged->PixelsRGB24(6, 4), CreateRGB(0, 255, 0));
  auto paged8 = PagedBitmap(7, 5, lx8g);
  paged8->Fill(9);
  EXPECT_EQ(paged8->Pixels8(6, 4), 9);
}

TEST(BitmapFill, FillRectClips) {
  TLxBitmap b(4, 4, lx8g);
  b.FillRect(-5, 2, 100, 100, 3);
  EXPECT_EQ(b.Pixels8(0, 2), 3);
  EXPECT_EQ(b.Pixels8(3, 3), 3);
  EXPECT_EQ(b.Pixels8(0, 1), 0);
  b.FillRect(3, 3, 1, 1, 9);  // empty
  EXPECT_EQ(b.Pixels8(2, 2), 3);
}

TEST(BitmapCopy, CopyRectToClips) {
  TLxBitmap src(6, 2, lx8g), dst(6, 2, lx8g);
  for (int x = 0; x < 6; ++x) src.ScanLine(0)[x] = uint8_t(x + 1);
  src.CopyRectTo(dst, 0, 0, 6, 1, -3, 0);
  EXPECT_EQ(dst.Pixels8(0, 0), 4) << "targetX -3 copies from sourceX + 3 to column 0";
  EXPECT_EQ(dst.Pixels8(2, 0), 6);
  EXPECT_EQ(dst.Pixels8(3, 0), 0) << "three fewer columns";

  TLxBitmap d2(6, 2, lx8g);
  src.CopyRectTo(d2, 0, 0, 6, 2, 4, 1);
  EXPECT_EQ(d2.Pixels8(4, 1), 1);
  EXPECT_EQ(d2.Pixels8(5, 1), 2);

  // Bit runs land bit-exactly at their new position.
  TLxBitmap b1(16, 1, lx1g), b2(16, 1, lx1g);
  b1.ScanLine(0)[0] = 0b10110011;
  b1.CopyRectTo(b2, 0, 0, 8, 1, 3, 0);
  EXPECT_EQ(b2.ScanLine(0)[0], 0b00010110);
  EXPECT_EQ(b2.ScanLine(0)[1], 0b01100000);

  TLxBitmap rgb(16, 1, lx24RGB);
  b1.CopyRectTo(rgb, 0, 0, 8, 1, 0, 0);
  EXPECT_EQ(rgb.PixelsRGB24(0, 0), CreateRGB(255, 255, 255));
  EXPECT_EQ(rgb.PixelsRGB24(1, 0), CreateRGB(0, 0, 0));

  TLxBitmap mismatch(6, 2, lx16g);
  src.CopyRectTo(mismatch, 0, 0, 6, 2, 0, 0);
  EXPECT_TRUE(mismatch.IsAllZero()) << "other pairings copy nothing";

  TLxBitmap empty;
  src.CopyRectTo(empty, 0, 0, 6, 2, 0, 0);  // nothing to clip to: no write
}

TEST(BitmapCopy, MoveImageToHandsOverEverything) {
  TLxBitmap a(5, 4, lx8p);
  a.SetPaletteEntry(1, CreateRGB(9, 8, 7));
  a.ScanLine(1)[1] = 1;
  a.AlphaChannel()->Fill(10);
  a.BlackWhiteMethod = 0;
  TLxBitmap b(2, 2, lx24RGB);
  a.MoveImageTo(b);
  EXPECT_EQ(b.Width(), 5);
  EXPECT_EQ(b.PixelFormat(), lx8p);
  EXPECT_EQ(b.GetPaletteEntry(1), CreateRGB(9, 8, 7));
  EXPECT_EQ(b.Pixels8(1, 1), 1);
  EXPECT_EQ(b.GetAlphaValue(0, 0), 10);
  EXPECT_EQ(b.BlackWhiteMethod, 0);
  EXPECT_TRUE(a.IsEmpty());
  EXPECT_EQ(a.PixelFormat(), lxNone);
  EXPECT_FALSE(a.HasAlphaChannel());
  EXPECT_EQ(a.PaletteCount(), 0);
  EXPECT_TRUE(a.ReallocPending);

  auto paged = PagedBitmap(3, 3, lx8g);
  Stamp(*paged);
  TLxBitmap t;
  paged->MoveImageTo(t);
  EXPECT_EQ(t.Location(), lxTempFile);
  ExpectStamp(t, 3);
  EXPECT_EQ(paged->Location(), lxTempFile) << "the emptied side keeps its Location";
}

TEST(BitmapCopy, AssignBetweenPlaces) {
  const BitmapLocation places[] = {lxInMemory, lxTempFile, lxTBitmap};
  for (BitmapLocation from : places) {
    for (BitmapLocation to : places) {
      TLxBitmap src;
      if (from == lxTempFile) src.FileThreshold = 0;
      src.SetLocation(from);
      ASSERT_TRUE(src.Allocate(13, 7, lx24RGB));
      ASSERT_EQ(src.Location(), from);
      Stamp(src);
      src.AllOpaque = true;
      TLxBitmap dst;
      if (to == lxTempFile) dst.FileThreshold = 0;
      dst.SetLocation(to);
      dst.Assign(src);
      EXPECT_EQ(dst.Location(), to) << int(from) << "->" << int(to);
      EXPECT_EQ(dst.Width(), 13);
      EXPECT_EQ(dst.Height(), 7);
      EXPECT_TRUE(dst.AllOpaque);
      ExpectStamp(dst, 13 * 3);
      EXPECT_FALSE(dst.HasAlphaChannel());
    }
  }
}

TEST(BitmapCopy, AssignCopiesOrRemovesTheAlphaChannel) {
  TLxBitmap src(3, 3, lx24RGB);
  src.SetAlphaValue(1, 1, 50);
  TLxBitmap dst(3, 3, lx24RGB);
  dst.Assign(src);
  ASSERT_TRUE(dst.HasAlphaChannel());
  EXPECT_EQ(dst.GetAlphaValue(1, 1), 50);
  TLxBitmap noAlpha(3, 3, lx24RGB);
  dst.Assign(noAlpha);
  EXPECT_FALSE(dst.HasAlphaChannel());

  // AssignImage leaves this bitmap's alpha channel alone.
  TLxBitmap keep(2, 2, lx8g);
  keep.SetAlphaValue(0, 0, 3);
  keep.AssignImage(src);
  EXPECT_EQ(keep.Width(), 3);
  EXPECT_EQ(keep.PixelFormat(), lx24RGB);
  ASSERT_TRUE(keep.HasAlphaChannel());
  EXPECT_EQ(keep.AlphaChannel()->Width(), 2);
  EXPECT_FALSE(keep.AllOpaque);
}

TEST(BitmapLocationChange, SetLocationKeepsContentPaletteAndAlpha) {
  TLxBitmap b(9, 4, lx8p);
  b.FileThreshold = 0;  // the size rule would push the rows to the file anyway
  Stamp(b);
  b.SetPaletteEntry(200, CreateRGB(1, 2, 3));
  b.SetAlphaValue(2, 2, 44);
  b.SetLocation(lxTempFile);
  EXPECT_EQ(b.Location(), lxTempFile);
  ExpectStamp(b, 9);
  EXPECT_EQ(b.GetPaletteEntry(200), CreateRGB(1, 2, 3));
  EXPECT_EQ(b.GetAlphaValue(2, 2), 44);
  b.SetLocation(lxTBitmap);
  ASSERT_EQ(b.Location(), lxTBitmap);
  ExpectStamp(b, 9);
  EXPECT_EQ(b.PlatformBitmap()->PixelFormat(), pf8bit);
  EXPECT_EQ(b.PlatformBitmap()->GetColorTableEntry(200), CreateRGB(1, 2, 3));
  EXPECT_EQ(b.AlphaChannel()->Location(), lxInMemory) << "the alpha channel stays where it was";
}

TEST(BitmapTBitmapPlace, LayoutRules) {
  TLxBitmap g;
  g.SetLocation(lxTBitmap);
  ASSERT_TRUE(g.Allocate(3, 3, lx16g));
  EXPECT_EQ(g.PixelFormat(), lx8g) << "lx16g becomes lx8g in the platform bitmap";
  EXPECT_EQ(g.PlatformBitmap()->GetColorTableEntry(77), CreateRGB(77, 77, 77));
  TLxBitmap f;
  f.SetLocation(lxTBitmap);
  EXPECT_FALSE(f.Allocate(3, 3, lx32f));
  EXPECT_TRUE(f.IsEmpty());
  TLxBitmap c;
  c.SetLocation(lxTBitmap);
  ASSERT_TRUE(c.Allocate(3, 2, lx24RGB));
  c.SetPixelsRGB24(2, 1, CreateRGB(1, 2, 3));
  EXPECT_EQ(c.PlatformBitmap()->ScanLine(1)[6], 3);
  EXPECT_EQ(c.AlphaChannel()->Location(), lxInMemory);
  c.SetWidth(5);
  EXPECT_EQ(c.Width(), 5);
  EXPECT_EQ(c.PixelsRGB24(2, 1), CreateRGB(1, 2, 3));
}

TEST(BitmapTests, GrayScaleAndAllZero) {
  TLxBitmap b(3, 2, lx24RGB);
  EXPECT_TRUE(b.IsGrayScale());
  b.SetPixelsRGB24(2, 1, CreateRGB(5, 5, 6));
  EXPECT_FALSE(b.IsGrayScale());
  EXPECT_FALSE(b.IsAllZero());
  TLxBitmap p(2, 2, lx8p);
  EXPECT_TRUE(p.IsGrayScale());
  p.SetPaletteEntry(255, CreateRGB(1, 0, 0));
  EXPECT_FALSE(p.IsGrayScale());
  TLxBitmap padded(1, 1, lx8g);
  padded.ScanLine(0)[3] = 1;  // padding counts
  EXPECT_FALSE(padded.IsAllZero());
}

TEST(WorkBitmap, AllocatesOnlyOnChange) {
  TLxWorkBitmap w;
  ASSERT_TRUE(w.Allocate(5, 3, 24));
  EXPECT_EQ(w.RowLen(), 16);
  w.ScanLine(2)[0] = 7;
  ASSERT_TRUE(w.Allocate(5, 3, 24));
  EXPECT_EQ(w.ScanLine(2)[0], 7);
  ASSERT_TRUE(w.Allocate(5, 3, 8));
  EXPECT_EQ(w.ScanLine(2)[0], 0);
  EXPECT_FALSE(w.Allocate(0, 3, 8));
}

TEST(PixelMemoryTest, HybridMarkers) {
  EXPECT_EQ(PixelMemory::Allocate(1000, maHybrid).Marker(), 0);
  EXPECT_EQ(PixelMemory::Allocate(kHybridBoundary - 1, maHybrid).Marker(), 0);
  EXPECT_EQ(PixelMemory::Allocate(kHybridBoundary, maHybrid).Marker(), 1);
  EXPECT_EQ(PixelMemory::Allocate(10, maGlobal).Marker(), 1);
  EXPECT_EQ(PixelMemory::Allocate(10, maHeap).Marker(), 0);
  EXPECT_FALSE(PixelMemory::Allocate(~uint64_t(0) - 8, maHybrid));
}

}  // namespace
}  // namespace lumenax
