#include "bitmap/stream.h"

#include <gtest/gtest.h>
#include <sys/file.h>

#include <numeric>

#include "bitmap/byte_reader.h"
#include "bitmap/errors.h"
#include "bitmap/settings.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

std::vector<uint8_t> Ramp(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 7 + i / 256);
  return v;
}

TEST(BufferedReadStream, RelativeBaseAndSeeks) {
  auto bytes = Ramp(1000);
  TLxMemStream src(bytes.data(), 1000);
  src.Seek(100, soBeginning);
  TLxBufferedReadStream s(src, true, 64);
  EXPECT_EQ(s.Position(), 0);
  EXPECT_EQ(s.Size(), 900);
  uint8_t b;
  s.Seek(0, soBeginning);
  ASSERT_EQ(s.Read(&b, 1), 1);
  EXPECT_EQ(b, bytes[100]);

  TLxMemStream src2(bytes.data(), 1000);
  TLxBufferedReadStream t(src2, false, 8192);
  EXPECT_EQ(t.Seek(10, soEnd), 990) << "seek from the end counts backward";
  ASSERT_EQ(t.Read(&b, 1), 1);
  EXPECT_EQ(b, bytes[990]);
  EXPECT_EQ(t.Seek(0, soEnd), 1000);
  EXPECT_EQ(t.Read(&b, 1), 0);
  EXPECT_EQ(t.Seek(5, 7), 1000) << "an unknown origin keeps the position";
  EXPECT_THROW(t.Write(&b, 1), EWriteError);
}

TEST(BufferedReadStream, SmallReadsMatchTheSourceAndLargeReadsGrowTheBuffer) {
  auto bytes = Ramp(30000);
  TLxMemStream src(bytes.data(), int64_t(bytes.size()));
  TLxBufferedReadStream s(src, false, 8192);
  std::vector<uint8_t> out;
  uint8_t chunk[7];
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(s.Read(chunk, 7), 7);
    out.insert(out.end(), chunk, chunk + 7);
  }
  EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin()));
  std::vector<uint8_t> big(20000);
  EXPECT_EQ(s.Read(big.data(), 20000), 20000);
  EXPECT_EQ(s.BufferSize(), 20000);
  EXPECT_TRUE(std::equal(big.begin(), big.end(), bytes.begin() + 700));
  EXPECT_EQ(s.Read(big.data(), 20000), 30000 - 20700) << "the rest of the source";
}

TEST(BufferedReadStream, SourceShorterThanItClaimsStopsReading) {
  // A source whose Size() promises more than Read() delivers.
  class Liar : public TMemoryStream {
   public:
    using TMemoryStream::TMemoryStream;
    int64_t Size() override { return 5000; }
  };
  Liar src(Ramp(100));
  TLxBufferedReadStream s(src, false, 64);
  std::vector<uint8_t> buf(1000);
  EXPECT_EQ(s.Read(buf.data(), 1000), 100);
}

TEST(NulStream, CountsWithoutStoring) {
  TNulStream n;
  uint8_t x[7] = {};
  n.Write(x, 7);
  n.Write(x, 5);
  EXPECT_EQ(n.Size(), 12);
  n.Seek(0, soBeginning);
  n.Write(x, 3);
  EXPECT_EQ(n.Size(), 12);
  EXPECT_EQ(n.Position(), 3);
  EXPECT_EQ(n.Seek(2, soEnd), 10);
  EXPECT_EQ(n.Seek(20, soCurrent), 30);
  EXPECT_EQ(n.Size(), 30);
}

TEST(MemStreams, ReadOnlyViewAndGrowableStream) {
  auto bytes = Ramp(10);
  TLxMemStream m(bytes.data(), 10);
  EXPECT_EQ(m.Write(bytes.data(), 3), 0) << "writes move nothing";
  m.SetSize(0);
  EXPECT_EQ(m.Size(), 10);
  uint8_t buf[20];
  EXPECT_EQ(m.Read(buf, 20), 10);
  EXPECT_THROW(m.ReadBuffer(buf, 1), EReadError);

  TMemoryStream g;
  g.WriteBuffer(bytes.data(), 10);
  g.Seek(15, soBeginning);
  g.WriteBuffer(bytes.data(), 2);
  EXPECT_EQ(g.Size(), 17);
  EXPECT_EQ(g.Bytes()[12], 0);
  g.SetPosition(0);
  TMemoryStream h;
  h.CopyFrom(g, 0);
  EXPECT_EQ(h.Bytes(), g.Bytes());
}

TEST(FileStreams, OpenErrorsCarryTheFullPathAndReason) {
  test::TempDir dir;
  auto missing = dir / "missing.bmp";
  try {
    TLxWideFileStream s(missing, fmOpenRead | fmShareDenyWrite);
    FAIL() << "opened a missing file";
  } catch (const EFOpenError& e) {
    std::string msg = e.what();
    EXPECT_EQ(msg.rfind("Cannot open file \"" + missing.string() + "\". ", 0), 0u) << msg;
    EXPECT_NE(msg.find("No such file"), std::string::npos) << msg;
  }
  // Invalid modes fail without touching the file system.
  EXPECT_THROW(TLxWideFileStream(dir / "x", 0x33), EFOpenError);
  EXPECT_THROW(TLxWideFileStream(dir / "x", 0x50), EFOpenError);
  EXPECT_FALSE(std::filesystem::exists(dir / "x"));

  std::filesystem::path relative = "no-such-dir-lx/out.png";
  try {
    TLxWideFileStream s(relative, fmCreate);
    FAIL();
  } catch (const EFCreateError& e) {
    std::string msg = e.what();
    EXPECT_EQ(msg.rfind("Cannot create file \"" + std::filesystem::absolute(relative).string(), 0),
              0u)
        << msg;
  }
}

TEST(FileStreams, CreateReadBackAndLocks) {
  test::TempDir dir;
  auto p = dir / "a.bin";
  {
    TLxWideFileStream w(p, fmCreate);
    auto bytes = Ramp(300);
    w.WriteBuffer(bytes.data(), 300);
    w.SetSize(200);
    EXPECT_EQ(w.Size(), 200);
  }
  TLxWideFileStream r(p, fmOpenRead | fmShareDenyWrite);
  EXPECT_EQ(r.Size(), 200);
  // Deny-write: a second reader is fine, a writer wanting an exclusive lock is refused.
  TLxWideFileStream r2(p, fmOpenRead | fmShareDenyWrite);
  EXPECT_THROW(TLxWideFileStream(p, fmOpenReadWrite | fmShareExclusive), EFOpenError);
  EXPECT_THROW(TLxWideFileStream(p, fmCreate), EFCreateError);
  TLxWideFileStream any(p, fmOpenRead | fmShareDenyNone);
  EXPECT_THROW(TLxWideFileStream(dir.path(), fmOpenRead | fmShareDenyWrite), EFOpenError)
      << "folders are not files";
}

TEST(TmpStream, DeletesItselfAndHonoursTheTempFolder) {
  test::TempDir dir;
  auto saved = DefaultTempDirectory;
  DefaultTempDirectory = dir.path();
  std::filesystem::path name;
  {
    TLxTmpStream t;
    name = t.FileName();
    EXPECT_EQ(name.parent_path(), dir.path());
    EXPECT_EQ(name.filename().string().rfind("lumenax", 0), 0u);
    EXPECT_TRUE(std::filesystem::exists(name));
    t.WriteBuffer("abc", 3);
    EXPECT_EQ(t.Size(), 3);
  }
  EXPECT_FALSE(std::filesystem::exists(name));
  DefaultTempDirectory = saved;

  auto hook = OpenTempStreamByName("TEMPSTREAM");
  EXPECT_NE(dynamic_cast<TLxTmpStream*>(hook.get()), nullptr);
  EXPECT_EQ(OpenTempStreamByName("other.j2k"), nullptr);
  EXPECT_THROW(ForceDirectories(""), EInOutError);
  EXPECT_TRUE(ForceDirectories(dir / "x/y/z/"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "x/y/z"));
}

TEST(ByteReaderTest, ShortReadsZeroFillAndStick) {
  const uint8_t data[] = {0x42, 0x4D, 0x10, 0x00, 0x00};
  TLxMemStream s(data, sizeof data);
  ByteReader r(s);
  EXPECT_EQ(r.u16le(), 0x4D42);
  EXPECT_EQ(r.remaining(), 3);
  EXPECT_EQ(r.u32le(), 0x10u);
  EXPECT_FALSE(r.ok());
  EXPECT_FALSE(r.skip(1));
  uint64_t out = 0;
  EXPECT_FALSE(checked_mul(uint64_t(1) << 40, uint64_t(1) << 40, out));
  EXPECT_TRUE(checked_mul(1 << 20, 1 << 20, out));
  EXPECT_EQ(out, uint64_t(1) << 40);
}

}  // namespace
}  // namespace lumenax
