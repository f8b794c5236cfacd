#include "tests/support/test_support.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace lumenax::test {

TempDir::TempDir() {
  const char* env = std::getenv("TMPDIR");
  std::string templ = std::string(env && *env ? env : "/tmp") + "/lxtest-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path SourceDir() {
  if (const char* env = std::getenv("LX_SOURCE_DIR"); env && *env) return env;
  return LX_SOURCE_DIR;
}

std::filesystem::path CorpusDir() {
  if (const char* env = std::getenv("LX_CORPUS_DIR"); env && *env) return env;
  std::filesystem::path p = SourceDir() / ".." / "shared" / "corpus";
  std::error_code ec;
  if (std::filesystem::is_directory(p, ec)) return std::filesystem::weakly_canonical(p, ec);
  return {};
}

std::filesystem::path TestDataDir() {
  if (const char* env = std::getenv("LX_TEST_DATA_DIR"); env && *env) return env;
  const char* home = std::getenv("HOME");
  std::filesystem::path p =
      std::filesystem::path(home && *home ? home : "/root") / ".cache" / "lumenax-test-data";
  std::error_code ec;
  if (std::filesystem::is_directory(p, ec)) return p;
  return {};
}

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

void WriteFileBytes(const std::filesystem::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::array<char, 65536> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) {
    if (output) output->append(buf.data(), n);
  }
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

bool HaveProgram(const std::string& name) {
  return RunCommand("command -v " + ShellQuote(name) + " >/dev/null 2>&1") == 0;
}

}  // namespace lumenax::test

#include <png.h>

#include <sstream>

#include "bitmap/bitmap.h"

namespace lumenax::test {

namespace {

[[noreturn]] void PngFailed(png_structp png, png_const_charp) {
  png_longjmp(png, 1);
}
void PngWarned(png_structp, png_const_charp) {}

// Decodes to 8-bit RGBA with libpng's transformations and none of its colour handling (the
// simplified API would convert files with a gAMA chunk to sRGB). Holds no C++ object across
// setjmp; `out` belongs to the caller.
bool DecodePngRgba(FILE* f, RgbaImage* out) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngFailed, PngWarned);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    return false;
  }
  png_init_io(png, f);
  png_read_info(png, info);
  png_set_expand(png);  // palette to RGB, low gray depths to 8 bits, tRNS to alpha
  png_set_scale_16(png);
  png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
  int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  out->width = int(png_get_image_width(png, info));
  out->height = int(png_get_image_height(png, info));
  if (png_get_rowbytes(png, info) != size_t(out->width) * 4) png_error(png, "not RGBA");
  out->rgba.assign(size_t(out->width) * out->height * 4, 0);
  for (int pass = 0; pass < passes; ++pass)
    for (int y = 0; y < out->height; ++y)
      png_read_row(png, &out->rgba[size_t(y) * out->width * 4], nullptr);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

}  // namespace

bool ReadPngRgba(const std::filesystem::path& p, RgbaImage& out) {
  FILE* f = std::fopen(p.c_str(), "rb");
  if (!f) return false;
  bool ok = DecodePngRgba(f, &out);
  std::fclose(f);
  return ok;
}

bool ReadPamRgba(const std::filesystem::path& p, RgbaImage& out) {
  std::vector<uint8_t> bytes = ReadFileBytes(p);
  std::string head(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 512));
  size_t end = head.find("ENDHDR\n");
  if (head.rfind("P7\n", 0) != 0 || end == std::string::npos) return false;
  std::istringstream in(head.substr(3, end - 3));
  std::string key, tupltype;
  int w = 0, h = 0, depth = 0, maxval = 0;
  while (in >> key) {
    if (key == "WIDTH")
      in >> w;
    else if (key == "HEIGHT")
      in >> h;
    else if (key == "DEPTH")
      in >> depth;
    else if (key == "MAXVAL")
      in >> maxval;
    else if (key == "TUPLTYPE")
      in >> tupltype;
  }
  size_t offset = end + 7;
  if (maxval != 255 || (depth != 3 && depth != 4) || bytes.size() < offset + size_t(w) * h * depth)
    return false;
  out.width = w;
  out.height = h;
  out.rgba.assign(size_t(w) * h * 4, 255);
  for (size_t i = 0; i < size_t(w) * h; ++i)
    for (int c = 0; c < depth; ++c) out.rgba[i * 4 + c] = bytes[offset + i * depth + c];
  return true;
}

RgbaImage BitmapToRgba(TLxBitmap& bitmap) {
  RgbaImage img;
  img.width = bitmap.Width();
  img.height = bitmap.Height();
  img.rgba.assign(size_t(img.width) * img.height * 4, 255);
  bool alpha = bitmap.HasAlphaChannel();
  for (int y = 0; y < img.height; ++y) {
    for (int x = 0; x < img.width; ++x) {
      TRGB c = bitmap.PixelAsRGB(x, y);
      uint8_t* p = &img.rgba[(size_t(y) * img.width + x) * 4];
      p[0] = c.r, p[1] = c.g, p[2] = c.b;
      if (alpha) p[3] = bitmap.GetAlphaValue(x, y);
    }
  }
  return img;
}

size_t CountDifferentPixels(const RgbaImage& a, const RgbaImage& b) {
  if (a.width != b.width || a.height != b.height)
    return size_t(std::max(a.width * a.height, b.width * b.height));
  size_t n = 0;
  for (size_t i = 0; i < a.rgba.size(); i += 4)
    if (std::memcmp(&a.rgba[i], &b.rgba[i], 4) != 0) ++n;
  return n;
}

}  // namespace lumenax::test
