// The resampling dispatcher and the simple algorithms: nearest-neighbour copy, fast linear
// and black-and-white projection.
#include "process/resample.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "process/resample_internal.h"

namespace lumenax {

namespace {

const char* const kFilterNames[kResampleFilterCount] = {
    "rfNone",     "rfTriangle", "rfHermite",   "rfBell",      "rfBSpline",
    "rfLanczos3", "rfMitchell", "rfNearest",   "rfLinear",    "rfFastLinear",
    "rfBilinear", "rfBicubic",  "rfProjectBW", "rfProjectWB",
};

bool IsKernelFilter(TResampleFilter f) {
  return f >= rfTriangle && f <= rfLinear;
}

}  // namespace

const char* ResampleFilterName(TResampleFilter filter) {
  return filter < kResampleFilterCount ? kFilterNames[filter] : nullptr;
}

bool ResampleFilterFromName(std::string_view name, TResampleFilter& filter) {
  if (name.empty()) return false;
  if (std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    if (name.size() > 2) return false;
    int v = std::stoi(std::string(name));
    if (v >= kResampleFilterCount) return false;
    filter = TResampleFilter(v);
    return true;
  }
  std::string lower;
  for (char c : name) lower += char(std::tolower(static_cast<unsigned char>(c)));
  if (lower.rfind("rf", 0) == 0) lower.erase(0, 2);
  for (int i = 0; i < kResampleFilterCount; ++i) {
    std::string candidate;
    for (const char* p = kFilterNames[i] + 2; *p; ++p)
      candidate += char(std::tolower(static_cast<unsigned char>(*p)));
    if (candidate == lower) {
      filter = TResampleFilter(i);
      return true;
    }
  }
  return false;
}

PixelFormat ResampledPixelFormat(PixelFormat source, TResampleFilter filter) {
  if (source == lxNone || source >= kPixelFormatCount || filter >= kResampleFilterCount)
    return lxNone;
  if (filter == rfNone) return source;
  bool projection = filter == rfProjectBW || filter == rfProjectWB;
  switch (source) {
    case lx1g:
    case lx24RGB:
      return projection ? lx1g : lx24RGB;
    case lx8g:
      return projection ? lxNone : lx8g;
    case lx16g:
    case lxRGB48:
      return filter == rfBilinear || filter == rfBicubic ? source : lxNone;
    default:
      return lxNone;
  }
}

bool ResampleSupported(PixelFormat source, TResampleFilter filter) {
  return ResampledPixelFormat(source, filter) != lxNone;
}

namespace resample_detail {

// ---------------------------------------------------------------- rows in and out

BitmapRows8::BitmapRows8(TLxBitmap& bitmap, TLxBitmap* grayUnder)
    : bitmap_(bitmap), alpha_(bitmap.PixelFormat() == lx24RGB ? grayUnder : nullptr) {
  Width = bitmap.Width();
  Height = bitmap.Height();
  Channels = bitmap.PixelFormat() == lx24RGB ? 3 : 1;
  if (alpha_ || bitmap.PixelFormat() == lx1g) row_.resize(size_t(Width) * size_t(Channels));
}

const uint8_t* BitmapRows8::Row(int y) {
  uint8_t* s = bitmap_.ScanLine(y);
  if (bitmap_.PixelFormat() == lx1g) {
    for (int x = 0; x < Width; ++x) row_[size_t(x)] = (s[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
    return row_.data();
  }
  if (!alpha_) return s;
  std::memcpy(row_.data(), s, row_.size());
  const uint8_t* a = alpha_->ScanLine(y);
  for (int x = 0; x < Width; ++x) {
    if (a[x] == 0) std::memset(&row_[size_t(x) * 3], 128, 3);
  }
  return row_.data();
}

RowSink8::RowSink8(TLxBitmap& target, int channels)
    : target_(target), channels_(channels), width_(target.Width()), height_(target.Height()) {
  // Slack for vector stores that write a few bytes past the last pixel.
  buffer_.resize(size_t(width_) * size_t(channels) + 64);
}

void RowSink8::Put(int y) {
  uint8_t* t = target_.ScanLine(y);
  const uint8_t* b = buffer_.data();
  switch (target_.PixelFormat()) {
    case lx1g: {
      int bytes = (width_ + 7) / 8;
      for (int k = 0; k < bytes; ++k) {
        uint8_t v = 0;
        int n = std::min(8, width_ - k * 8);
        for (int bit = 0; bit < n; ++bit)
          if (b[k * 8 + bit] >= 128) v |= uint8_t(0x80 >> bit);
        t[k] = v;
      }
      break;
    }
    case lx24RGB:
      if (channels_ == 3) {
        std::memcpy(t, b, size_t(width_) * 3);
      } else {
        for (int x = 0; x < width_; ++x) t[3 * x] = t[3 * x + 1] = t[3 * x + 2] = b[x];
      }
      break;
    default:
      std::memcpy(t, b, size_t(width_) * size_t(channels_));
      break;
  }
}

// ---------------------------------------------------------------- nearest-neighbour copy

Outcome NearestCopy(TLxBitmap& source, TLxBitmap* grayUnder, TLxBitmap& target,
                    Progress& progress) {
  const int W = source.Width(), H = source.Height();
  const int W2 = target.Width(), H2 = target.Height();
  const int bits = source.BitCount();
  const size_t bytes = size_t(bits / 8);
  const double sx = double(W) / W2, sy = double(H) / H2;
  std::vector<int> column(static_cast<size_t>(W2));
  for (int i = 0; i < W2; ++i) column[size_t(i)] = std::min(W - 1, int(i * sx));
  std::vector<uint8_t> out(size_t(target.RowLen()));
  RowAccessScope readOnly(source, raRead);
  RowAccessScope writeOnly(target, raWrite);
  std::unique_ptr<BitmapRows8> gray;
  if (grayUnder && source.PixelFormat() == lx24RGB)
    gray = std::make_unique<BitmapRows8>(source, grayUnder);
  int built = -1;
  for (int j = 0; j < H2; ++j) {
    int y = std::min(H - 1, int(j * sy));
    if (y != built) {
      const uint8_t* s = gray ? gray->Row(y) : source.ScanLine(y);
      if (bits == 1) {
        std::fill(out.begin(), out.end(), uint8_t(0));
        for (int i = 0; i < W2; ++i) {
          int x = column[size_t(i)];
          if (s[x >> 3] & (0x80 >> (x & 7))) out[size_t(i >> 3)] |= uint8_t(0x80 >> (i & 7));
        }
      } else if (bytes == 1) {
        for (int i = 0; i < W2; ++i) out[size_t(i)] = s[column[size_t(i)]];
      } else if (bytes == 3) {
        for (int i = 0; i < W2; ++i) {
          const uint8_t* p = s + size_t(column[size_t(i)]) * 3;
          uint8_t* o = &out[size_t(i) * 3];
          o[0] = p[0], o[1] = p[1], o[2] = p[2];
        }
      } else {
        for (int i = 0; i < W2; ++i)
          std::memcpy(&out[size_t(i) * bytes], s + size_t(column[size_t(i)]) * bytes, bytes);
      }
      built = y;
    }
    std::memcpy(target.ScanLine(j), out.data(), out.size());
    if (!progress.Step(int(j * 100 / (H2 + 0.5)))) return Outcome::Cancelled;
  }
  if (source.PixelFormat() == lx8p) {
    for (int i = 0; i < std::min(source.PaletteCount(), target.PaletteCount()); ++i)
      target.SetPaletteEntry(i, source.GetPaletteEntry(i));
  }
  return Outcome::Done;
}

// ---------------------------------------------------------------- fast linear

Outcome FastLinear(RowSource8& source, RowSink8& sink, Progress& progress) {
  const int W = source.Width, H = source.Height, C = source.Channels;
  const int W2 = sink.Width(), H2 = sink.Height();
  const double rx = double(W2) / W, ry = double(H2) / H;
  const size_t rowBytes = size_t(W2) * size_t(C);
  const double total = H + H2 + 0.5;

  // Columns: the interpolation start and fraction when enlarging, the span when reducing.
  std::vector<int> x0(static_cast<size_t>(W2)), x1(static_cast<size_t>(W2)),
      q(static_cast<size_t>(W2));
  for (int i = 0; i < W2; ++i) {
    double x = i / rx;
    int a = std::min(W - 1, int(x));
    x0[size_t(i)] = a;
    q[size_t(i)] = int((x - int(x)) * kFastLinearScale);
    int b = int(std::min(i + 1, W2 - 1) / rx + kFastLinearSpanNudge);
    x1[size_t(i)] = std::clamp(b, a, W - 1);
  }

  TLxWorkBitmap work;
  if (!work.Allocate(W2, H, 8 * C)) return Outcome::OutOfMemory;
  for (int y = 0; y < H; ++y) {
    const uint8_t* s = source.Row(y);
    uint8_t* w = work.ScanLine(y);
    if (W2 == W) {
      // An axis whose size does not change is copied as it is.
      std::memcpy(w, s, rowBytes);
    } else if (rx > 1) {
      for (int i = 0; i < W2; ++i) {
        const uint8_t* pa = s + size_t(x0[size_t(i)]) * C;
        const uint8_t* pb = s + size_t(std::min(x0[size_t(i)] + 1, W - 1)) * C;
        int f = q[size_t(i)];
        for (int c = 0; c < C; ++c)
          w[i * C + c] = uint8_t(pa[c] + (pb[c] - pa[c]) * f / kFastLinearScale);
      }
    } else {
      for (int i = 0; i < W2; ++i) {
        int a = x0[size_t(i)], b = x1[size_t(i)];
        for (int c = 0; c < C; ++c) {
          int sum = 0;
          for (int k = a; k <= b; ++k) sum += s[size_t(k) * C + c];
          w[i * C + c] = uint8_t(sum / (b - a + 1));
        }
      }
    }
    if (!progress.Step(int(y * 100 / total))) return Outcome::Cancelled;
  }

  std::vector<int> sums(rowBytes);
  for (int j = 0; j < H2; ++j) {
    uint8_t* t = sink.Buffer();
    if (H2 == H) {
      std::memcpy(t, work.ScanLine(j), rowBytes);
    } else if (ry > 1) {
      double y = j / ry;
      int y0 = std::min(H - 1, int(y));
      int f = int((y - int(y)) * kFastLinearScale);
      const uint8_t* a = work.ScanLine(y0);
      const uint8_t* b = work.ScanLine(std::min(y0 + 1, H - 1));
      for (size_t k = 0; k < rowBytes; ++k)
        t[k] = uint8_t(a[k] + (b[k] - a[k]) * f / kFastLinearScale);
    } else {
      int ya = std::min(H - 1, int(j / ry));
      int yb = std::clamp(int(std::min(j + 1, H2 - 1) / ry), ya, H - 1);
      std::fill(sums.begin(), sums.end(), 0);
      for (int r = ya; r <= yb; ++r) {
        const uint8_t* a = work.ScanLine(r);
        for (size_t k = 0; k < rowBytes; ++k) sums[k] += a[k];
      }
      int n = yb - ya + 1;
      for (size_t k = 0; k < rowBytes; ++k) t[k] = uint8_t(sums[k] / n);
    }
    sink.Put(j);
    if (!progress.Step(int((H + j) * 100 / total))) return Outcome::Cancelled;
  }
  return Outcome::Done;
}

// ---------------------------------------------------------------- projection

Outcome Project(RowSource8& source, RowSink8& sink, bool whiteWins, Progress& progress) {
  const int W = source.Width, H = source.Height, C = source.Channels;
  const int W2 = sink.Width(), H2 = sink.Height();
  // Span of target column i: t(i - 1) .. t(i), both ends included; column 0 is source column
  // 0 alone and the last column reaches the last source column.
  auto spans = [](int n, int n2, std::vector<int>& lo, std::vector<int>& hi) {
    lo.resize(size_t(n2));
    hi.resize(size_t(n2));
    double ratio = double(n) / n2;
    auto t = [&](int i) { return std::min(n - 1, int(i * ratio)); };
    for (int i = 0; i < n2; ++i) {
      lo[size_t(i)] = i == 0 ? 0 : t(i - 1);
      hi[size_t(i)] = i == n2 - 1 ? n - 1 : std::max(lo[size_t(i)], t(i));
    }
  };
  std::vector<int> colLo, colHi, rowLo, rowHi;
  spans(W, W2, colLo, colHi);
  spans(H, H2, rowLo, rowHi);
  std::vector<uint8_t> hit(static_cast<size_t>(W));
  const uint8_t on = whiteWins ? 255 : 0, off = whiteWins ? 0 : 255;
  for (int j = 0; j < H2; ++j) {
    std::fill(hit.begin(), hit.end(), uint8_t(0));
    for (int y = rowLo[size_t(j)]; y <= rowHi[size_t(j)]; ++y) {
      const uint8_t* s = source.Row(y);
      for (int x = 0; x < W; ++x) {
        const uint8_t* p = s + size_t(x) * C;
        bool h = true;
        for (int c = 0; c < C; ++c) h = h && (whiteWins ? p[c] > 128 : p[c] < 128);
        hit[size_t(x)] |= uint8_t(h);
      }
    }
    uint8_t* t = sink.Buffer();
    for (int i = 0; i < W2; ++i) {
      bool any = false;
      for (int x = colLo[size_t(i)]; x <= colHi[size_t(i)] && !any; ++x) any = hit[size_t(x)];
      t[i] = any ? on : off;
    }
    sink.Put(j);
    if (!progress.Step(int(j * 100 / (H2 + 0.5)))) return Outcome::Cancelled;
  }
  return Outcome::Done;
}

}  // namespace resample_detail

// ---------------------------------------------------------------- dispatcher

using namespace resample_detail;

namespace {

// Runs the algorithm of filter from source rows into sink (8-bit samples).
Outcome Run8(TResampleFilter filter, RowSource8& rows, RowSink8& sink, Progress& progress) {
  if (IsKernelFilter(filter)) return KernelResample(rows, sink, filter, progress);
  switch (filter) {
    case rfFastLinear:
      return FastLinear(rows, sink, progress);
    case rfBilinear:
    case rfBicubic:
      return AreaResample8(rows, sink, filter == rfBicubic, progress);
    default:
      return Project(rows, sink, filter == rfProjectWB, progress);
  }
}

bool Failed(Outcome outcome, ProgressRecord& progress) {
  switch (outcome) {
    case Outcome::Done:
      return false;
    case Outcome::OutOfMemory:
      progress.Fail(TLxFailure::OutOfMemory, "out of memory");
      return true;
    case Outcome::Cancelled:
      progress.Fail(TLxFailure::Cancelled, "cancelled");
      return true;
  }
  return true;
}

}  // namespace

bool ResampleBitmap(TLxBitmap& source, TLxBitmap& target, TResampleFilter filter,
                    ProgressRecord& progress) {
  auto fail = [&progress](Outcome outcome) {
    Failed(outcome, progress);
    return false;
  };
  if (source.IsEmpty() || target.Width() <= 0 || target.Height() <= 0) {
    progress.Fail(TLxFailure::NoImage, source.IsEmpty() ? "empty source" : "empty target");
    return false;
  }
  const PixelFormat pf = ResampledPixelFormat(source.PixelFormat(), filter);
  if (pf == lxNone || &source == &target) {
    progress.Fail(TLxFailure::Unsupported, "unsupported");
    return false;
  }
  const int W2 = target.Width(), H2 = target.Height();
  try {
    // The alpha plane as 8-bit samples (a one-bit channel is widened on a copy).
    TLxBitmap* alpha = source.HasAlphaChannel() ? source.AlphaChannel() : nullptr;
    std::unique_ptr<TLxBitmap> alphaCopy;
    if (alpha && (alpha->Width() != source.Width() || alpha->Height() != source.Height()))
      alpha = nullptr;  // an alpha channel that does not fit the image is not read
    if (alpha && alpha->PixelFormat() != lx8g) {
      alphaCopy = TLxBitmap::CreateAlphaChannel(alpha->Width(), alpha->Height(), lxInMemory);
      if (!alphaCopy || alphaCopy->IsEmpty()) return fail(Outcome::OutOfMemory);
      for (int y = 0; y < alpha->Height(); ++y)
        for (int x = 0; x < alpha->Width(); ++x)
          alphaCopy->ScanLine(y)[x] = alpha->GetAlphaValue(x, y);
      alphaCopy->AllOpaque = alpha->AllOpaque;
      alpha = alphaCopy.get();
    }

    if ((target.PixelFormat() != pf || target.IsEmpty()) && !target.Allocate(W2, H2, pf))
      return fail(Outcome::OutOfMemory);

    Outcome outcome;
    {
      Progress steps(progress);
      RowAccessScope readOnly(source, raRead);
      RowAccessScope writeOnly(target, raWrite);
      std::optional<RowAccessScope> alphaReadOnly;
      if (alpha) alphaReadOnly.emplace(*alpha, raRead);
      if (filter == rfNone) {
        outcome = NearestCopy(source, alpha, target, steps);
      } else if (source.PixelFormat() == lx16g || source.PixelFormat() == lxRGB48) {
        outcome = AreaResample16(source, target, filter == rfBicubic, steps);
      } else {
        BitmapRows8 rows(source, alpha);
        RowSink8 sink(target, rows.Channels);
        outcome = Run8(filter, rows, sink, steps);
      }
    }
    if (outcome != Outcome::Done) return fail(outcome);

    if (alpha) {
      TLxBitmap* targetAlpha = target.AlphaChannel();
      if (!targetAlpha) return fail(Outcome::OutOfMemory);
      if ((targetAlpha->Width() != W2 || targetAlpha->Height() != H2 ||
           targetAlpha->PixelFormat() != lx8g) &&
          !targetAlpha->Allocate(W2, H2, lx8g))
        return fail(Outcome::OutOfMemory);
      // The alpha plane reports no progress of its own but stops when the work is cancelled.
      ProgressRecord silent = progress;
      silent.OnProgressCode = nullptr;
      Progress quiet(silent);
      RowAccessScope readOnly(*alpha, raRead);
      RowAccessScope writeOnly(*targetAlpha, raWrite);
      if (filter == rfNone) {
        outcome = NearestCopy(*alpha, nullptr, *targetAlpha, quiet);
      } else {
        BitmapRows8 rows(*alpha, nullptr);
        RowSink8 sink(*targetAlpha, 1);
        outcome = Run8(filter, rows, sink, quiet);
      }
      if (outcome != Outcome::Done) return fail(outcome);
      targetAlpha->AllOpaque = alpha->AllOpaque;
    }
  } catch (const std::bad_alloc&) {
    return fail(Outcome::OutOfMemory);
  }
  return true;
}

}  // namespace lumenax
