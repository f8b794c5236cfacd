#include "process/tests/resample_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

namespace lumenax {

bool ReadPnm(const std::filesystem::path& path, Image8& out) {
  std::ifstream f(path, std::ios::binary);
  // Header tokens, skipping comments.
  auto token = [&f]() {
    std::string t;
    while (f >> t) {
      if (t[0] != '#') return t;
      std::string rest;
      std::getline(f, rest);
    }
    return std::string();
  };
  std::string magic = token();
  int w = std::atoi(token().c_str()), h = std::atoi(token().c_str());
  int maxval = std::atoi(token().c_str());
  if (!f || (magic != "P5" && magic != "P6") || maxval != 255 || w <= 0 || h <= 0) return false;
  f.get();
  out.w = w, out.h = h, out.c = magic == "P6" ? 3 : 1;
  out.px.assign(size_t(w) * h * out.c, 0);
  f.read(reinterpret_cast<char*>(out.px.data()), std::streamsize(out.px.size()));
  return bool(f);
}

void WritePnm(const std::filesystem::path& path, const Image8& image) {
  std::ofstream f(path, std::ios::binary);
  f << (image.c == 3 ? "P6" : "P5") << "\n" << image.w << " " << image.h << "\n255\n";
  f.write(reinterpret_cast<const char*>(image.px.data()), std::streamsize(image.px.size()));
}

Image8 FromBitmap(TLxBitmap& bitmap) {
  Image8 im;
  im.w = bitmap.Width(), im.h = bitmap.Height();
  im.c = bitmap.PixelFormat() == lx24RGB ? 3 : 1;
  im.px.assign(size_t(im.w) * im.h * im.c, 0);
  for (int y = 0; y < im.h; ++y) {
    const uint8_t* s = bitmap.ScanLine(y);
    for (int x = 0; x < im.w; ++x) {
      if (bitmap.PixelFormat() == lx24RGB) {
        for (int c = 0; c < 3; ++c) im.at(x, y, c) = s[3 * x + 2 - c];
      } else if (bitmap.PixelFormat() == lx1g) {
        im.at(x, y, 0) = (s[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
      } else {
        im.at(x, y, 0) = s[x];
      }
    }
  }
  return im;
}

Image8 AlphaOf(TLxBitmap& bitmap) {
  return FromBitmap(*bitmap.AlphaChannel());
}

void ToBitmap(const Image8& image, TLxBitmap& bitmap) {
  bitmap.Allocate(image.w, image.h, image.c == 3 ? lx24RGB : lx8g);
  for (int y = 0; y < image.h; ++y) {
    uint8_t* d = bitmap.ScanLine(y);
    for (int x = 0; x < image.w; ++x) {
      if (image.c == 3)
        for (int c = 0; c < 3; ++c) d[3 * x + 2 - c] = image.at(x, y, c);
      else
        d[x] = image.at(x, y, 0);
    }
  }
}

Image8 Crop(const Image8& image, int m) {
  Image8 out;
  out.w = image.w - 2 * m, out.h = image.h - 2 * m, out.c = image.c;
  if (out.w <= 0 || out.h <= 0) return Image8{};
  out.px.resize(size_t(out.w) * out.h * out.c);
  for (int y = 0; y < out.h; ++y)
    for (int x = 0; x < out.w; ++x)
      for (int c = 0; c < out.c; ++c) out.at(x, y, c) = image.at(x + m, y + m, c);
  return out;
}

Diff Compare(const Image8& a, const Image8& b) {
  Diff d;
  EXPECT_TRUE(a.w == b.w && a.h == b.h && a.c == b.c)
      << a.w << "x" << a.h << "x" << a.c << " against " << b.w << "x" << b.h << "x" << b.c;
  if (a.px.size() != b.px.size() || a.px.empty()) {
    d.mean = 1e9, d.max = 1 << 30;
    return d;
  }
  double sum = 0;
  for (size_t k = 0; k < a.px.size(); ++k) {
    int e = std::abs(int(a.px[k]) - int(b.px[k]));
    sum += e;
    d.max = std::max(d.max, e);
  }
  d.mean = sum / double(a.px.size());
  return d;
}

Image8 PhotoLike(int w, int h, int channels, uint32_t seed) {
  Image8 im;
  im.w = w, im.h = h, im.c = channels;
  im.px.resize(size_t(w) * h * channels);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < channels; ++c) {
        seed = seed * 1664525u + 1013904223u;
        int noise = int(seed >> 27) - 16;
        int fine = ((x / 2 + y + c) & 1) ? 25 : -25;
        double base = 30 + 180.0 * (c == 1 ? y : x) / std::max(1, (c == 1 ? h : w) - 1);
        double tex = 45 * std::sin(x * 0.6 + y * 0.35 + c);
        im.at(x, y, c) = uint8_t(std::clamp(int(base + tex) + noise + fine, 0, 255));
      }
    }
  }
  return im;
}

}  // namespace lumenax

namespace lumenax {

Image8 RefNearest(const Image8& s, int w2, int h2) {
  Image8 t;
  t.w = w2, t.h = h2, t.c = s.c;
  t.px.resize(size_t(w2) * h2 * s.c);
  for (int j = 0; j < h2; ++j)
    for (int i = 0; i < w2; ++i) {
      int x = std::min(s.w - 1, int(i * (double(s.w) / w2)));
      int y = std::min(s.h - 1, int(j * (double(s.h) / h2)));
      for (int c = 0; c < s.c; ++c) t.at(i, j, c) = s.at(x, y, c);
    }
  return t;
}

Image8 RefFastLinear(const Image8& s, int w2, int h2) {
  const int W = s.w, H = s.h, C = s.c;
  const double rx = double(w2) / W, ry = double(h2) / H;
  Image8 work;
  work.w = w2, work.h = H, work.c = C;
  work.px.resize(size_t(w2) * H * C);
  for (int y = 0; y < H; ++y)
    for (int i = 0; i < w2; ++i)
      for (int c = 0; c < C; ++c) {
        if (w2 == W) {
          work.at(i, y, c) = s.at(i, y, c);
          continue;
        }
        double x = i / rx;
        int x0 = int(x);
        int q = int((x - x0) * 131072);
        int x1 = int(std::min(i + 1, w2 - 1) / rx + 0.0000000001);
        x0 = std::min(x0, W - 1);
        x1 = std::max(x0, std::min(x1, W - 1));
        if (rx > 1) {
          int a = s.at(x0, y, c), b = s.at(std::min(x0 + 1, W - 1), y, c);
          work.at(i, y, c) = uint8_t(a + (b - a) * q / 131072);
        } else {
          int sum = 0;
          for (int k = x0; k <= x1; ++k) sum += s.at(k, y, c);
          work.at(i, y, c) = uint8_t(sum / (x1 - x0 + 1));
        }
      }
  Image8 t;
  t.w = w2, t.h = h2, t.c = C;
  t.px.resize(size_t(w2) * h2 * C);
  for (int j = 0; j < h2; ++j)
    for (int i = 0; i < w2; ++i)
      for (int c = 0; c < C; ++c) {
        if (h2 == H) {
          t.at(i, j, c) = work.at(i, j, c);
        } else if (ry > 1) {
          double y = j / ry;
          int y0 = std::min(int(y), H - 1);
          int f = int((y - int(y)) * 131072);
          int a = work.at(i, y0, c), b = work.at(i, std::min(y0 + 1, H - 1), c);
          t.at(i, j, c) = uint8_t(a + (b - a) * f / 131072);
        } else {
          int ya = std::min(int(j / ry), H - 1);
          int yb = std::max(ya, std::min(int(std::min(j + 1, h2 - 1) / ry), H - 1));
          int sum = 0;
          for (int r = ya; r <= yb; ++r) sum += work.at(i, r, c);
          t.at(i, j, c) = uint8_t(sum / (yb - ya + 1));
        }
      }
  return t;
}

Image8 RefProject(const Image8& s, int w2, int h2, bool whiteWins) {
  auto t = [](int i, int n, int n2) { return std::min(n - 1, int(i * (double(n) / n2))); };
  Image8 out;
  out.w = w2, out.h = h2, out.c = 1;
  out.px.resize(size_t(w2) * h2);
  for (int j = 0; j < h2; ++j) {
    int y0 = j == 0 ? 0 : t(j - 1, s.h, h2), y1 = j == h2 - 1 ? s.h - 1 : t(j, s.h, h2);
    for (int i = 0; i < w2; ++i) {
      int x0 = i == 0 ? 0 : t(i - 1, s.w, w2), x1 = i == w2 - 1 ? s.w - 1 : t(i, s.w, w2);
      bool hit = false;
      for (int y = y0; y <= std::max(y0, y1); ++y)
        for (int x = x0; x <= std::max(x0, x1); ++x) {
          bool all = true;
          for (int c = 0; c < s.c; ++c)
            all = all && (whiteWins ? s.at(x, y, c) > 128 : s.at(x, y, c) < 128);
          hit = hit || all;
        }
      out.at(i, j, 0) = (hit == whiteWins) ? 255 : 0;
    }
  }
  return out;
}

namespace {

double Kernel(int filter, double x) {
  double a = std::fabs(x);
  const double pi = 3.14159265358979323846;
  auto sinc = [pi](double v) { return v == 0 ? 1.0 : std::sin(pi * v) / (pi * v); };
  switch (filter) {
    case 1:
      return a < 1 ? 1 - a : 0;
    case 2:
      return a < 1 ? (2 * a - 3) * x * x + 1 : 0;
    case 3:
      return a < 0.5 ? 0.75 - x * x : a < 1.5 ? 0.5 * (a - 1.5) * (a - 1.5) : 0;
    case 4:
      return a < 1   ? 0.5 * a * a * a - x * x + 2.0 / 3
             : a < 2 ? (2 - a) * (2 - a) * (2 - a) / 6
                     : 0;
    case 5:
      return a < 3 ? sinc(x) * sinc(x / 3) : 0;
    case 6:
      if (a < 1) return (7 * a * a * a - 12 * x * x + 16.0 / 3) / 6;
      if (a < 2) return (-(7.0 / 3) * a * a * a + 12 * x * x - 20 * a + 32.0 / 3) / 6;
      return 0;
    case 7:
      return x > -0.5 && x <= 0.5 ? 1 : 0;
    default:
      return x >= 0 && x < 1 ? 1 - x : x >= -1 && x < 0 ? 1 + x : 0;
  }
}

double Support(int filter) {
  return filter == 3 ? 1.5 : filter == 4 || filter == 6 ? 2 : filter == 5 ? 3 : 1;
}

struct Contrib {
  std::vector<std::pair<int, double>> w;  // source index, weight
};

// scale 256: the weights round(k * 256 [* f]); scale 0: the kernel values themselves.
std::vector<Contrib> Contributors(int n, int n2, int filter, int scale) {
  double f = (n == 1 || n2 == 1) ? double(n2) / n : double(n2 - 1) / (n - 1);
  double s = Support(filter);
  std::vector<Contrib> out(static_cast<size_t>(n2));
  for (int i = 0; i < n2; ++i) {
    double c = i / f;
    double w = f >= 1 ? s : s / f;
    for (int j = int(std::floor(c - w)); j <= int(std::ceil(c + w)); ++j) {
      double weight = f >= 1 ? Kernel(filter, c - j) : Kernel(filter, (c - j) * f) * f;
      if (scale) weight = std::nearbyint(weight * scale);
      if (weight == 0) continue;
      int k = j < 0 ? -j : j >= n ? 2 * n - 1 - j : j;
      out[size_t(i)].w.push_back({std::clamp(k, 0, n - 1), weight});
    }
  }
  return out;
}

uint8_t Mean(const std::vector<std::pair<int, double>>& w, int scale,
             const std::function<int(int)>& sample) {
  if (scale) {
    int sum = 0, total = 0;
    for (auto [k, weight] : w) sum += int(weight) * sample(k), total += int(weight);
    int v = total == 0 ? sum / scale : sum / total;
    return uint8_t(std::clamp(v, 0, 255));
  }
  double sum = 0, total = 0;
  for (auto [k, weight] : w) sum += weight * sample(k), total += weight;
  return uint8_t(std::clamp(std::trunc(sum / total), 0.0, 255.0));
}

Image8 RefKernel(const Image8& s, int w2, int h2, int filter, int scale) {
  auto cx = Contributors(s.w, w2, filter, scale), cy = Contributors(s.h, h2, filter, scale);
  Image8 work;
  work.w = w2, work.h = s.h, work.c = s.c;
  work.px.resize(size_t(w2) * s.h * s.c);
  for (int y = 0; y < s.h; ++y)
    for (int i = 0; i < w2; ++i)
      for (int c = 0; c < s.c; ++c)
        work.at(i, y, c) = Mean(cx[size_t(i)].w, scale, [&](int k) { return s.at(k, y, c); });
  Image8 t;
  t.w = w2, t.h = h2, t.c = s.c;
  t.px.resize(size_t(w2) * h2 * s.c);
  for (int j = 0; j < h2; ++j)
    for (int i = 0; i < w2; ++i)
      for (int c = 0; c < s.c; ++c)
        t.at(i, j, c) = Mean(cy[size_t(j)].w, scale, [&](int k) { return work.at(i, k, c); });
  return t;
}

}  // namespace

Image8 RefKernel256(const Image8& s, int w2, int h2, int filter) {
  return RefKernel(s, w2, h2, filter, 256);
}

Image8 RefKernelExact(const Image8& s, int w2, int h2, int filter) {
  return RefKernel(s, w2, h2, filter, 0);
}

}  // namespace lumenax
