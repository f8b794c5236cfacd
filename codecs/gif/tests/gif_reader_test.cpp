// GIF reader and composition on hand-made files: frame sizes, disposal methods, clipping,
// palettes, hostile headers (each refused for its own reason) and the comment list.
#include <gtest/gtest.h>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/gif/gif.h"
#include "codecs/gif/tests/gif_test_util.h"
#include "io/lumenax_io.h"
#include "io/params.h"

namespace lumenax {
namespace {

using test::GifBuilder;
using test::LoadGif;
using test::LsbCodes;
using test::PixelAt;
using test::Px;
using test::SubBlocks;

const TRGB kBlack{0, 0, 0}, kWhite{255, 255, 255};
const TRGB kRed = CreateRGB(255, 0, 0), kGreen = CreateRGB(0, 255, 0), kBlue = CreateRGB(0, 0, 255),
           kGray = CreateRGB(128, 128, 128);
const Px R{255, 0, 0, 255}, G{0, 255, 0, 255}, B{0, 0, 255, 255};

std::vector<uint8_t> Fill(int n, uint8_t v) {
  return std::vector<uint8_t>(size_t(n), v);
}

TEST(GifReader, SingleFrameLoadsAtItsOwnSize) {
  // Screen 10 x 10, one 3 x 2 frame at (4, 4): the image is the frame.
  GifBuilder g;
  g.Screen(10, 10, {kRed, kGreen, kBlue, kGray}).Image(4, 4, 3, 2, {0, 1, 2, 3, 2, 1}).Trailer();
  TLumenaxIO io;
  LoadGif(io, g.b);
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  EXPECT_EQ(io.Bitmap()->Width(), 3);
  EXPECT_EQ(io.Bitmap()->Height(), 2);
  EXPECT_EQ(io.Bitmap()->PixelFormat(), lx24RGB);
  EXPECT_EQ(PixelAt(io, 2, 0), B);
  EXPECT_EQ(PixelAt(io, 0, 1), (Px{128, 128, 128, 255}));
  EXPECT_EQ(io.Params.GifLeft, 4);
  EXPECT_EQ(io.Params.GifImageCount, 1);
  EXPECT_EQ(io.Params.ImageCount, 1);
  EXPECT_EQ(io.Params.BitsPerSample, 2);
  EXPECT_EQ(io.Params.FileType, ftGif);
  // Native pixel format: lx8p with the file's palette.
  TLumenaxIO native;
  native.Params.IsNativePixelFormat = true;
  LoadGif(native, g.b);
  EXPECT_EQ(native.Bitmap()->PixelFormat(), lx8p);
  EXPECT_EQ(native.Bitmap()->Pixels8(1, 0), 1);
  EXPECT_EQ(native.Bitmap()->GetPaletteEntry(2), kBlue);
}

TEST(GifReader, TwoColourFrames) {
  // Black and white, width 9: lx1g with every pixel of the row.
  std::vector<uint8_t> idx(18);
  for (size_t i = 0; i < idx.size(); ++i) idx[i] = uint8_t(i % 3 == 0);
  GifBuilder bw;
  bw.Screen(9, 2, {kBlack, kWhite}).Image(0, 0, 9, 2, idx).Trailer();
  TLumenaxIO io;
  LoadGif(io, bw.b);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(io.Bitmap()->PixelFormat(), lx1g);
  for (int i = 0; i < 18; ++i)
    EXPECT_EQ(PixelAt(io, i % 9, i / 9).r, idx[size_t(i)] ? 255 : 0) << i;
  // White and black: not bilevel.
  GifBuilder wb;
  wb.Screen(9, 2, {kWhite, kBlack}).Image(0, 0, 9, 2, idx).Trailer();
  LoadGif(io, wb.b);
  EXPECT_EQ(io.Bitmap()->PixelFormat(), lx24RGB);
  EXPECT_EQ(PixelAt(io, 0, 0).r, 0);
  EXPECT_EQ(PixelAt(io, 1, 0).r, 255);
}

TEST(GifReader, TransparencyBecomesAlpha) {
  GifBuilder g;
  g.Screen(3, 1, {kRed, kGreen}).Control(0, true, 1).Image(0, 0, 3, 1, {0, 1, 0}).Trailer();
  TLumenaxIO io;
  LoadGif(io, g.b);
  ASSERT_FALSE(io.Aborting);
  ASSERT_TRUE(io.Bitmap()->HasAlphaChannel());
  EXPECT_EQ(PixelAt(io, 0, 0).a, 255);
  EXPECT_EQ(PixelAt(io, 1, 0).a, 0);
  EXPECT_TRUE(io.Params.GifTransparent);
  EXPECT_EQ(io.Params.GifTransparentColor, kGreen);
  EXPECT_EQ(TColor2TRGB(io.Background()), kGreen);
  // The flag off: the same index is opaque.
  GifBuilder off;
  off.Screen(3, 1, {kRed, kGreen}).Control(0, false, 1).Image(0, 0, 3, 1, {0, 1, 0}).Trailer();
  LoadGif(io, off.b);
  EXPECT_FALSE(io.Bitmap()->HasAlphaChannel() && !io.Bitmap()->AlphaChannel()->AllOpaque);
}

// Three frames on a 4 x 3 screen of background blue; frame 1 at (1, 1) and frame 2 a dot.
std::vector<uint8_t> Animation(int disposal1, int left1 = 1, int top1 = 1) {
  GifBuilder g;
  g.Screen(4, 3, {kRed, kGreen, kBlue, kGray}, 2);
  g.Control(1).Image(0, 0, 4, 3, Fill(12, 0));                // all red
  g.Control(disposal1).Image(left1, top1, 2, 2, Fill(4, 1));  // green square
  g.Control(1, true, 3).Image(0, 0, 2, 1, {3, 2});            // (0,0) transparent, (1,0) blue
  g.Trailer();
  return g.b;
}

TEST(GifComposition, DisposalMethods) {
  TLumenaxIO io;
  const Px transparentBlue{0, 0, 255, 0};
  for (int disposal : {0, 1, 2, 3}) {
    SCOPED_TRACE(disposal);
    LoadGif(io, Animation(disposal), 2);
    ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
    EXPECT_EQ(io.Params.GifImageCount, 3);
    EXPECT_EQ(io.Params.GifImageIndex, 2);
    ASSERT_EQ(io.Bitmap()->Width(), 4);
    EXPECT_EQ(PixelAt(io, 1, 0), B);  // frame 2's opaque pixel
    EXPECT_EQ(PixelAt(io, 0, 0), R);  // under frame 2's transparent pixel
    switch (disposal) {
      case 0:
      case 1:
        EXPECT_EQ(PixelAt(io, 1, 1), G);
        EXPECT_EQ(PixelAt(io, 2, 2), G);
        break;
      case 2:  // background colour, alpha 0
        EXPECT_EQ(PixelAt(io, 1, 1), transparentBlue);
        EXPECT_EQ(PixelAt(io, 2, 2), transparentBlue);
        break;
      case 3:  // what was there before frame 1
        EXPECT_EQ(PixelAt(io, 1, 1), R);
        EXPECT_EQ(PixelAt(io, 2, 2), R);
        break;
    }
    EXPECT_EQ(PixelAt(io, 3, 2), R);
  }
  // Frame 1 itself shows the green square whatever its disposal.
  LoadGif(io, Animation(3), 1);
  EXPECT_EQ(PixelAt(io, 2, 1), G);
  EXPECT_EQ(PixelAt(io, 0, 0), R);
}

TEST(GifComposition, FramesSmallerThanOrOutsideTheScreen) {
  // Frame 0 smaller than the screen: screen size, alpha 0 outside the frame.
  GifBuilder g;
  g.Screen(5, 4, {kRed, kGreen, kBlue}, 2);
  g.Control(2).Image(1, 1, 2, 2, Fill(4, 0));
  // Frame 1 crosses the right and bottom edges, with disposal 2 (filled only where clipped).
  g.Control(2).Image(4, 3, 3, 3, Fill(9, 1));
  // Frame 2 lies wholly outside the screen.
  g.Control(1).Image(300, 300, 2, 2, Fill(4, 1));
  g.Trailer();
  TLumenaxIO io;
  LoadGif(io, g.b, 0);
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  ASSERT_EQ(io.Bitmap()->Width(), 5);
  ASSERT_EQ(io.Bitmap()->Height(), 4);
  EXPECT_EQ(PixelAt(io, 1, 1), R);
  EXPECT_EQ(PixelAt(io, 0, 0).a, 0);
  EXPECT_EQ(PixelAt(io, 4, 3).a, 0);
  LoadGif(io, g.b, 1);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(PixelAt(io, 4, 3), G);
  EXPECT_EQ(PixelAt(io, 1, 1).a, 0);  // frame 0 disposed to background
  // Frame 2 outside: the canvas grows to hold it (the larger of screen and frame size), and
  // frame 1's clipped rectangle is disposed.
  LoadGif(io, g.b, 2);
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  EXPECT_EQ(io.Bitmap()->Width(), 5);
  EXPECT_EQ(PixelAt(io, 4, 3).a, 0);
  // An index beyond the last frame loads the last frame and reports every frame.
  LoadGif(io, g.b, 40);
  EXPECT_FALSE(io.Aborting);
  EXPECT_EQ(io.Params.GifImageCount, 3);
  EXPECT_EQ(io.Params.GifImageIndex, 40);
}

TEST(GifReader, PalettesAndIndexesBeyondThem) {
  // Two-entry global table; indexes 2 and 3 lie beyond it and read black; the background
  // index 7 lies beyond it too.
  GifBuilder g;
  g.Screen(4, 1, {kRed, kGreen}, 7).Image(0, 0, 4, 1, {0, 1, 2, 3}).Trailer();
  TLumenaxIO io;
  LoadGif(io, g.b);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(PixelAt(io, 0, 0), R);
  EXPECT_EQ(PixelAt(io, 2, 0), (Px{0, 0, 0, 255}));
  EXPECT_EQ(PixelAt(io, 3, 0), (Px{0, 0, 0, 255}));
  EXPECT_EQ(io.Params.GifBackgroundColor, kBlack);
  // No table at all: 0 black, 1 white, the rest black.
  GifBuilder none;
  none.Screen(3, 1, {}).Image(0, 0, 3, 1, {0, 1, 2}).Trailer();
  LoadGif(io, none.b);
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  EXPECT_EQ(PixelAt(io, 0, 0).r, 0);
  EXPECT_EQ(PixelAt(io, 1, 0).r, 255);
  EXPECT_EQ(PixelAt(io, 2, 0).r, 0);
  // A local table wins over the global one.
  GifBuilder local;
  local.Screen(2, 1, {kRed, kGreen}).Image(0, 0, 2, 1, {0, 1}, 2, false, {kBlue, kGray}).Trailer();
  LoadGif(io, local.b);
  EXPECT_EQ(PixelAt(io, 0, 0), B);
}

TEST(GifReader, ControlExtensionOfAnotherSize) {
  // A control block of 6 bytes and an extra sub-block: the parser stays aligned.
  GifBuilder g;
  g.Screen(2, 1, {kRed, kGreen});
  g.b.insert(g.b.end(), {0x21, 0xF9, 6, 1, 10, 0, 1, 0xAA, 0xBB, 2, 0x2C, 0x2C, 0});
  g.Image(0, 0, 2, 1, {0, 1}).Trailer();
  TLumenaxIO io;
  LoadGif(io, g.b);
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  EXPECT_EQ(io.Params.GifImageCount, 1);
  EXPECT_EQ(io.Params.GifDelay, 10);
  EXPECT_EQ(PixelAt(io, 1, 0).a, 0);
}

TEST(GifReader, BrokenCodeStreamsKeepWhatWasDecoded) {
  // 4 x 2 frame whose code stream ends after 5 pixels.
  LsbCodes c;
  c.Put(4, 3);
  // Literal codes; the table reaches 8 entries after the third, widening the codes to 4 bits.
  for (int width : {3, 3, 3, 4, 4}) c.Put(1, width);
  GifBuilder g;
  g.Screen(4, 2, {kRed, kGreen}).RawImage(0, 0, 4, 2, SubBlocks(2, c.bytes)).Trailer();
  TLumenaxIO io;
  LoadGif(io, g.b);
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::Truncated);
  ASSERT_EQ(io.Bitmap()->Width(), 4);
  EXPECT_EQ(PixelAt(io, 3, 0), G);
  EXPECT_EQ(PixelAt(io, 0, 1), G);
  EXPECT_EQ(PixelAt(io, 1, 1), R);  // index 0, never uninitialised
  // A code beyond the next free entry: bad data.
  LsbCodes bad;
  bad.Put(4, 3);
  bad.Put(1, 3);
  bad.Put(7, 3);
  GifBuilder g2;
  g2.Screen(4, 2, {kRed, kGreen}).RawImage(0, 0, 4, 2, SubBlocks(2, bad.bytes)).Trailer();
  LoadGif(io, g2.b);
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::BadData);
  // A minimum code size out of range.
  GifBuilder g3;
  g3.Screen(4, 2, {kRed, kGreen}).RawImage(0, 0, 4, 2, {12, 1, 0, 0}).Trailer();
  LoadGif(io, g3.b);
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::BadData);
}

TEST(GifReader, HostileHeadersAreRefusedForTheirReason) {
  TLumenaxIO io;
  auto reason = [&](const std::vector<uint8_t>& bytes) {
    LoadGif(io, bytes, 0);
    EXPECT_TRUE(io.Aborting);
    return io.FailureReason.Code;
  };
  GifBuilder good;
  good.Screen(2, 2, {kRed, kGreen}).Image(0, 0, 2, 2, {0, 1, 1, 0}).Trailer();
  std::vector<uint8_t> b = good.b;
  b[0] = 'J';
  EXPECT_EQ(reason(b), TLxFailure::BadSignature);
  EXPECT_EQ(reason({'G', 'I', 'F', '8', '9', 'a', 1, 0}), TLxFailure::Truncated);
  // Global table cut short.
  EXPECT_EQ(reason(std::vector<uint8_t>(good.b.begin(), good.b.begin() + 15)),
            TLxFailure::Truncated);
  // Header and table only: no image.
  EXPECT_EQ(reason(std::vector<uint8_t>(good.b.begin(), good.b.begin() + 19)),
            TLxFailure::Truncated);
  // Image descriptor cut short.
  EXPECT_EQ(reason(std::vector<uint8_t>(good.b.begin(), good.b.begin() + 24)),
            TLxFailure::Truncated);
  // 60,000 x 60,000 pixels from a file of a few dozen bytes.
  GifBuilder huge;
  huge.Screen(2, 2, {kRed, kGreen}).RawImage(0, 0, 60000, 60000, {2, 2, 0x4C, 0x01, 0});
  EXPECT_EQ(reason(huge.b), TLxFailure::TooLarge);
  // Within the cap but far beyond what 300 bytes of codes can describe.
  GifBuilder big;
  std::vector<uint8_t> data(300, 0);
  big.Screen(2, 2, {kRed, kGreen}).RawImage(0, 0, 4000, 4000, SubBlocks(2, data));
  EXPECT_EQ(reason(big.b), TLxFailure::TooLarge);
  // A file with no image descriptor at all.
  GifBuilder empty;
  empty.Screen(2, 2, {kRed, kGreen}).Comment("nothing here").Trailer();
  EXPECT_EQ(reason(empty.b), TLxFailure::NoImage);
}

TEST(GifReader, ZeroSizedFramesLoadAsNothing) {
  GifBuilder g;
  g.Screen(3, 3, {kRed, kGreen}).RawImage(0, 0, 0, 5, {2, 2, 0x4C, 0x01, 0}).Trailer();
  TLumenaxIO io;
  LoadGif(io, g.b);
  EXPECT_TRUE(io.Bitmap()->IsEmpty());
  // In an animation, the other frames still compose.
  GifBuilder a;
  a.Screen(3, 3, {kRed, kGreen}).RawImage(1, 1, 5, 0, {2, 2, 0x4C, 0x01, 0});
  a.Image(0, 0, 1, 1, {1}).Trailer();
  LoadGif(io, a.b, 1);
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  EXPECT_EQ(io.Bitmap()->Width(), 3);
  EXPECT_EQ(PixelAt(io, 0, 0), G);
}

TEST(GifReader, CommentsOnceAndHeaderOnlyReads) {
  GifBuilder g;
  g.Screen(2, 1, {kRed, kGreen}).Comment("first").Image(0, 0, 2, 1, {0, 1});
  g.Comment(std::string(300, 'x')).Image(0, 0, 2, 1, {1, 0}).Trailer();
  TLumenaxIO io;
  LoadGif(io, g.b, 1);
  ASSERT_FALSE(io.Aborting);
  // Every non-empty sub-block is an entry; two passes over the file list each once.
  ASSERT_EQ(io.Params.GifComments.size(), 3u);
  EXPECT_EQ(io.Params.GifComments[0], "first");
  EXPECT_EQ(io.Params.GifComments[1], std::string(255, 'x'));
  EXPECT_EQ(io.Params.GifComments[2], std::string(45, 'x'));
  // Parameters only: the record is filled, the bitmap is not touched.
  TMemoryStream s(g.b);
  TLxBitmap bitmap;
  TIOParamsVals params;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  int32_t count = 0;
  std::unique_ptr<TLxMask> mask;
  ReadGifStream(s, bitmap, count, true, mask, true, progress, params);
  EXPECT_FALSE(aborting);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(params.GifImageCount, 2);
  EXPECT_EQ(params.Width, 2);
  EXPECT_TRUE(bitmap.IsEmpty());
}

TEST(GifReader, DecoderHooks) {
  GifBuilder g;
  g.Screen(2, 1, {kRed, kGreen}).Image(0, 0, 2, 1, {0, 1}).Trailer();
  TLumenaxIO io;
  EXPECT_EQ(io.Params.GifDecoderHook, &GifLzwDecode);
  // The record's hook is used; an empty one falls back to the default.
  static int calls = 0;
  io.Params.GifDecoderHook = [](TStream& s, int h, int w, uint8_t* buf, bool il) {
    ++calls;
    return GifLzwDecode(s, h, w, buf, il);
  };
  LoadGif(io, g.b);
  EXPECT_EQ(calls, 1);
  io.Params.GifDecoderHook = nullptr;
  LoadGif(io, g.b);
  EXPECT_FALSE(io.Aborting);
  TGifDecoderHook saved = DefaultGifDecoderHook;
  DefaultGifDecoderHook = nullptr;
  LoadGif(io, g.b);
  DefaultGifDecoderHook = saved;
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::Unsupported);
  // The record's reset installs the default again.
  io.Params.SetDefaultParams();
  EXPECT_EQ(io.Params.GifDecoderHook, &GifLzwDecode);
}

}  // namespace
}  // namespace lumenax
