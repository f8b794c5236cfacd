#include "io/param_fields.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "codecs/common/ascii_case.h"
#include "io/lumenax_io.h"

namespace lumenax {

namespace {

// ---------------------------------------------------------------- text forms of values

std::string Format(bool v) {
  return v ? "true" : "false";
}
std::string Format(const std::string& v) {
  return v;
}
std::string Format(const std::filesystem::path& v) {
  return v.string();
}
// Text lists: one entry per line.
std::string Format(const std::vector<std::string>& v) {
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    if (i) out += '\n';
    out += v[i];
  }
  return out;
}
std::string Format(TRGB c) {
  return std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b);
}
std::string Format(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}
template <class T>
requires(std::is_integral_v<T> || std::is_enum_v<T>) std::string Format(T v) {
  if constexpr (std::is_enum_v<T>)
    return std::to_string(int64_t(std::underlying_type_t<T>(v)));
  else
    return std::to_string(int64_t(v));
}

bool Parse(std::string_view s, bool& out) {
  std::string l = AsciiLower(s);
  if (l == "true" || l == "1" || l == "yes" || l == "on")
    out = true;
  else if (l == "false" || l == "0" || l == "no" || l == "off")
    out = false;
  else
    return false;
  return true;
}

bool ParseInt64(std::string_view s, int64_t& out) {
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return false;
  uint64_t v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return false;
  if (v > uint64_t(std::numeric_limits<int64_t>::max())) return false;
  out = negative ? -int64_t(v) : int64_t(v);
  return true;
}

template <class T>
requires(std::is_integral_v<T> || std::is_enum_v<T>) bool Parse(std::string_view s, T& out) {
  using U = std::conditional_t<std::is_enum_v<T>, std::underlying_type<T>, std::type_identity<T>>;
  using I = typename U::type;
  int64_t v;
  if (!ParseInt64(s, v)) return false;
  if (v < int64_t(std::numeric_limits<I>::min()) ||
      (v > 0 && uint64_t(v) > uint64_t(std::numeric_limits<I>::max())))
    return false;
  out = T(I(v));
  return true;
}

bool Parse(std::string_view s, double& out) {
  if (s.empty()) return false;
  auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool Parse(std::string_view s, std::string& out) {
  out = std::string(s);
  return true;
}

bool Parse(std::string_view s, std::vector<std::string>& out) {
  out.clear();
  while (!s.empty()) {
    size_t end = s.find('\n');
    out.emplace_back(s.substr(0, end));
    if (end == std::string_view::npos) break;
    s.remove_prefix(end + 1);
  }
  return true;
}

bool Parse(std::string_view s, std::filesystem::path& out) {
  out = std::filesystem::path(std::string(s));
  return true;
}

bool Parse(std::string_view s, TRGB& out) {
  uint8_t parts[3];
  for (int i = 0; i < 3; ++i) {
    size_t comma = i < 2 ? s.find(',') : s.size();
    if (comma == std::string_view::npos) return false;
    if (!Parse(s.substr(0, comma), parts[i])) return false;
    s.remove_prefix(i < 2 ? comma + 1 : comma);
  }
  out = CreateRGB(parts[0], parts[1], parts[2]);
  return true;
}

bool ParseColour(std::string_view s, TColor& out) {
  TRGB c;
  if (!Parse(s, c)) return false;
  out = TRGB2TColor(c);
  return true;
}

bool ParseFileType(std::string_view s, FileType& out) {
  return FileTypeFromName(s, out) || Parse(s, out);
}

// ---------------------------------------------------------------- the table

template <class T>
ParamField MakeField(const char* name, T TIOParamsVals::*member) {
  return ParamField{name, [member](const TIOParamsVals& p) { return Format(p.*member); },
                    [member](TIOParamsVals& p, std::string_view s) {
                      T v{};
                      if (!Parse(s, v)) return false;
                      p.*member = v;
                      return true;
                    }};
}

struct TableBuilder {
  std::vector<ParamField>& out;
  template <class G, class T>
  void operator()(const char* name, T G::*member) {
    T TIOParamsVals::*m = member;
    out.push_back(MakeField(name, m));
  }
  // A field whose text form the group gives itself (lists that are not one scalar).
  template <class G>
  void operator()(const char* name, std::string (*get)(const G&),
                  bool (*set)(G&, std::string_view)) {
    out.push_back(ParamField{
        name, [get](const TIOParamsVals& p) { return get(static_cast<const G&>(p)); },
        [set](TIOParamsVals& p, std::string_view s) { return set(static_cast<G&>(p), s); }});
  }
};

template <class List>
struct GroupsOf;
template <class... Groups>
struct GroupsOf<TIOParamGroups<Groups...>> {
  static void Describe(TableBuilder& b) { (ParamGroupFields<Groups>::Describe(b), ...); }
};

std::vector<ParamField> BuildTable() {
  std::vector<ParamField> t;
  TableBuilder b{t};
  b("BitsPerSample", &TIOParamsVals::BitsPerSample);
  b("FileName", &TIOParamsVals::FileName);
  b("SamplesPerPixel", &TIOParamsVals::SamplesPerPixel);
  b("Width", &TIOParamsVals::Width);
  b("Height", &TIOParamsVals::Height);
  t.push_back({"DpiX", [](const TIOParamsVals& p) { return Format(p.DpiX); },
               [](TIOParamsVals& p, std::string_view s) {
                 double v;
                 if (!Parse(s, v)) return false;
                 p.SetDpiX(v);
                 return true;
               }});
  t.push_back({"DpiY", [](const TIOParamsVals& p) { return Format(p.DpiY); },
               [](TIOParamsVals& p, std::string_view s) {
                 double v;
                 if (!Parse(s, v)) return false;
                 p.SetDpiY(v);
                 return true;
               }});
  t.push_back({"FileType", [](const TIOParamsVals& p) { return Format(p.FileType); },
               [](TIOParamsVals& p, std::string_view s) { return ParseFileType(s, p.FileType); }});
  t.push_back({"ImageIndex", [](const TIOParamsVals& p) { return Format(p.ImageIndex); },
               [](TIOParamsVals& p, std::string_view s) {
                 int32_t v;
                 if (!Parse(s, v)) return false;
                 p.SetImageIndex(v);
                 return true;
               }});
  t.push_back({"ImageCount", [](const TIOParamsVals& p) { return Format(p.ImageCount); },
               [](TIOParamsVals& p, std::string_view s) {
                 int32_t v;
                 if (!Parse(s, v)) return false;
                 p.SetImageCount(v);
                 return true;
               }});
  b("ExifXResolution", &TIOParamsVals::ExifXResolution);
  b("ExifYResolution", &TIOParamsVals::ExifYResolution);
  t.push_back({"LoadExifThumbnail",
               [](const TIOParamsVals& p) { return Format(p.LoadExifThumbnail); },
               [](TIOParamsVals& p, std::string_view s) {
                 bool v;
                 if (!Parse(s, v)) return false;
                 p.SetLoadExifThumbnail(v);
                 return true;
               }});
  GroupsOf<TIOParamGroupList>::Describe(b);
  b("IsNativePixelFormat", &TIOParamsVals::IsNativePixelFormat);
  t.push_back(
      {"ColorMapCount", [](const TIOParamsVals& p) { return Format(p.ColorMapCount); }, {}});
  return t;
}

std::vector<IOProperty> BuildProperties() {
  auto boolProperty = [](const char* name, bool TLumenaxIO::*member) {
    return IOProperty{name, [member](const TLumenaxIO& io) { return Format(io.*member); },
                      [member](TLumenaxIO& io, std::string_view s) {
                        bool v;
                        if (!Parse(s, v)) return false;
                        io.*member = v;
                        return true;
                      }};
  };
  std::vector<IOProperty> t;
  t.push_back({"NativePixelFormat",
               [](const TLumenaxIO& io) { return Format(io.NativePixelFormat()); },
               [](TLumenaxIO& io, std::string_view s) {
                 bool v;
                 if (!Parse(s, v)) return false;
                 io.SetNativePixelFormat(v);
                 return true;
               }});
  t.push_back(boolProperty("AutoAdjustDPI", &TLumenaxIO::AutoAdjustDPI));
  t.push_back(boolProperty("FilteredAdjustDPI", &TLumenaxIO::FilteredAdjustDPI));
  t.push_back(boolProperty("StreamHeaders", &TLumenaxIO::StreamHeaders));
  t.push_back({"Background",
               [](const TLumenaxIO& io) { return Format(TColor2TRGB(io.Background())); },
               [](TLumenaxIO& io, std::string_view s) {
                 TColor c;
                 if (!ParseColour(s, c)) return false;
                 io.SetBackground(c);
                 return true;
               }});
  return t;
}

}  // namespace

const std::vector<ParamField>& ParamFieldTable() {
  static const std::vector<ParamField> table = BuildTable();
  return table;
}

const ParamField* FindParamField(std::string_view name) {
  for (const ParamField& f : ParamFieldTable()) {
    if (f.Name == name) return &f;
  }
  return nullptr;
}

const std::vector<IOProperty>& IOPropertyTable() {
  static const std::vector<IOProperty> table = BuildProperties();
  return table;
}

SetValueResult SetIOValue(TLumenaxIO& io, std::string_view key, std::string_view value) {
  for (const IOProperty& p : IOPropertyTable()) {
    if (p.Name == key) return p.Set(io, value) ? SetValueResult::Ok : SetValueResult::BadValue;
  }
  const ParamField* f = FindParamField(key);
  if (!f || !f->Set) return SetValueResult::UnknownKey;
  return f->Set(io.Params, value) ? SetValueResult::Ok : SetValueResult::BadValue;
}

SetValueResult CheckIOValue(std::string_view key, std::string_view value) {
  TLumenaxIO scratch;
  return SetIOValue(scratch, key, value);
}

namespace {

struct TypeName {
  FileType type;
  const char* name;
};
constexpr TypeName kTypeNames[] = {
    {ftUnknown, "ftUnknown"}, {ftTiff, "ftTiff"},
    {ftGif, "ftGif"},         {ftJpeg, "ftJpeg"},
    {ftPcx, "ftPcx"},         {ftBmp, "ftBmp"},
    {ftIco, "ftIco"},         {ftCur, "ftCur"},
    {ftPng, "ftPng"},         {ftWmf, "ftWmf"},
    {ftEmf, "ftEmf"},         {ftTga, "ftTga"},
    {ftPxm, "ftPxm"},         {ftJp2, "ftJp2"},
    {ftJ2k, "ftJ2k"},         {ftAvi, "ftAvi"},
    {ftWbmp, "ftWbmp"},       {ftPs, "ftPs"},
    {ftPdf, "ftPdf"},         {ftDcx, "ftDcx"},
    {ftRaw, "ftRaw"},         {ftRawPixels, "ftRawPixels"},
    {ftPsd, "ftPsd"},         {ftVectObjects, "ftVectObjects"},
    {ftLayers, "ftLayers"},   {ftLayersAndObjects, "ftLayersAndObjects"},
    {ftDicom, "ftDicom"},
};

}  // namespace

const char* FileTypeName(FileType type) {
  for (const TypeName& t : kTypeNames) {
    if (t.type == type) return t.name;
  }
  return nullptr;
}

bool FileTypeFromName(std::string_view name, FileType& type) {
  for (const TypeName& t : kTypeNames) {
    if (name == t.name) {
      type = t.type;
      return true;
    }
  }
  return false;
}

}  // namespace lumenax
