// JPEG 2000 writer: lx24RGB or lx1g bitmaps as a JP2 file or a bare code stream through
// OpenJPEG.
//
// Gray images have one component of the record's precision, colour images three (red, green,
// blue) and an opacity component when the alpha channel is not fully opaque. Jp2Rate between 0
// and 1 asks for that fraction of the raw size in one quality layer; any other rate encodes
// losslessly with the reversible 5/3 wavelet. Encoder and stream failures are reported.
#include <algorithm>
#include <cstring>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/conversion.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/jp2/jp2.h"
#include "codecs/jp2/jp2_openjpeg.h"
#include "io/params.h"

namespace lumenax {

void WriteJp2Stream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, int format,
                    ProgressRecord& progress) {
  const PixelFormat pf = bitmap.PixelFormat();
  if (bitmap.IsEmpty() || (pf != lx24RGB && pf != lx1g)) {
    progress.Fail(bitmap.IsEmpty() ? TLxFailure::NoImage : TLxFailure::Unsupported,
                  "the writer takes 24-bit or bilevel images");
    return;
  }
  if (params.BitsPerSample < 1 || params.BitsPerSample > 16) params.BitsPerSample = 8;
  if (params.Jp2ColorSpace > 2) params.Jp2ColorSpace = 1;
  if (pf == lx1g) {
    params.BitsPerSample = 1;
    params.Jp2ColorSpace = 0;
  }
  const int w = bitmap.Width(), h = bitmap.Height();
  const uint32_t prec = uint32_t(params.BitsPerSample);
  const uint32_t maximum = (1u << prec) - 1;
  const bool gray = params.Jp2ColorSpace == 0;
  const bool alpha = !gray && bitmap.HasAlphaChannel() && !bitmap.AlphaChannel()->AllOpaque;
  const uint32_t numcomps = gray ? 1 : alpha ? 4 : 3;

  opj_image_cmptparm_t cp[4];
  std::memset(cp, 0, sizeof cp);
  for (uint32_t c = 0; c < numcomps; ++c) {
    cp[c].dx = cp[c].dy = 1;
    cp[c].w = uint32_t(w);
    cp[c].h = uint32_t(h);
    cp[c].prec = prec;
    cp[c].sgnd = 0;
  }
  OpjImage image(opj_image_create(numcomps, cp, gray ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB));
  if (!image) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the encoder's image");
    return;
  }
  image->x0 = image->y0 = 0;
  image->x1 = uint32_t(w);
  image->y1 = uint32_t(h);
  if (alpha) image->comps[3].alpha = 1;

  // Samples: 8-bit values v become v * maximum / 255, truncated.
  auto widen = [maximum](uint32_t v) { return OPJ_INT32(v * maximum / 255); };
  TLxBitmap* alphaChannel = alpha ? bitmap.AlphaChannel() : nullptr;
  progress.BeginRows(h);
  for (int y = 0; y < h; ++y) {
    if (progress.Aborting()) return;
    const uint8_t* row = bitmap.ScanLine(y);
    const size_t at = size_t(y) * size_t(w);
    if (pf == lx1g) {
      for (int x = 0; x < w; ++x)
        image->comps[0].data[at + size_t(x)] = (row[x >> 3] >> (7 - (x & 7))) & 1;
    } else if (gray) {
      for (int x = 0; x < w; ++x)
        image->comps[0].data[at + size_t(x)] =
            widen(uint32_t(Gray8(row[3 * x + 2], row[3 * x + 1], row[3 * x])));
    } else {
      for (int x = 0; x < w; ++x) {
        image->comps[0].data[at + size_t(x)] = widen(row[3 * x + 2]);
        image->comps[1].data[at + size_t(x)] = widen(row[3 * x + 1]);
        image->comps[2].data[at + size_t(x)] = widen(row[3 * x]);
      }
    }
    if (alphaChannel) {
      const uint8_t* a = alphaChannel->ScanLine(y);
      for (int x = 0; x < w; ++x) image->comps[3].data[at + size_t(x)] = widen(a[x]);
    }
    progress.RowDone();
  }

  opj_cparameters_t p;
  opj_set_default_encoder_parameters(&p);
  p.tcp_numlayers = 1;
  p.cp_disto_alloc = 1;
  const double rate = params.Jp2Rate;
  p.tcp_rates[0] = rate > 0 && rate < 1 ? float(1.0 / rate) : 0.0f;
  p.irreversible = 0;
  p.prog_order = params.Jp2ProgressionOrder == 1 ? OPJ_RLCP : OPJ_LRCP;
  // Every resolution level halves the image: stop before the smallest side would vanish.
  const int smallest = std::min(w, h);
  while (p.numresolution > 1 && (1 << (p.numresolution - 1)) > smallest) --p.numresolution;
  p.tcp_mct = numcomps >= 3 ? 1 : 0;

  OpjStreamState state;
  state.Stream = &stream;
  state.Base = stream.Position();
  state.Writing = true;
  OpjMessages messages;
  OpjCodec codec(
      opj_create_compress(format == kJp2FormatCodeStream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2));
  OpjStream out = MakeOpjStream(state);
  if (!codec || !out) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the encoder");
    return;
  }
  messages.Attach(codec.get());
  const bool ok = opj_setup_encoder(codec.get(), &p, image.get()) &&
                  opj_start_compress(codec.get(), image.get(), out.get()) &&
                  opj_encode(codec.get(), out.get()) && opj_end_compress(codec.get(), out.get());
  // Buffered bytes reach the stream when OpenJPEG's stream is destroyed.
  out.reset();
  if (state.WriteFailed) {
    progress.Fail(TLxFailure::WriteFailed, state.Base + state.Written, "short write");
  } else if (!ok) {
    progress.Fail(TLxFailure::WriteFailed, messages.Or("encoder failed"));
  } else {
    stream.Seek(state.Base + state.Written, soBeginning);
  }
}

}  // namespace lumenax
