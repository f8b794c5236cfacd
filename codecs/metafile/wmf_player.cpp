#include "codecs/metafile/wmf_player.h"

#include <cairo.h>
#include <librsvg/rsvg.h>
#include <libwmf/api.h>
#include <libwmf/svg.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace lumenax {

namespace {

// Pixels per inch of a metafile's own size.
constexpr double kScreenDpi = 96;

struct ApiCloser {
  void operator()(wmfAPI* api) const { wmf_api_destroy(api); }
};
using ApiPtr = std::unique_ptr<wmfAPI, ApiCloser>;

// A libwmf session on the SVG device over the metafile's bytes, already scanned.
ApiPtr OpenSession(std::vector<uint8_t>& bytes, wmfD_Rect& bbox, std::string& error) {
  wmfAPI* raw = nullptr;
  wmfAPI_Options options{};
  options.function = wmf_svg_function;
  // Nonfatal oddities (unknown records and the like) are skipped; libwmf prints nothing.
  const unsigned long flags =
      WMF_OPT_FUNCTION | WMF_OPT_IGNORE_NONFATAL | WMF_OPT_NO_ERROR | WMF_OPT_NO_DEBUG;
  if (wmf_api_create(&raw, flags, &options) != wmf_E_None) {
    if (raw) wmf_api_destroy(raw);
    error = "metafile player unavailable";
    return nullptr;
  }
  ApiPtr api(raw);
  if (wmf_mem_open(api.get(), bytes.data(), long(bytes.size())) != wmf_E_None) {
    error = "not a metafile";
    return nullptr;
  }
  if (wmf_scan(api.get(), 0, &bbox) != wmf_E_None) {
    error = "corrupt metafile";
    return nullptr;
  }
  return api;
}

// libwmf allocates a buffer of the header's largest record size before it reads a record:
// a header that claims records larger than the whole file is refused first.
bool RecordSizeFits(const std::vector<uint8_t>& b) {
  auto u16 = [&b](size_t at) { return uint32_t(b[at] | b[at + 1] << 8); };
  size_t at = 0;
  if (b.size() >= 22 && u16(0) == 0xCDD7 && u16(2) == 0x9AC6) at = 22;
  // Type, header size, version, size (32 bits), objects, largest record (32 bits, in words).
  if (b.size() < at + 18) return true;  // libwmf refuses a short header by itself
  const uint64_t maxRecordWords = u16(at + 12) | uint64_t(u16(at + 14)) << 16;
  return maxRecordWords * 2 <= b.size();
}

// Records that carry a device-independent bitmap, and the bytes of parameters before it.
struct BitmapRecord {
  uint16_t function;
  uint32_t before;
  bool mandatory;  // the record cannot be without its bitmap
};
constexpr BitmapRecord kBitmapRecords[] = {
    {0x0142, 4, true},    // create a pattern brush from a bitmap
    {0x0940, 16, false},  // bit block transfer
    {0x0B41, 20, false},  // stretched bit block transfer
    {0x0F43, 22, true},   // stretch a bitmap
    {0x0D33, 18, true},   // bitmap to device
};
constexpr uint64_t kMaxBitmapPixels = uint64_t(1) << 28;
// Compressed bitmaps hold at most this many pixels per byte of data.
constexpr uint64_t kMaxPixelsPerByte = 64;

// libwmf allocates a bitmap record's pixels by the sizes its header states, whatever the
// record holds: every bitmap header must lie inside its record and describe no more pixels
// than the record can carry.
bool BitmapRecordsFit(const std::vector<uint8_t>& b) {
  auto u16 = [&b](size_t at) { return uint32_t(b[at] | b[at + 1] << 8); };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  size_t at = b.size() >= 22 && u16(0) == 0xCDD7 && u16(2) == 0x9AC6 ? 22 : 0;
  if (b.size() < at + 18) return true;
  size_t pos = at + size_t(u16(at + 2)) * 2;
  while (pos + 6 <= b.size()) {
    const uint64_t bytes = uint64_t(u32(pos)) * 2;
    const uint16_t function = uint16_t(u16(pos + 4));
    if (function == 0 || bytes < 6 || bytes > b.size() - pos)
      break;  // the end, or libwmf's to refuse
    for (const BitmapRecord& r : kBitmapRecords) {
      if (r.function != function) continue;
      const uint64_t params = bytes - 6;
      if (params < uint64_t(r.before) + 40) {
        if (r.mandatory) return false;
        break;
      }
      const size_t dib = pos + 6 + r.before;
      const int64_t width = int32_t(u32(dib + 4));
      const int64_t height = int32_t(u32(dib + 8));
      const uint32_t bits = u16(dib + 14), compression = u32(dib + 16);
      const uint64_t available = params - r.before - 40;
      if (width <= 0 || height == 0 || bits == 0 || bits > 32) return false;
      const uint64_t pixels = uint64_t(width) * uint64_t(height < 0 ? -height : height);
      if (pixels > kMaxBitmapPixels) return false;
      const uint64_t rowBytes = (uint64_t(width) * bits + 31) / 32 * 4;
      const uint64_t need = rowBytes * uint64_t(height < 0 ? -height : height);
      if (compression == 0 ? need > available : pixels > kMaxPixelsPerByte * available)
        return false;
      break;
    }
    pos += size_t(bytes);
  }
  return true;
}

}  // namespace

bool TLxWmfPlayer::Load(std::vector<uint8_t> bytes) {
  bytes_ = std::move(bytes);
  error_.clear();
  width_ = height_ = 0;
  if (!RecordSizeFits(bytes_)) {
    error_ = "metafile record size beyond the file";
    return false;
  }
  if (!BitmapRecordsFit(bytes_)) {
    error_ = "metafile bitmap larger than its record";
    return false;
  }
  wmfD_Rect bbox{};
  ApiPtr api = OpenSession(bytes_, bbox, error_);
  if (!api) return false;
  unsigned int w = 0, h = 0;
  if (wmf_display_size(api.get(), &w, &h, kScreenDpi, kScreenDpi) != wmf_E_None) {
    error_ = "corrupt metafile";
    return false;
  }
  width_ = w;
  height_ = h;
  return true;
}

std::string TLxWmfPlayer::Svg(int width, int height) {
  wmfD_Rect bbox{};
  ApiPtr api = OpenSession(bytes_, bbox, error_);
  if (!api) return {};
  wmf_svg_t* svg = WMF_SVG_GetData(api.get());
  svg->out = wmf_stream_create(api.get(), nullptr);
  if (!svg->out) {
    error_ = "out of memory for the drawing";
    return {};
  }
  static char kDescription[] = "metafile";
  svg->Description = kDescription;
  svg->bbox = bbox;
  svg->width = unsigned(width);
  svg->height = unsigned(height);
  svg->flags |= WMF_SVG_INLINE_IMAGES;
  const wmf_error_t played = wmf_play(api.get(), 0, &bbox);
  char* text = nullptr;
  unsigned long length = 0;
  wmf_stream_destroy(api.get(), svg->out, &text, &length);
  svg->out = nullptr;
  std::string out;
  if (text) {
    out.assign(text, length);
    wmf_free(api.get(), text);
  }
  // libwmf draws every fill at half opacity while the background mode is transparent. That
  // mode only concerns the gaps of hatched brushes and styled pens, which this drawing has
  // no means to show: fills are opaque.
  static const std::string kHalf = "fill-opacity:0.5;";
  for (size_t at = out.find(kHalf); at != std::string::npos; at = out.find(kHalf, at))
    out.replace(at, kHalf.size(), "fill-opacity:1.0;");
  if (played != wmf_E_None) {
    error_ = "corrupt metafile";
    return {};
  }
  return out;
}

bool TLxWmfPlayer::Render(int width, int height, std::vector<uint32_t>& argb) {
  if (width <= 0 || height <= 0) {
    error_ = "empty drawing";
    return false;
  }
  const std::string svg = Svg(width, height);
  if (svg.empty()) {
    if (error_.empty()) error_ = "corrupt metafile";
    return false;
  }
  GError* gerror = nullptr;
  RsvgHandle* handle = rsvg_handle_new_from_data(reinterpret_cast<const guint8*>(svg.data()),
                                                 gsize(svg.size()), &gerror);
  if (!handle) {
    if (gerror) g_error_free(gerror);
    error_ = "metafile drawing not renderable";
    return false;
  }
  std::unique_ptr<RsvgHandle, void (*)(RsvgHandle*)> handleOwner(
      handle, [](RsvgHandle* h) { g_object_unref(h); });
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  std::unique_ptr<cairo_surface_t, void (*)(cairo_surface_t*)> surfaceOwner(surface,
                                                                            cairo_surface_destroy);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    error_ = "out of memory for the drawing";
    return false;
  }
  cairo_t* cr = cairo_create(surface);
  std::unique_ptr<cairo_t, void (*)(cairo_t*)> crOwner(cr, cairo_destroy);
  const RsvgRectangle viewport{0, 0, double(width), double(height)};
  const gboolean drawn = rsvg_handle_render_document(handle, cr, &viewport, &gerror);
  if (gerror) g_error_free(gerror);
  crOwner.reset();
  if (!drawn) {
    error_ = "metafile drawing not renderable";
    return false;
  }
  cairo_surface_flush(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  argb.resize(size_t(width) * size_t(height));
  for (int y = 0; y < height; ++y)
    std::memcpy(&argb[size_t(y) * size_t(width)], data + size_t(y) * size_t(stride),
                size_t(width) * 4);
  return true;
}

}  // namespace lumenax
