// GIF writer: every depth back through the reader, the depth and palette rules, comments,
// and failures.
#include <gtest/gtest.h>

#include "bitmap/bitmap.h"
#include "bitmap/stream.h"
#include "codecs/gif/tests/gif_test_util.h"
#include "io/lumenax_io.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

using test::PixelAt;
using test::Px;

std::vector<uint8_t> Save(TLumenaxIO& io) {
  TMemoryStream s;
  io.SaveToStreamGif(s);
  EXPECT_FALSE(io.Aborting) << io.FailureReason.Text();
  s.Seek(0, soBeginning);
  std::vector<uint8_t> out(size_t(s.Size()));
  s.Read(out.data(), int64_t(out.size()));
  return out;
}

// An lx24RGB image of n distinct colours, one per pixel in turn.
void Colours(TLumenaxIO& io, int w, int h, int n) {
  io.Bitmap()->Allocate(w, h, lx24RGB);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int i = (y * w + x) % n;
      io.Bitmap()->SetPixelsRGB24(x, y, CreateRGB(uint8_t(i * 37), uint8_t(255 - i), uint8_t(i)));
    }
}

TEST(GifWriter, EveryDepthRoundTrips) {
  for (int bits = 1; bits <= 8; ++bits) {
    for (bool interlaced : {false, true}) {
      SCOPED_TRACE(testing::Message() << bits << " bits interlaced " << interlaced);
      TLumenaxIO io;
      Colours(io, 13, 7, 1 << bits);
      io.Params.BitsPerSample = bits;
      io.Params.GifInterlaced = interlaced;
      const std::vector<uint8_t> file = Save(io);
      EXPECT_EQ(file[10] & 7, bits - 1);
      TLumenaxIO back;
      test::LoadGif(back, file);
      ASSERT_FALSE(back.Aborting) << back.FailureReason.Text();
      EXPECT_EQ(back.Params.BitsPerSample, bits);
      EXPECT_EQ(back.Params.GifInterlaced, interlaced);
      EXPECT_EQ(test::CountDifferentPixels(test::BitmapToRgba(*io.Bitmap()),
                                           test::BitmapToRgba(*back.Bitmap())),
                0u);
    }
  }
}

TEST(GifWriter, DepthOutsideOneToEightIsEight) {
  TLumenaxIO io;
  Colours(io, 5, 5, 25);
  io.Params.BitsPerSample = 16;
  const std::vector<uint8_t> file = Save(io);
  EXPECT_EQ(file[10], 0xF7);
  EXPECT_EQ(file.size() > 13 + 768u, true);
}

TEST(GifWriter, TwoColoursAtOneBitKeepTheirColours) {
  TLumenaxIO io;
  io.Bitmap()->Allocate(11, 3, lx24RGB);
  const TRGB red = CreateRGB(255, 0, 0), blue = CreateRGB(0, 0, 255);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 11; ++x) io.Bitmap()->SetPixelsRGB24(x, y, (x + y) % 3 ? blue : red);
  io.Params.BitsPerSample = 1;
  const std::vector<uint8_t> file = Save(io);
  // The first colour met is index 0.
  EXPECT_EQ(file[13], 255);
  EXPECT_EQ(file[18], 255);
  TLumenaxIO back;
  test::LoadGif(back, file);
  EXPECT_EQ(PixelAt(back, 0, 0), (Px{255, 0, 0, 255}));
  EXPECT_EQ(PixelAt(back, 1, 0), (Px{0, 0, 255, 255}));
  // More colours at one bit: black and white.
  Colours(io, 8, 8, 30);
  const std::vector<uint8_t> bw = Save(io);
  EXPECT_EQ(std::vector<uint8_t>(bw.begin() + 13, bw.begin() + 19),
            (std::vector<uint8_t>{0, 0, 0, 255, 255, 255}));
}

TEST(GifWriter, PaletteIndexesThatDoNotFitAreQuantized) {
  TLumenaxIO io;
  io.Bitmap()->Allocate(4, 1, lx8p);
  for (int i = 0; i < 256; ++i) io.Bitmap()->SetPaletteEntry(i, CreateRGB(uint8_t(i), 0, 0));
  const uint8_t idx[4] = {0, 3, 200, 255};
  for (int x = 0; x < 4; ++x) io.Bitmap()->ScanLine(0)[x] = idx[x];
  io.Params.BitsPerSample = 2;
  TLumenaxIO back;
  test::LoadGif(back, Save(io));
  ASSERT_FALSE(back.Aborting);
  // Copied indexes would give 0, 3, 200 -> beyond a 4-entry palette; quantized they keep
  // their colours (four colours fit four entries).
  for (int x = 0; x < 4; ++x) EXPECT_EQ(PixelAt(back, x, 0).r, idx[x]) << x;
  // Indexes that fit are copied with the palette.
  for (int x = 0; x < 4; ++x) io.Bitmap()->ScanLine(0)[x] = uint8_t(3 - x);
  test::LoadGif(back, Save(io));
  EXPECT_EQ(PixelAt(back, 0, 0).r, 3);
  // With an alpha channel at 8 bits the slot 255 is reserved for transparency.
  io.Params.BitsPerSample = 8;
  for (int x = 0; x < 4; ++x) io.Bitmap()->ScanLine(0)[x] = idx[x];
  io.Bitmap()->AlphaChannel()->ScanLine(0)[0] = 0;
  const std::vector<uint8_t> file = Save(io);
  test::LoadGif(back, file);
  ASSERT_FALSE(back.Aborting) << back.FailureReason.Text();
  ASSERT_TRUE(back.Bitmap()->HasAlphaChannel());
  EXPECT_EQ(PixelAt(back, 0, 0).a, 0);
  EXPECT_EQ(PixelAt(back, 3, 0), (Px{255, 0, 0, 255}));
  EXPECT_TRUE(back.Params.GifTransparent);
  // The saved image keeps its alpha channel.
  EXPECT_EQ(io.Bitmap()->GetAlphaValue(0, 0), 0);
  // Control extension: transparent flag and index 255.
  const size_t gce = 13 + 768;
  EXPECT_EQ(file[gce + 1], 0xF9);
  EXPECT_EQ(file[gce + 3] & 1, 1);
  EXPECT_EQ(file[gce + 6], 255);
}

TEST(GifWriter, CommentsAndControlAlwaysWritten) {
  TLumenaxIO io;
  Colours(io, 3, 3, 4);
  io.Params.BitsPerSample = 2;
  std::vector<uint8_t> file = Save(io);
  // No comments: an empty comment extension right before the trailer.
  EXPECT_EQ(std::vector<uint8_t>(file.end() - 4, file.end()),
            (std::vector<uint8_t>{0x21, 0xFE, 0, 0x3B}));
  io.Params.GifComments = {std::string(600, 'c'), "", "short"};
  io.Params.GifDelay = 7;
  io.Params.GifDisposal = 3;
  file = Save(io);
  TLumenaxIO back;
  test::LoadGif(back, file);
  ASSERT_FALSE(back.Aborting);
  EXPECT_EQ(back.Params.GifComments,
            (std::vector<std::string>{std::string(255, 'c'), std::string(255, 'c'),
                                      std::string(90, 'c'), "short"}));
  EXPECT_EQ(back.Params.GifDelay, 7);
  EXPECT_EQ(back.Params.GifDisposal, 3);
}

TEST(GifWriter, Refusals) {
  TLumenaxIO io;
  io.Bitmap()->Allocate(70000, 1, lx1g);
  TMemoryStream s;
  io.SaveToStreamGif(s);
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::TooLarge);
  Colours(io, 20, 20, 100);
  const uint8_t none = 0;
  TLxMemStream readOnly(&none, 0);
  io.SaveToStreamGif(readOnly);
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::WriteFailed);
  io.Params.GifEncoderHook = nullptr;
  TGifEncoderHook saved = DefaultGifEncoderHook;
  DefaultGifEncoderHook = nullptr;
  TMemoryStream t;
  io.SaveToStreamGif(t);
  DefaultGifEncoderHook = saved;
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::NoWriter);
}

}  // namespace
}  // namespace lumenax
