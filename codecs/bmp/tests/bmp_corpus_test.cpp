// The BMP Suite: every good file equals its reference rendering, every questionable or bad
// file either loads or is refused through Aborting (the sanitizers catch the rest).
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "codecs/bmp/tests/bmp_test_util.h"
#include "tests/support/test_support.h"

namespace lumenax::test {
namespace {

std::filesystem::path Suite() {
  std::filesystem::path c = CorpusDir();
  return c.empty() ? c : c / "bmpsuite";
}

// expected.csv: file,reference[ reference...]
std::map<std::string, std::vector<std::string>> References() {
  std::map<std::string, std::vector<std::string>> refs;
  std::ifstream f(Suite() / "expected.csv");
  std::string line;
  std::getline(f, line);
  while (std::getline(f, line)) {
    size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    std::istringstream rest(line.substr(comma + 1));
    std::string r;
    auto& list = refs[line.substr(0, comma)];
    while (rest >> r) list.push_back(r);
  }
  return refs;
}

// Largest difference of one channel between two images of the same size, -1 when the sizes
// differ. The colour of pixels that are fully transparent in both is not looked at.
int MaxChannelDifference(const RgbaImage& a, const RgbaImage& b) {
  if (a.width != b.width || a.height != b.height) return -1;
  int m = 0;
  for (size_t i = 0; i < a.rgba.size(); i += 4) {
    bool hidden = a.rgba[i + 3] == 0 && b.rgba[i + 3] == 0;
    for (size_t c = hidden ? 3 : 0; c < 4; ++c)
      m = std::max(m, std::abs(a.rgba[i + c] - b.rgba[i + c]));
  }
  return m;
}

std::vector<std::filesystem::path> Files(const std::string& dir) {
  std::vector<std::filesystem::path> files;
  for (auto& e : std::filesystem::directory_iterator(Suite() / dir))
    if (e.path().extension() == ".bmp") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  return files;
}

// The smallest difference to any of the file's references (-1: none of the same size).
int BestDifference(const std::string& key, TLxBitmap& bitmap,
                   const std::map<std::string, std::vector<std::string>>& refs) {
  RgbaImage img = BitmapToRgba(bitmap);
  int best = -1;
  auto it = refs.find(key);
  if (it == refs.end()) return best;
  for (auto& ref : it->second) {
    RgbaImage want;
    if (!ReadPngRgba(Suite() / ref, want)) continue;
    int d = MaxChannelDifference(img, want);
    if (d >= 0 && (best < 0 || d < best)) best = d;
  }
  return best;
}

// Components of 4 to 7 bits are widened by repeating their bits (3 of 5 bits gives 24) and
// components of more than 8 bits keep their top 8; the references round instead (25), so
// these files differ from them by at most 1.
bool WidenedFromFewerBits(const std::string& key) {
  static const std::set<std::string> files = {
      "g/rgb16.bmp",      "g/rgb16bfdef.bmp",    "g/rgb16-565.bmp",    "g/rgb16-565pal.bmp",
      "q/rgb16-3103.bmp", "q/rgb16faketrns.bmp", "q/rgb32-111110.bmp", "q/rgba32-1010102.bmp"};
  return files.count(key) > 0;
}

TEST(BmpSuite, GoodFilesEqualTheirReferences) {
  if (Suite().empty()) GTEST_SKIP() << "corpus not found";
  auto refs = References();
  auto files = Files("g");
  ASSERT_EQ(files.size(), 27u);
  for (auto& p : files) {
    const std::string key = "g/" + p.filename().string();
    for (bool native : {false, true}) {
      TLxBitmap bitmap;
      TIOParamsVals params;
      params.IsNativePixelFormat = native;
      LoadResult r = LoadBmpFile(p, bitmap, params);
      EXPECT_FALSE(r.aborting) << key;
      int d = BestDifference(key, bitmap, refs);
      EXPECT_EQ(d, WidenedFromFewerBits(key) ? 1 : 0) << key << (native ? " native" : "");
    }
  }
}

// What each questionable or bad file does: loads, loads what it holds and reports the cut
// (Aborting with a bitmap), or is refused before anything is allocated; and why.
enum Outcome { kLoads, kCut, kRefused };
struct Expected {
  Outcome outcome;
  TLxFailure reason;
};

TEST(BmpSuite, QuestionableAndBadFilesLoadOrAreRefused) {
  if (Suite().empty()) GTEST_SKIP() << "corpus not found";
  const std::map<std::string, Expected> expected = {
      // Depths and compressions this reader does not decode: 2 bits, OS/2 Huffman and
      // RLE24, embedded JPEG and PNG, 64 bits.
      {"q/pal1huffmsb.bmp", {kRefused, TLxFailure::Unsupported}},
      {"q/pal2.bmp", {kRefused, TLxFailure::Unsupported}},
      {"q/pal2color.bmp", {kRefused, TLxFailure::Unsupported}},
      {"q/rgb24jpeg.bmp", {kRefused, TLxFailure::Unsupported}},
      {"q/rgb24png.bmp", {kRefused, TLxFailure::Unsupported}},
      {"q/rgb24rle24.bmp", {kRefused, TLxFailure::Unsupported}},
      {"q/rgba64.bmp", {kRefused, TLxFailure::Unsupported}},
      {"b/badbitcount.bmp", {kRefused, TLxFailure::BadHeader}},  // 30000 bits per pixel
      {"b/badwidth.bmp", {kRefused, TLxFailure::BadHeader}},     // negative width
      {"b/reallybig.bmp", {kRefused, TLxFailure::TooLarge}},     // 3000000 x 2000000 in 24 KB
      {"b/shortfile.bmp", {kCut, TLxFailure::Truncated}},
      {"x/ba-bm.bmp", {kRefused, TLxFailure::BadSignature}},  // "BA" signature
  };
  // Loaded files whose rendering equals a reference (16-bit ones within 1).
  const std::set<std::string> matching = {
      "q/pal1p1.bmp",         "q/pal4rlecut.bmp",    "q/pal4rletrns.bmp", "q/pal8offs.bmp",
      "q/pal8os2-hs.bmp",     "q/pal8os2-sz.bmp",    "q/pal8os2sp.bmp",   "q/pal8os2v2-16.bmp",
      "q/pal8os2v2-40sz.bmp", "q/pal8os2v2-sz.bmp",  "q/pal8os2v2.bmp",   "q/pal8oversizepal.bmp",
      "q/pal8rlecut.bmp",     "q/pal8rletrns.bmp",   "q/rgb16-231.bmp",   "q/rgb16-3103.bmp",
      "q/rgb16faketrns.bmp",  "q/rgb24largepal.bmp", "q/rgb24lprof.bmp",  "q/rgb24prof.bmp",
      "q/rgb32-111110.bmp",   "q/rgb32-xbgr.bmp",    "q/rgb32h52.bmp",    "q/rgba32-1.bmp",
      "q/rgba32-1010102.bmp", "q/rgba32-2.bmp",      "q/rgba32abf.bmp",   "q/rgba32h56.bmp",
      "b/rgb16-880.bmp"};
  auto refs = References();
  for (std::string dir : {"q", "b", "x"}) {
    for (auto& p : Files(dir)) {
      const std::string key = dir + "/" + p.filename().string();
      TLxBitmap bitmap;
      TIOParamsVals params;
      LoadResult r = LoadBmpFile(p, bitmap, params);
      Outcome got = !r.aborting ? kLoads : bitmap.IsEmpty() ? kRefused : kCut;
      auto it = expected.find(key);
      const Expected want = it == expected.end() ? Expected{kLoads, TLxFailure::None} : it->second;
      EXPECT_EQ(got, want.outcome) << key;
      EXPECT_EQ(r.reason.Code, want.reason) << key << ": " << r.reason.Text();
      if (got == kLoads) {
        EXPECT_FALSE(bitmap.IsEmpty()) << key;
        if (matching.count(key)) {
          EXPECT_EQ(BestDifference(key, bitmap, refs), WidenedFromFewerBits(key) ? 1 : 0) << key;
        }
      }
    }
  }
}

}  // namespace
}  // namespace lumenax::test
