#include "io/registry.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <shared_mutex>

namespace lumenax {

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = char(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// The ";"-separated tokens of an extension list up to the first empty one.
std::vector<std::string> SplitExtensions(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    if (end == start) break;
    out.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

struct BuiltIn {
  FileType type;
  const char* name;
  const char* extensions;
  bool read;
  bool write;
  uint16_t page;
};

// The built-in rows in registry order.
constexpr BuiltIn kBuiltIns[] = {
    {ftTiff, "TIFF Bitmap", "TIF;TIFF;FAX;G3N;G3F;XIF", true, true, 8},
    {ftGif, "CompuServe Bitmap", "GIF", true, true, 16},
    {ftJpeg, "JPEG Bitmap", "JPG;JPEG;JPE;JIF", true, true, 4},
    {ftPcx, "PaintBrush", "PCX", true, true, 64},
    {ftBmp, "Windows Bitmap", "BMP;DIB;RLE", true, true, 32},
    {ftIco, "Windows Icon", "ICO", true, true, 0},
    {ftCur, "Windows Cursor", "CUR", true, false, 0},
    {ftPng, "Portable Network Graphics", "PNG", true, true, 128},
    {ftDicom, "DICOM Bitmap", "DCM;DIC;DICOM", true, false, 0},
    {ftWmf, "Windows Metafile", "WMF", true, false, 0},
    {ftEmf, "Enhanced Windows Metafile", "EMF", true, false, 0},
    {ftTga, "Targa Bitmap", "TGA;TARGA;VDA;ICB;VST;PIX", true, true, 256},
    {ftPxm, "Portable Pixmap, GrayMap, BitMap", "PXM;PPM;PGM;PBM", true, true, 0},
    {ftWbmp, "Wireless Bitmap", "WBMP", true, true, 0},
    {ftJp2, "JPEG2000", "JP2", true, true, 512},
    {ftJ2k, "JPEG2000 Code Stream", "J2K;JPC;J2C", true, true, 512},
    {ftPs, "PostScript Level 2", "PS;EPS", false, true, 0},
    {ftPdf, "Adobe PDF", "PDF", false, true, 0},
    {ftDcx, "Multipage PCX", "DCX", true, true, 0},
    {ftRaw, "Camera RAW", "CRW;CR2;NEF;RAW;PEF;RAF;X3F;BAY;ORF;SRF;MRW;DCR;SR2", true, false, 0},
    {ftPsd, "Photoshop PSD", "PSD", true, true, 0},
    {ftVectObjects, "Vectorial objects", "LXV", true, true, 0},
    {ftLayers, "Layers", "LYR", true, true, 0},
    {ftLayersAndObjects, "Layers and objects", "ALL", true, true, 0},
};

class Registry {
 public:
  Registry() {
    for (const BuiltIn& b : kBuiltIns) {
      FormatRecord r;
      r.FileType = b.type;
      r.FullName = b.name;
      r.Extensions = b.extensions;
      r.InternalFormat = true;
      r.DialogPage = b.page;
      // Placeholders: the built-in formats are read and written by their entry points.
      if (b.read)
        r.ReadFunction = [](TStream&, TLxBitmap&, TIOParamsVals&, bool, ProgressRecord&) {};
      if (b.write) r.WriteFunction = [](TStream&, TLxBitmap&, TIOParamsVals&, ProgressRecord&) {};
      r.TryFunction = [](TStream&, FileType) { return false; };
      rows_.push_back(std::make_shared<const FormatRecord>(std::move(r)));
    }
  }

  std::vector<FormatRow> Rows() const {
    std::shared_lock lock(mutex_);
    return rows_;
  }

  FormatRow ByType(FileType type) const {
    std::shared_lock lock(mutex_);
    for (const FormatRow& r : rows_) {
      if (r->FileType == type) return r;
    }
    return nullptr;
  }

  int Add(FormatRecord record) {
    if (record.FullName.size() > 80) record.FullName.resize(80);
    if (record.Extensions.size() > 80) record.Extensions.resize(80);
    record.Extensions = Upper(record.Extensions);
    std::unique_lock lock(mutex_);
    rows_.push_back(std::make_shared<const FormatRecord>(std::move(record)));
    return int(rows_.size()) - 1;
  }

  void Remove(FileType type) {
    std::unique_lock lock(mutex_);
    auto it = std::find_if(rows_.begin(), rows_.end(),
                           [type](const FormatRow& r) { return r->FileType == type; });
    if (it != rows_.end()) rows_.erase(it);
  }

 private:
  mutable std::shared_mutex mutex_;
  std::vector<FormatRow> rows_;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

void BuildFormatRegistry() {
  TheRegistry();
}

std::vector<FormatRow> FormatRegistryRows() {
  return TheRegistry().Rows();
}

FormatRow FindFormatByType(FileType type) {
  return TheRegistry().ByType(type);
}

FormatRow FindFormatByExtension(std::string_view extension) {
  std::string ext = Lower(extension);
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  for (const FormatRow& row : TheRegistry().Rows()) {
    for (const std::string& e : SplitExtensions(row->Extensions)) {
      if (Lower(e) == ext) return row;
    }
  }
  return nullptr;
}

std::string GetExtension(FileType type, int index) {
  FormatRow row = FindFormatByType(type);
  if (!row || index < 0) return {};
  std::vector<std::string> list = SplitExtensions(row->Extensions);
  return size_t(index) < list.size() ? list[size_t(index)] : std::string();
}

int GetExtensionCount(FileType type) {
  FormatRow row = FindFormatByType(type);
  return row ? int(SplitExtensions(row->Extensions).size()) : 0;
}

int RegisterFormat(const FormatRecord& record) {
  return TheRegistry().Add(record);
}

void UnregisterFormat(FileType type) {
  TheRegistry().Remove(type);
}

std::string ExtractFileExt(const std::filesystem::path& name) {
  std::string file = name.filename().string();
  size_t dot = file.rfind('.');
  return dot == std::string::npos ? std::string() : file.substr(dot);
}

}  // namespace lumenax
