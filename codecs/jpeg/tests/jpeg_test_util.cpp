#include "codecs/jpeg/tests/jpeg_test_util.h"

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <jpeglib.h>

#include "bitmap/stream.h"
#include "tests/support/test_support.h"

namespace lumenax::test {

std::unique_ptr<Decoded> Decode(const Bytes& bytes, TLxJpegReadOptions options,
                                void (*prepare)(TIOParamsVals&), const Bytes* tables) {
  auto d = std::make_unique<Decoded>();
  if (prepare) prepare(d->params);
  TLxMemStream stream(bytes.data(), int64_t(bytes.size()));
  TLxMemStream tableStream(tables ? tables->data() : nullptr, tables ? int64_t(tables->size()) : 0);
  if (tables) options.TablesStream = &tableStream;
  ProgressRecord progress;
  progress.AbortingPtr = &d->aborting;
  progress.ReasonPtr = &d->reason;
  d->rows = ReadJpegStream(stream, d->bitmap, d->params, options, progress);
  return d;
}

Bytes Encode(TLxBitmap& bitmap, TIOParamsVals& params) {
  TMemoryStream out;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  WriteJpegStream(out, bitmap, params, progress);
  if (aborting) throw std::runtime_error("JPEG write failed");
  Bytes b(size_t(out.Size()));
  out.Seek(0, soBeginning);
  out.Read(b.data(), int64_t(b.size()));
  return b;
}

namespace {

struct TestError {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

[[noreturn]] void TestErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<TestError*>(cinfo->err)->jump, 1);
}

bool EncodeInto(const RawEncode& how, const Bytes& samples, unsigned char** out,
                unsigned long* outSize) {
  jpeg_compress_struct c;
  TestError err;
  c.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = TestErrorExit;
  if (setjmp(err.jump)) {
    char text[JMSG_LENGTH_MAX];
    err.pub.format_message(reinterpret_cast<j_common_ptr>(&c), text);
    std::fprintf(stderr, "libjpeg: %s\n", text);
    jpeg_destroy_compress(&c);
    return false;
  }
  jpeg_create_compress(&c);
  jpeg_mem_dest(&c, out, outSize);
  c.image_width = JDIMENSION(how.width);
  c.image_height = JDIMENSION(how.height);
  c.input_components = how.components;
  c.in_color_space = J_COLOR_SPACE(how.inSpace);
  jpeg_set_defaults(&c);
  jpeg_set_colorspace(&c, J_COLOR_SPACE(how.jpegSpace));
  jpeg_set_quality(&c, how.quality, TRUE);
  if (how.progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  for (const auto& [code, data] : how.markers)
    jpeg_write_marker(&c, code, data.data(), unsigned(data.size()));
  while (c.next_scanline < c.image_height) {
    JSAMPROW row =
        const_cast<JSAMPROW>(samples.data() + size_t(c.next_scanline) * how.width * how.components);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  return true;
}

void Put16(Bytes& b, size_t v) {
  b.push_back(uint8_t(v >> 8));
  b.push_back(uint8_t(v));
}

}  // namespace

Bytes EncodeSamples(const RawEncode& how, const Bytes& samples) {
  unsigned char* out = nullptr;
  unsigned long size = 0;
  bool ok = EncodeInto(how, samples, &out, &size);
  Bytes b;
  if (ok) b.assign(out, out + size);
  std::free(out);
  if (!ok) throw std::runtime_error("libjpeg refused the test image");
  return b;
}

void SplitTables(const Bytes& jpeg, Bytes& tables, Bytes& image) {
  tables = {0xFF, 0xD8};
  image = {0xFF, 0xD8};
  size_t i = 2;
  while (i + 4 <= jpeg.size()) {
    uint8_t code = jpeg[i + 1];
    if (code == 0xDA) {
      image.insert(image.end(), jpeg.begin() + long(i), jpeg.end());
      break;
    }
    size_t len = size_t(jpeg[i + 2]) << 8 | jpeg[i + 3];
    Bytes& to = code == 0xDB || code == 0xC4 ? tables : image;
    to.insert(to.end(), jpeg.begin() + long(i), jpeg.begin() + long(i + 2 + len));
    i += 2 + len;
  }
  tables.push_back(0xFF);
  tables.push_back(0xD9);
}

Bytes InsertSegment(const Bytes& jpeg, uint8_t code, const Bytes& data, size_t at) {
  Bytes seg = {0xFF, code};
  Put16(seg, data.size() + 2);
  seg.insert(seg.end(), data.begin(), data.end());
  Bytes out(jpeg.begin(), jpeg.begin() + long(at));
  out.insert(out.end(), seg.begin(), seg.end());
  out.insert(out.end(), jpeg.begin() + long(at), jpeg.end());
  return out;
}

void FillPattern(TLxBitmap& bitmap, int seed) {
  for (int y = 0; y < bitmap.Height(); ++y) {
    uint8_t* row = bitmap.ScanLine(y);
    for (int x = 0; x < bitmap.Width(); ++x) {
      row[3 * x] = uint8_t(128 + 100 * std::sin((x + seed) * 0.05));
      row[3 * x + 1] = uint8_t((x * 3 + y * 2 + seed) & 255);
      row[3 * x + 2] = uint8_t(128 + 90 * std::cos((y - seed) * 0.07 + x * 0.01));
    }
  }
}

bool ReadPnm(const std::filesystem::path& p, Pnm& out) {
  std::ifstream in(p, std::ios::binary);
  std::string magic;
  int maxval = 0;
  in >> magic >> out.width >> out.height >> maxval;
  if (!in || maxval != 255 || (magic != "P5" && magic != "P6")) return false;
  in.get();
  out.channels = magic == "P5" ? 1 : 3;
  out.samples.resize(size_t(out.width) * out.height * out.channels);
  in.read(reinterpret_cast<char*>(out.samples.data()), std::streamsize(out.samples.size()));
  return bool(in);
}

Bytes BitmapSamples(TLxBitmap& bitmap) {
  Bytes out;
  const bool gray = bitmap.PixelFormat() == lx8g;
  for (int y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* row = bitmap.ScanLine(y);
    for (int x = 0; x < bitmap.Width(); ++x) {
      if (gray) {
        out.push_back(row[x]);
      } else {
        out.push_back(row[3 * x + 2]);
        out.push_back(row[3 * x + 1]);
        out.push_back(row[3 * x]);
      }
    }
  }
  return out;
}

std::filesystem::path GoTestData() {
  std::filesystem::path d = TestDataDir();
  if (d.empty()) return {};
  d /= "golang-1.19-src/usr/share/go-1.19/src/image/testdata";
  return std::filesystem::is_directory(d) ? d : std::filesystem::path();
}

double Psnr(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    double d = double(a[i]) - double(b[i]);
    sum += d * d;
  }
  if (sum == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 / (sum / double(a.size())));
}

}  // namespace lumenax::test
