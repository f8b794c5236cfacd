#include "codecs/png/tests/png_test_util.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/png/png.h"
#include "tests/support/test_support.h"

namespace lumenax::test {

namespace {

void LogProgress(void* data, void*, int percent) {
  auto* log = static_cast<ProgressLog*>(data);
  log->percents.push_back(percent);
  if (log->abortAtFirst && log->aborting) *log->aborting = true;
}

ProgressRecord MakeProgress(bool& aborting, ProgressLog* log) {
  ProgressRecord p;
  p.AbortingPtr = &aborting;
  if (log) {
    log->aborting = &aborting;
    p.OnProgressCode = LogProgress;
    p.OnProgressData = log;
  }
  return p;
}

void AppendBytes(png_structp png, png_bytep data, size_t n) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}

}  // namespace

bool LoadPng(const std::vector<uint8_t>& bytes, TLxBitmap& bitmap, TIOParamsVals& params,
             bool infoOnly, ProgressLog* log, TLxFailureReason* reasonOut, uint64_t maxPixels) {
  bool aborting = false;
  TLxFailureReason reason;
  ProgressRecord progress = MakeProgress(aborting, log);
  progress.ReasonPtr = &reason;
  progress.MaxPixels = maxPixels;
  TLxMemStream stream(bytes.data(), int64_t(bytes.size()));
  ReadPNGStream(stream, bitmap, params, infoOnly, progress);
  if (!(log && log->abortAtFirst)) {
    EXPECT_EQ(aborting, bool(reason)) << reason.Text();
  }
  if (reasonOut) *reasonOut = reason;
  return aborting;
}

std::vector<uint8_t> SavePng(TLxBitmap& bitmap, TIOParamsVals& params, const TLxMask* mask,
                             bool* abortingOut, ProgressLog* log, TLxFailureReason* reasonOut) {
  bool aborting = false;
  TLxFailureReason reason;
  ProgressRecord progress = MakeProgress(aborting, log);
  progress.ReasonPtr = &reason;
  TMemoryStream stream;
  WritePNGStream(stream, bitmap, params, mask, progress);
  if (!(log && log->abortAtFirst)) {
    EXPECT_EQ(aborting, bool(reason)) << reason.Text();
  }
  if (abortingOut) *abortingOut = aborting;
  if (reasonOut) *reasonOut = reason;
  return stream.Bytes();
}

// Test-only encoder: errors become exceptions after the longjmp, in a frame without
// objects to destroy.
namespace {
struct EncodeState {
  const RawPng* in = nullptr;
  std::vector<uint8_t>* out = nullptr;
  std::vector<png_color> palette;
  std::vector<png_text> texts;
  std::vector<png_bytep> rows;
};

bool EncodeWithLibpng(png_structp png, png_infop info, EncodeState* s) {
  if (setjmp(png_jmpbuf(png))) return false;
  const RawPng& in = *s->in;
  png_set_write_fn(png, s->out, AppendBytes, nullptr);
  png_set_IHDR(png, info, png_uint_32(in.width), png_uint_32(in.height), in.depth, in.colorType,
               in.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!s->palette.empty()) png_set_PLTE(png, info, s->palette.data(), int(s->palette.size()));
  if (!in.trnsAlpha.empty() || in.trnsColor) {
    png_color_16 key{};
    if (in.trnsColor) {
      key.gray = (*in.trnsColor)[0];
      key.red = (*in.trnsColor)[0];
      key.green = (*in.trnsColor)[1];
      key.blue = (*in.trnsColor)[2];
    }
    png_set_tRNS(png, info,
                 in.trnsAlpha.empty() ? nullptr : const_cast<png_bytep>(in.trnsAlpha.data()),
                 int(in.trnsAlpha.size()), in.trnsColor ? &key : nullptr);
  }
  if (in.bkgd) {
    png_color_16 b{};
    b.index = png_byte((*in.bkgd)[0]);
    b.red = (*in.bkgd)[1];
    b.gray = (*in.bkgd)[1];
    b.green = (*in.bkgd)[2];
    b.blue = (*in.bkgd)[3];
    png_set_bKGD(png, info, &b);
  }
  if (in.phys) png_set_pHYs(png, info, (*in.phys)[0], (*in.phys)[1], int((*in.phys)[2]));
  if (!s->texts.empty() && !in.textAfterImage)
    png_set_text(png, info, s->texts.data(), int(s->texts.size()));
  png_write_info(png, info);
  png_write_image(png, s->rows.data());
  if (!s->texts.empty() && in.textAfterImage)
    png_set_text(png, info, s->texts.data(), int(s->texts.size()));
  png_write_end(png, info);
  return true;
}
}  // namespace

std::vector<uint8_t> EncodeRawPng(const RawPng& in) {
  std::vector<uint8_t> out;
  EncodeState s;
  s.in = &in;
  s.out = &out;
  for (auto& c : in.palette) s.palette.push_back(png_color{c[0], c[1], c[2]});
  for (auto& t : in.texts) {
    png_text pt{};
    pt.compression = in.zTXt ? PNG_TEXT_COMPRESSION_zTXt : PNG_TEXT_COMPRESSION_NONE;
    pt.key = const_cast<char*>(t.first.c_str());
    pt.text = const_cast<char*>(t.second.c_str());
    pt.text_length = t.second.size();
    s.texts.push_back(pt);
  }
  for (auto& r : in.rows) s.rows.push_back(const_cast<png_bytep>(r.data()));
  if (int(s.rows.size()) != in.height) throw std::runtime_error("EncodeRawPng: row count");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  bool ok = EncodeWithLibpng(png, info, &s);
  png_destroy_write_struct(&png, &info);
  if (!ok) throw std::runtime_error("EncodeRawPng: libpng refused the image");
  return out;
}

std::filesystem::path PngSuiteDir() {
  std::filesystem::path d = CorpusDir();
  return d.empty() ? d : d / "pngsuite";
}

std::vector<std::filesystem::path> PngSuiteFiles(bool corrupt) {
  std::vector<std::filesystem::path> files;
  for (auto& e : std::filesystem::directory_iterator(PngSuiteDir() / "png")) {
    std::string name = e.path().filename().string();
    if (e.path().extension() == ".png" && (name[0] == 'x') == corrupt) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<int> PngSuiteExpected(const std::string& stem, std::vector<int>* rounded) {
  const std::filesystem::path json = PngSuiteDir() / "json";
  std::vector<int> v = ReadJsonInts(json / (stem + ".json"));
  if (std::any_of(v.begin(), v.end(), [](int s) { return s > 255; }) ||
      std::filesystem::exists(json / (stem + "_to8.json"))) {
    for (int& s : v) s >>= 8;
    if (rounded) *rounded = ReadJsonInts(json / (stem + "_to8.json"));
  }
  return v;
}

std::vector<int> ReadJsonInts(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  std::vector<int> values;
  int v = 0;
  bool inNumber = false;
  for (char ch : text) {
    if (std::isdigit(static_cast<unsigned char>(ch))) {
      v = v * 10 + (ch - '0');
      inNumber = true;
    } else if (inNumber) {
      values.push_back(v);
      v = 0;
      inNumber = false;
    }
  }
  if (inNumber) values.push_back(v);
  return values;
}

void MaskFromAlpha(TLxBitmap& bitmap, TLxMask& mask) {
  bitmap.AlphaChannel()->CopyToMask(mask);
}

}  // namespace lumenax::test
