// The floor of bench/jp2.sh: libopenjp2 called directly with the library's settings (one
// quality layer, the reversible 5/3 wavelet, the colour transform, layer-resolution order;
// a rate below 1 asks for that fraction of the raw size). Decoding ends with the components
// interleaved into blue-green-red rows of one whole-image block, as a load into a bitmap
// does; encoding starts from such rows. Blocks are allocated as the library allocates
// bitmaps (2 MiB pages). Threads as OpenJPEG's default (OPJ_NUM_THREADS, as for the library).
// Nothing of the library is linked.
//   jp2_floor decode FILE
//   jp2_floor encode IN.bgr W H RATE OUT.jp2
// Prints the wall and processor seconds of the decode or the encode.
#include <openjpeg.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "floor_util.h"

using floor_util::Cpu;
using floor_util::Now;
using floor_util::PixelBlock;

namespace {

size_t Stride(int w) {
  return (size_t(w) * 3 + 3) / 4 * 4;
}

bool Decode(const char* name) {
  opj_stream_t* stream = opj_stream_create_default_file_stream(name, OPJ_TRUE);
  opj_codec_t* codec = opj_create_decompress(OPJ_CODEC_JP2);
  opj_dparameters_t p;
  opj_set_default_decoder_parameters(&p);
  opj_image_t* image = nullptr;
  bool ok = stream && codec && opj_setup_decoder(codec, &p) &&
            opj_read_header(stream, codec, &image) && opj_decode(codec, stream, image) &&
            opj_end_decompress(codec, stream) && image->numcomps >= 3;
  if (ok) {
    const int w = int(image->comps[0].w), h = int(image->comps[0].h);
    unsigned char* px = PixelBlock(Stride(w) * h);
    ok = px != nullptr;
    for (int y = 0; ok && y < h; ++y) {
      unsigned char* row = px + Stride(w) * y;
      const OPJ_INT32* r = image->comps[0].data + size_t(w) * y;
      const OPJ_INT32* g = image->comps[1].data + size_t(w) * y;
      const OPJ_INT32* b = image->comps[2].data + size_t(w) * y;
      for (int x = 0; x < w; ++x) {
        row[3 * x] = (unsigned char)std::clamp(b[x], 0, 255);
        row[3 * x + 1] = (unsigned char)std::clamp(g[x], 0, 255);
        row[3 * x + 2] = (unsigned char)std::clamp(r[x], 0, 255);
      }
    }
    std::free(px);
  }
  if (image) opj_image_destroy(image);
  if (codec) opj_destroy_codec(codec);
  if (stream) opj_stream_destroy(stream);
  return ok;
}

bool Encode(const unsigned char* px, int w, int h, double rate, const char* out) {
  opj_image_cmptparm_t cp[3] = {};
  for (auto& c : cp) {
    c.dx = c.dy = 1;
    c.w = OPJ_UINT32(w);
    c.h = OPJ_UINT32(h);
    c.prec = 8;
    c.sgnd = 0;
  }
  opj_image_t* image = opj_image_create(3, cp, OPJ_CLRSPC_SRGB);
  if (!image) return false;
  image->x1 = OPJ_UINT32(w);
  image->y1 = OPJ_UINT32(h);
  for (int y = 0; y < h; ++y) {
    const unsigned char* row = px + Stride(w) * y;
    const size_t at = size_t(w) * y;
    for (int x = 0; x < w; ++x) {
      image->comps[0].data[at + x] = row[3 * x + 2];
      image->comps[1].data[at + x] = row[3 * x + 1];
      image->comps[2].data[at + x] = row[3 * x];
    }
  }
  opj_cparameters_t p;
  opj_set_default_encoder_parameters(&p);
  p.tcp_numlayers = 1;
  p.cp_disto_alloc = 1;
  p.tcp_rates[0] = rate > 0 && rate < 1 ? float(1.0 / rate) : 0.0f;
  p.irreversible = 0;
  p.prog_order = OPJ_LRCP;
  while (p.numresolution > 1 && (1 << (p.numresolution - 1)) > std::min(w, h)) --p.numresolution;
  p.tcp_mct = 1;
  opj_codec_t* codec = opj_create_compress(OPJ_CODEC_JP2);
  opj_stream_t* stream = opj_stream_create_default_file_stream(out, OPJ_FALSE);
  const bool ok = codec && stream && opj_setup_encoder(codec, &p, image) &&
                  opj_start_compress(codec, image, stream) && opj_encode(codec, stream) &&
                  opj_end_compress(codec, stream);
  if (stream) opj_stream_destroy(stream);
  if (codec) opj_destroy_codec(codec);
  opj_image_destroy(image);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  double t0 = 0, c0 = 0;
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (mode == "decode" && argc == 3) {
    t0 = Now();
    c0 = Cpu();
    if (!Decode(argv[2])) return 1;
  } else if (mode == "encode" && argc == 7) {
    const int w = std::atoi(argv[3]), h = std::atoi(argv[4]);
    unsigned char* px = PixelBlock(Stride(w) * h);
    FILE* f = std::fopen(argv[2], "rb");
    if (!px || !f) return 1;
    for (int y = 0; y < h; ++y)
      if (std::fread(px + Stride(w) * y, 1, size_t(w) * 3, f) != size_t(w) * 3) return 1;
    std::fclose(f);
    t0 = Now();
    c0 = Cpu();
    if (!Encode(px, w, h, std::atof(argv[5]), argv[6])) return 1;
    std::free(px);
  } else {
    std::fprintf(stderr, "usage: jp2_floor decode FILE | encode IN.bgr W H RATE OUT.jp2\n");
    return 2;
  }
  std::printf("%.4f %.4f\n", Now() - t0, Cpu() - c0);
  return 0;
}
