// Helpers shared by the tests: temporary folders, the corpus of other people's images, and
// running the peer programs that decode and encode the same files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace lumenax::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// The project's source folder.
std::filesystem::path SourceDir();
// ../shared/corpus beside the project (or $LX_CORPUS_DIR); empty when it is not there.
std::filesystem::path CorpusDir();

// Sample files unpacked from Debian packages by scripts/fetch-test-data
// (~/.cache/lumenax-test-data or $LX_TEST_DATA_DIR), one folder per package; empty when the
// cache is not there.
std::filesystem::path TestDataDir();

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& p);
void WriteFileBytes(const std::filesystem::path& p, const std::vector<uint8_t>& bytes);

// Runs a shell command; returns its exit status and captures stdout (stderr passes through).
int RunCommand(const std::string& command, std::string* output = nullptr);
// Quotes a string for the shell.
std::string ShellQuote(const std::string& s);
// True when the program exists (an absolute path, or found on PATH).
bool HaveProgram(const std::string& name);

}  // namespace lumenax::test

namespace lumenax {
class TLxBitmap;
}

namespace lumenax::test {

// 8-bit RGBA pixels, row-major from the top-left.
struct RgbaImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;
  const uint8_t* at(int x, int y) const { return &rgba[(size_t(y) * width + x) * 4]; }
};

// Decodes a PNG with libpng (16-bit samples scaled to 8, gamma untouched: no sRGB conversion).
bool ReadPngRgba(const std::filesystem::path& p, RgbaImage& out);
// Reads a PAM (P7, RGB_ALPHA or RGB, MAXVAL 255) as written by `lumenax dump` or netpbm.
bool ReadPamRgba(const std::filesystem::path& p, RgbaImage& out);
// Every pixel's PixelAsRGB and its alpha value (255 without an alpha channel).
RgbaImage BitmapToRgba(TLxBitmap& bitmap);
// Number of pixels whose RGBA differ (different sizes count as every pixel).
size_t CountDifferentPixels(const RgbaImage& a, const RgbaImage& b);

}  // namespace lumenax::test
