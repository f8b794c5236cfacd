#include "io/registry.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "io/startup.h"

namespace lumenax {
namespace {

TEST(Registry, BuiltInRowsInOrder) {
  LumenaxStartup();
  std::vector<FileType> order;
  for (const FormatRow& r : FormatRegistryRows()) order.push_back(r->FileType);
  std::vector<FileType> expected = {
      ftTiff,  ftGif, ftJpeg, ftPcx, ftBmp, ftIco,         ftCur,    ftPng,
      ftDicom, ftWmf, ftEmf,  ftTga, ftPxm, ftWbmp,        ftJp2,    ftJ2k,
      ftPs,    ftPdf, ftDcx,  ftRaw, ftPsd, ftVectObjects, ftLayers, ftLayersAndObjects};
  EXPECT_EQ(order, expected);

  FormatRow png = FindFormatByType(ftPng);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->FullName, "Portable Network Graphics");
  EXPECT_EQ(png->Extensions, "PNG");
  EXPECT_TRUE(png->InternalFormat);
  EXPECT_EQ(png->DialogPage, 128);
  EXPECT_TRUE(png->ReadFunction && png->WriteFunction);
  // What the rows say about reading and writing.
  EXPECT_FALSE(FindFormatByType(ftCur)->WriteFunction);
  EXPECT_FALSE(FindFormatByType(ftPs)->ReadFunction);
  EXPECT_FALSE(FindFormatByType(ftDicom)->WriteFunction);
  EXPECT_TRUE(FindFormatByType(ftPdf)->WriteFunction);
  EXPECT_EQ(FindFormatByType(ftAvi), nullptr);
  EXPECT_EQ(FindFormatByType(ftRawPixels), nullptr);
  EXPECT_EQ(FindFormatByType(ftUnknown), nullptr);
  EXPECT_EQ(FindFormatByType(22), nullptr);
}

TEST(Registry, ExtensionsLookUp) {
  for (const char* e : {".Jpeg", "jpeg", "JPEG", ".jpg", "jif"}) {
    FormatRow r = FindFormatByExtension(e);
    ASSERT_TRUE(r) << e;
    EXPECT_EQ(r->FileType, ftJpeg) << e;
  }
  EXPECT_EQ(FindFormatByExtension(".xif")->FileType, ftTiff);
  EXPECT_EQ(FindFormatByExtension(".pix")->FileType, ftTga);
  EXPECT_EQ(FindFormatByExtension(".dicom")->FileType, ftDicom);
  EXPECT_EQ(FindFormatByExtension(".nef")->FileType, ftRaw);
  EXPECT_EQ(FindFormatByExtension(".avi"), nullptr);
  EXPECT_EQ(FindFormatByExtension(""), nullptr);
  EXPECT_EQ(FindFormatByExtension("."), nullptr);
  EXPECT_EQ(FindFormatByExtension("..png"), nullptr);

  EXPECT_EQ(GetExtension(ftTiff, 0), "TIF");
  EXPECT_EQ(GetExtension(ftTiff, 5), "XIF");
  EXPECT_EQ(GetExtension(ftTiff, 6), "");
  EXPECT_EQ(GetExtension(ftTiff, -1), "");
  EXPECT_EQ(GetExtensionCount(ftTiff), 6);
  EXPECT_EQ(GetExtensionCount(ftRaw), 13);
  EXPECT_EQ(GetExtensionCount(ftAvi), 0);
  EXPECT_EQ(GetExtension(ftAvi, 0), "");

  EXPECT_EQ(ExtractFileExt("a/b.c/name"), "");
  EXPECT_EQ(ExtractFileExt("a/b.c/name.PNG"), ".PNG");
  EXPECT_EQ(ExtractFileExt("x.tar.gz"), ".gz");
  EXPECT_EQ(ExtractFileExt(".png"), ".png");
}

TEST(Registry, RunTimeRowsRegisterAndUnregister) {
  FormatRecord r;
  r.FileType = 200;
  r.FullName = std::string(100, 'n');
  r.Extensions = "abc;Def;;ghi";
  int pos = RegisterFormat(r);
  EXPECT_EQ(pos, int(FormatRegistryRows().size()) - 1);
  FormatRow row = FindFormatByType(200);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->FullName.size(), 80u);
  EXPECT_FALSE(row->InternalFormat);
  EXPECT_EQ(GetExtension(200, 1), "DEF");
  // An empty token is a token: the ones after it are still there by index ...
  EXPECT_EQ(GetExtension(200, 2), "");
  EXPECT_EQ(GetExtension(200, 3), "GHI");
  EXPECT_EQ(GetExtension(200, 4), "");
  // ... but the extensions the row counts and is found by end at the first empty one.
  EXPECT_EQ(GetExtensionCount(200), 2);
  EXPECT_EQ(FindFormatByExtension(".def"), row);
  EXPECT_EQ(FindFormatByExtension("ghi"), nullptr);

  // A second row with the same code is found only once the first is gone.
  FormatRecord r2 = r;
  r2.Extensions = "XYZ";
  RegisterFormat(r2);
  EXPECT_EQ(FindFormatByType(200)->Extensions, "ABC;DEF;;GHI");
  UnregisterFormat(200);
  EXPECT_EQ(FindFormatByType(200)->Extensions, "XYZ");
  UnregisterFormat(200);
  EXPECT_EQ(FindFormatByType(200), nullptr);
  // The row someone still holds stays valid.
  EXPECT_EQ(row->FileType, 200);
  UnregisterFormat(200);  // nothing left: no effect
}

TEST(Registry, StartupFromManyThreadsBuildsOneRegistry) {
  std::vector<std::thread> threads;
  std::vector<size_t> counts(8);
  for (size_t i = 0; i < counts.size(); ++i) {
    threads.emplace_back([i, &counts] {
      LumenaxStartup();
      counts[i] = FormatRegistryRows().size();
    });
  }
  for (auto& t : threads) t.join();
  for (size_t c : counts) EXPECT_EQ(c, 24u);
}

}  // namespace
}  // namespace lumenax
