// The camera-RAW reader on files written here: the LibRaw data stream over our streams,
// detection, header-only reads, and refusals of cut and hostile data.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "bitmap/bitmap.h"
#include "bitmap/stream.h"
#include "codecs/raw/raw.h"
#include "codecs/raw/raw_datastream.h"
#include "codecs/raw/tests/raw_test_util.h"
#include "io/lumenax_io.h"
#include "io/registry.h"
#include "tests/support/test_support.h"

namespace lumenax::test {
namespace {

std::vector<uint8_t> Counting(size_t n) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 7 + i / 251);
  return b;
}

TEST(RawDatastream, ReadsTheWindowAcrossBufferRefills) {
  // The data start at 5 in the stream; 200000 bytes span several 64 KiB refills.
  std::vector<uint8_t> bytes = Counting(200005);
  TMemoryStream stream(bytes);
  TLxRawDatastream data(stream, 5, 200000);
  EXPECT_EQ(data.size(), 200000);
  // Byte by byte over a refill boundary, then a block read over the next one.
  data.seek(65530, SEEK_SET);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(data.get_char(), bytes[5 + 65530 + i]) << i;
  std::vector<uint8_t> block(70000);
  EXPECT_EQ(data.read(block.data(), 1, block.size()), int(block.size()));
  EXPECT_TRUE(std::equal(block.begin(), block.end(), bytes.begin() + 5 + 65542));
  // Items are counted whole, like fread; the end stops reads and counts what was missing.
  data.seek(-5, SEEK_END);
  EXPECT_EQ(data.read(block.data(), 2, 4), 2);
  EXPECT_TRUE(data.eof());
  EXPECT_EQ(data.get_char(), -1);
  EXPECT_EQ(data.BytesPastEnd(), 3 + 1);
  // Seeks are clamped to the data.
  data.seek(-10, SEEK_SET);
  EXPECT_EQ(data.tell(), 0);
  data.seek(1000, SEEK_END);
  EXPECT_EQ(data.tell(), 200000);
  data.seek(INT64_MAX, SEEK_CUR);
  EXPECT_EQ(data.tell(), 200000);
}

TEST(RawDatastream, PaddingAddsZerosAndAShortStreamEndsTheData) {
  std::vector<uint8_t> bytes = Counting(10);
  TMemoryStream stream(bytes);
  TLxRawDatastream padded(stream, 0, 10, 1);
  EXPECT_EQ(padded.size(), 11);
  uint8_t b[11];
  EXPECT_EQ(padded.read(b, 1, 11), 11);
  EXPECT_EQ(b[9], bytes[9]);
  EXPECT_EQ(b[10], 0);
  // A stream that holds less than announced: the data end where its bytes do.
  TLxRawDatastream longer(stream, 0, 50);
  EXPECT_EQ(longer.read(b, 1, 11), 10);
  EXPECT_GT(longer.BytesPastEnd(), 0);
}

TEST(RawDatastream, TextLinesAndNumbers) {
  std::string text = "line one\n  42 3.5x\nlast";
  TMemoryStream stream(std::vector<uint8_t>(text.begin(), text.end()));
  TLxRawDatastream data(stream, 0, int64_t(text.size()));
  char line[64];
  ASSERT_NE(data.gets(line, sizeof line), nullptr);
  EXPECT_STREQ(line, "line one\n");
  int i = 0;
  EXPECT_EQ(data.scanf_one("%d", &i), 1);
  EXPECT_EQ(i, 42);
  float f = 0;
  EXPECT_EQ(data.scanf_one("%f", &f), 1);
  EXPECT_FLOAT_EQ(f, 3.5f);
  // gets stops at the buffer's size and at the end of the data.
  ASSERT_NE(data.gets(line, 3), nullptr);
  EXPECT_STREQ(line, "\n");
  ASSERT_NE(data.gets(line, 3), nullptr);
  EXPECT_STREQ(line, "la");
  ASSERT_NE(data.gets(line, sizeof line), nullptr);
  EXPECT_STREQ(line, "st");
  EXPECT_EQ(data.gets(line, sizeof line), nullptr);
  EXPECT_EQ(data.scanf_one("%d", &i), -1);
}

TEST(RawDetect, DngIsCameraRawUnderAnyNameAndInAnyStream) {
  TempDir dir;
  std::vector<uint8_t> dng = MakeDng(64, 48);
  for (const char* name : {"a.dng", "a.tif", "a.nef", "a"}) {
    WriteFileBytes(dir / name, dng);
    EXPECT_EQ(DetectFileFormat(dir / name, false), ftRaw) << name;
  }
  // Strict detection keeps its rule: the name must agree (.dng has no row).
  EXPECT_EQ(DetectFileFormat(dir / "a.nef", true), ftRaw);
  EXPECT_EQ(DetectFileFormat(dir / "a.tif", true), ftUnknown);
  // In a stream, after other data: offsets count from the file's own start.
  std::vector<uint8_t> embedded(13, 'x');
  embedded.insert(embedded.end(), dng.begin(), dng.end());
  TMemoryStream stream(embedded);
  stream.Seek(13, soBeginning);
  EXPECT_EQ(DetectStreamFormat(stream), ftRaw);
  EXPECT_EQ(stream.Position(), 13);
  TLumenaxIO io;
  io.LoadFromStream(stream);
  EXPECT_FALSE(io.Aborting) << io.FailureReason.Text();
  EXPECT_EQ(io.Params.FileType, ftRaw);
  EXPECT_EQ(io.Bitmap()->Width(), 64);
  EXPECT_EQ(io.Bitmap()->PixelFormat(), lx24RGB);
}

TEST(RawDetect, TextRandomBytesAndSizeOnlyDumps) {
  TempDir dir;
  std::mt19937 rng(15);
  std::vector<uint8_t> noise(300000);
  for (uint8_t& b : noise) b = uint8_t(rng());
  std::string text(5000, 'a');
  for (size_t i = 0; i < text.size(); i += 17) text[i] = '\n';
  EXPECT_EQ(DetectFileFormat((WriteFileBytes(dir / "n.nef", noise), dir / "n.nef"), false),
            ftUnknown);
  WriteFileBytes(dir / "t.txt", std::vector<uint8_t>(text.begin(), text.end()));
  EXPECT_EQ(DetectFileFormat(dir / "t.txt", false), ftUnknown);
  // 1581060 bytes is the size of one camera's headerless sensor dump: any file of that size
  // passes LibRaw's identification. It counts only when named as camera RAW.
  std::vector<uint8_t> dump(1581060);
  for (uint8_t& b : dump) b = uint8_t(rng());
  WriteFileBytes(dir / "dump.bin", dump);
  WriteFileBytes(dir / "dump.raw", dump);
  EXPECT_EQ(DetectFileFormat(dir / "dump.bin", false), ftUnknown);
  EXPECT_EQ(DetectFileFormat(dir / "dump.raw", false), ftRaw);
  EXPECT_EQ(DetectFileFormat(dir / "dump.raw", true), ftRaw);
  TMemoryStream s(dump);
  EXPECT_EQ(DetectStreamFormat(s), ftUnknown);
  dump.push_back(0);
  WriteFileBytes(dir / "dump2.raw", dump);
  EXPECT_EQ(DetectFileFormat(dir / "dump2.raw", false), ftUnknown);
}

TEST(RawReader, HeaderOnlyReadsGiveTheDecodedSize) {
  TempDir dir;
  // Orientation 6: the camera was turned, the image is taller than the sensor.
  WriteFileBytes(dir / "r.dng", MakeDng(64, 48, 6));
  TLumenaxIO info;
  info.ParamsFromFile(dir / "r.dng");
  // .dng has no registry row: strict detection refuses the name.
  EXPECT_EQ(info.Params.FileType, ftUnknown);
  info.ParamsFromFileByType(dir / "r.dng", ftRaw);
  EXPECT_FALSE(info.Aborting);
  EXPECT_EQ(info.Params.FileType, ftRaw);
  EXPECT_EQ(info.Params.Width, 48);
  EXPECT_EQ(info.Params.Height, 64);
  EXPECT_EQ(info.Params.BitsPerSample, 8);
  EXPECT_EQ(info.Params.SamplesPerPixel, 3);
  std::filesystem::copy_file(dir / "r.dng", dir / "r.nef");
  TLumenaxIO byName;
  byName.ParamsFromFile(dir / "r.nef");
  EXPECT_EQ(byName.Params.FileType, ftRaw);
  EXPECT_EQ(byName.Params.Width, 48);
  TLumenaxIO load;
  load.LoadFromFile(dir / "r.nef");
  ASSERT_FALSE(load.Aborting) << load.FailureReason.Text();
  EXPECT_EQ(load.Bitmap()->Width(), 48);
  EXPECT_EQ(load.Bitmap()->Height(), 64);
  EXPECT_EQ(load.Params.Width, 48);
  // The stream form reads the same header.
  TMemoryStream s(ReadFileBytes(dir / "r.dng"));
  TLumenaxIO fromStream;
  fromStream.ParamsFromStream(s);
  EXPECT_EQ(fromStream.Params.FileType, ftRaw);
  EXPECT_EQ(fromStream.Params.Height, 64);
}

TEST(RawReader, NativeLayoutIs48Bit) {
  TempDir dir;
  WriteFileBytes(dir / "n.dng", MakeDng(40, 30));
  TLumenaxIO io;
  io.SetNativePixelFormat(true);
  io.LoadFromFileByType(dir / "n.dng", ftRaw);
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  EXPECT_EQ(io.Bitmap()->PixelFormat(), lxRGB48);
  EXPECT_EQ(io.Params.BitsPerSample, 16);
}

TEST(RawReader, CutAndHostileFilesAreRefusedWithAReason) {
  TempDir dir;
  std::vector<uint8_t> dng = MakeDng(64, 48);
  // Cut inside the pixels: the decoder runs out of data.
  std::vector<uint8_t> cut(dng.begin(), dng.begin() + long(dng.size() / 2));
  WriteFileBytes(dir / "cut.nef", cut);
  TLumenaxIO io;
  io.LoadFromFileByType(dir / "cut.nef", ftRaw);
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::Truncated) << io.FailureReason.Text();
  EXPECT_EQ(io.Params.FileType, ftRaw);
  // A header that announces a sensor far larger than its file is refused before anything is
  // allocated for it.
  std::vector<uint8_t> huge = MakeDng(64, 48);
  // Width and height are the first LONG values after NewSubFileType (entries 2 and 3).
  auto patch = [&huge](int entry, uint32_t v) {
    size_t at = 8 + 2 + size_t(entry) * 12 + 8;
    for (int i = 0; i < 4; ++i) huge[at + i] = uint8_t(v >> (8 * i));
  };
  patch(1, 30000);
  patch(2, 20000);
  WriteFileBytes(dir / "huge.nef", huge);
  io.LoadFromFileByType(dir / "huge.nef", ftRaw);
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::TooLarge) << io.FailureReason.Text();
  // A directory that runs past the end of the file (this crashed the decoder's own TIFF
  // parser): refused before the decoder sees it, by type and by detection.
  std::vector<uint8_t> damaged = MakeDng(64, 48);
  damaged[8] = 0x14;  // 20 entries
  damaged.resize(64);
  WriteFileBytes(dir / "damaged.nef", damaged);
  io.LoadFromFileByType(dir / "damaged.nef", ftRaw);
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::BadData) << io.FailureReason.Text();
  WriteFileBytes(dir / "damaged.bin", damaged);
  EXPECT_EQ(DetectFileFormat(dir / "damaged.bin", false), ftUnknown);
  // The decoder walks the directories whatever version number follows the byte order, so
  // the same damage behind another number is refused as well.
  damaged[2] = 0x26;
  WriteFileBytes(dir / "odd.nef", damaged);
  io.LoadFromFileByType(dir / "odd.nef", ftRaw);
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::BadData) << io.FailureReason.Text();
  // Not a camera file at all.
  WriteFileBytes(dir / "text.nef", std::vector<uint8_t>(100, 'a'));
  io.LoadFromFileByType(dir / "text.nef", ftRaw);
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::BadSignature);
}

}  // namespace
}  // namespace lumenax::test
