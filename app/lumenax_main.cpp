// lumenax: drives the imaging library from a shell.
//
//   lumenax detect [--strict] FILE...
//   lumenax info [-l KEY=VALUE]... FILE
//   lumenax convert [-l KEY=VALUE]... [-s KEY=VALUE]... [-p LAYOUT] [-r WxH[:FILTER]] IN OUT
//   lumenax dump [-l KEY=VALUE]... [-p LAYOUT] [-r WxH[:FILTER]] [--all] FILE OUT.pam
//   lumenax text [convert's options] MODE IN OUT
//   lumenax record [convert's options] IN OUT
//
// Loading options of every command but detect: -t TYPE (load by type), --alloc WxH:LAYOUT
// (the bitmap headerless pixels go into), "-" as IN (standard input). convert takes
// --out-type TYPE (save with that type's stream writer; several INs go into one OUT in turn;
// "-" as OUT is standard output).
//
// Order of work: -l, load, -p, -r, -s, save.
// Exit status: 0 success, 1 the file could not be loaded, 2 the result could not be saved,
// 3 usage error, 4 the image could not be resized. Errors go to stderr, one line each.
#include <charconv>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/stream.h"
#include "codecs/codec.h"
#include "codecs/common/ascii_case.h"
#include "io/lumenax_io.h"
#include "io/pam_dump.h"
#include "io/param_fields.h"
#include "io/registry.h"
#include "io/replace_file.h"
#include "io/startup.h"
#include "process/lumenax_proc.h"
#include "process/resample.h"

namespace {

using namespace lumenax;

constexpr int kExitLoad = 1;
constexpr int kExitSave = 2;
constexpr int kExitUsage = 3;
constexpr int kExitResize = 4;

const char kUsage[] =
    "Usage: lumenax COMMAND [OPTION]... FILE...\n"
    "\n"
    "Commands:\n"
    "  detect [--strict] FILE...            the format of each file: path, code, description\n"
    "  info [-l KEY=VALUE]... FILE          load FILE and print what the library learned\n"
    "  convert [-l KEY=VALUE]... [-s KEY=VALUE]... [-p LAYOUT] [-r WxH[:FILTER]] IN OUT\n"
    "                                       load IN and save it as OUT (format by extension)\n"
    "  dump [-l KEY=VALUE]... [-p LAYOUT] [-r WxH[:FILTER]] [--all] FILE OUT.pam\n"
    "                                       load FILE and write its pixels and alpha as PAM;\n"
    "                                       --all: every image of a stream, OUT-1.pam, ...\n"
    "  text [convert's options] MODE IN OUT  write IN as text: 0 Pascal array, 1 C array,\n"
    "                                       2 Base64 (of IN saved as --out-type), 3 a\n"
    "                                       character ramp of its 24-bit pixels\n"
    "  record [convert's options] IN OUT    write IN's bitmap as a raw bitmap record\n"
    "\n"
    "Options (anywhere among the arguments; \"--\" ends them):\n"
    "  -l, --load KEY=VALUE     set a parameter before loading (e.g. BmpKeepAlpha=true,\n"
    "                           NativePixelFormat=true)\n"
    "  -s, --set KEY=VALUE      set a parameter after loading, before saving\n"
    "  -p, --layout LAYOUT      change the pixel layout after loading (lx1g, lx8p, lx8g,\n"
    "                           lx16g, lx24RGB, lx32f, lxCMYK, lxRGB48, lxCIELab, lx32RGB)\n"
    "  -r, --resize WxH[:FILTER]\n"
    "                           resample after -p and before -s to W x H pixels; -1 keeps\n"
    "                           the aspect ratio, 0 keeps that side (100x-1, -1x50, 0x300)\n"
    "                           FILTER: lanczos3 (default), none, triangle, hermite, bell,\n"
    "                           bspline, mitchell, nearest, linear, fastlinear, bilinear,\n"
    "                           bicubic, projectbw, projectwb (with or without \"rf\", any\n"
    "                           case), or its number 0-13\n"
    "      --strict             detect: the extension must agree with the content\n"
    "  -t, --type TYPE          load as this format (ftPng, a code, or an extension such as\n"
    "                           png or tga) instead of detecting it\n"
    "      --alloc WxH:LAYOUT   allocate the bitmap first (for -t ftRawPixels, with\n"
    "                           -l RawPixelsHeaderSize=, RawPixelsRowAlign=, ...)\n"
    "      --header-only        info: read only the header (no pixels)\n"
    "      --record             IN is a raw bitmap record (as the record command writes)\n"
    "      --out-type TYPE      convert: save with the stream writer of TYPE instead of by\n"
    "                           OUT's extension; several INs are saved into OUT in turn\n"
    "      --insert             convert: add IN as a page of the TIFF file OUT (at\n"
    "                           TiffImageIndex, set with -s; the end by default); OUT is\n"
    "                           replaced only when the page was added\n"
    "  IN may be \"-\" (standard input); with --out-type, OUT may be \"-\" (standard output).\n"
    "  -h, --help               show this help\n"
    "\n"
    "Exit status: 0 success, 1 not loadable, 2 not saved, 3 usage error, 4 not resized.\n";

struct UsageError {
  std::string message;
};

struct Setting {
  std::string key;
  std::string value;
};

struct Resize {
  int width = 0, height = 0;
  TResampleFilter filter = rfLanczos3;
};

struct Options {
  std::string command;
  std::vector<std::string> files;
  std::vector<Setting> load;
  std::vector<Setting> save;
  std::optional<PixelFormat> layout;
  std::optional<Resize> resize;
  bool strict = false;
  bool help = false;
  std::optional<FileType> type;
  std::optional<FileType> outType;
  struct Alloc {
    int width = 0, height = 0;
    PixelFormat layout = lxNone;
  };
  std::optional<Alloc> alloc;
  bool headerOnly = false;
  bool all = false;
  bool record = false;
  bool insert = false;
  // Options as given, to say which one does not fit the command.
  std::vector<std::string> seen;
};

std::string Quote(const std::string& s) {
  return "\"" + s + "\"";
}

Setting ParseSetting(const std::string& text) {
  size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) throw UsageError{Quote(text) + " is not KEY=VALUE"};
  Setting s{text.substr(0, eq), text.substr(eq + 1)};
  switch (CheckIOValue(s.key, s.value)) {
    case SetValueResult::Ok:
      break;
    case SetValueResult::UnknownKey:
      throw UsageError{"unknown parameter " + Quote(s.key)};
    case SetValueResult::BadValue:
      throw UsageError{"bad value " + Quote(s.value) + " for parameter " + Quote(s.key)};
  }
  return s;
}

// WxH[:FILTER]; W and H are whole numbers, -1 and 0 included.
Resize ParseResize(const std::string& text) {
  Resize r;
  std::string size = text, filter;
  size_t colon = text.find(':');
  if (colon != std::string::npos) {
    size = text.substr(0, colon);
    filter = text.substr(colon + 1);
    if (!ResampleFilterFromName(filter, r.filter))
      throw UsageError{"unknown filter " + Quote(filter) +
                       " (none, triangle, hermite, bell, bspline, lanczos3, mitchell, nearest, "
                       "linear, fastlinear, bilinear, bicubic, projectbw, projectwb, or 0-13)"};
  }
  auto number = [](const std::string& s, int& out) {
    if (s.empty()) return false;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size();
  };
  size_t x = size.find_first_of("xX", 1);
  if (x == std::string::npos || !number(size.substr(0, x), r.width) ||
      !number(size.substr(x + 1), r.height))
    throw UsageError{"bad size " + Quote(text) + " for -r (WxH[:FILTER], e.g. 640x-1)"};
  return r;
}

// A format by name ("ftPng"), code ("8") or extension ("png", ".tga").
FileType ParseType(const std::string& text) {
  FileType type = ftUnknown;
  if (FileTypeFromName(text, type) && type != ftUnknown) return type;
  if (FormatRow row = FindFormatByExtension(text)) return row->FileType;
  throw UsageError{"unknown file type " + Quote(text) +
                   " (a name such as ftPng, a code, or an extension)"};
}

Options::Alloc ParseAlloc(const std::string& text) {
  Options::Alloc a;
  size_t colon = text.find(':');
  size_t x = text.find_first_of("xX");
  auto number = [](const std::string& s, int& out) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size() && out > 0;
  };
  if (colon == std::string::npos || x == std::string::npos || x > colon ||
      !number(text.substr(0, x), a.width) || !number(text.substr(x + 1, colon - x - 1), a.height) ||
      !PixelFormatFromName(text.substr(colon + 1).c_str(), a.layout) || a.layout == lxNone)
    throw UsageError{"bad value " + Quote(text) +
                     " for --alloc (WxH:LAYOUT, e.g. 640x480:lx24RGB)"};
  return a;
}

Options ParseArguments(int argc, char** argv) {
  Options o;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto positional = [&] {
      if (o.command.empty())
        o.command = arg;
      else
        o.files.push_back(arg);
    };
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      positional();
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    // The option's name and its value (attached as -lK=V or --load=K=V, or the next argument).
    std::string name = arg;
    std::optional<std::string> value;
    if (arg.rfind("--", 0) == 0) {
      size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
      }
    } else if (arg.size() > 2) {
      name = arg.substr(0, 2);
      value = arg.substr(2);
    }
    auto takeValue = [&](const char* what) {
      if (value) return *value;
      if (i + 1 >= argc) throw UsageError{"option " + Quote(name) + " needs " + what};
      return std::string(argv[++i]);
    };
    if (name == "-h" || name == "--help") {
      o.help = true;
    } else if (name == "--strict") {
      if (value) throw UsageError{"option " + Quote(name) + " takes no value"};
      o.strict = true;
      o.seen.push_back("--strict");
    } else if (name == "-l" || name == "--load") {
      o.load.push_back(ParseSetting(takeValue("KEY=VALUE")));
      o.seen.push_back(name);
    } else if (name == "-s" || name == "--set") {
      o.save.push_back(ParseSetting(takeValue("KEY=VALUE")));
      o.seen.push_back(name);
    } else if (name == "-p" || name == "--layout") {
      std::string layout = takeValue("a pixel layout");
      PixelFormat pf;
      if (!PixelFormatFromName(layout.c_str(), pf) || pf == lxNone)
        throw UsageError{"unknown pixel layout " + Quote(layout)};
      o.layout = pf;
      o.seen.push_back(name);
    } else if (name == "-r" || name == "--resize") {
      o.resize = ParseResize(takeValue("WxH[:FILTER]"));
      o.seen.push_back(name);
    } else if (name == "-t" || name == "--type") {
      o.type = ParseType(takeValue("a file type"));
      o.seen.push_back("-t");
    } else if (name == "--out-type") {
      o.outType = ParseType(takeValue("a file type"));
      o.seen.push_back(name);
    } else if (name == "--alloc") {
      o.alloc = ParseAlloc(takeValue("WxH:LAYOUT"));
      o.seen.push_back("-t");
    } else if (name == "--record") {
      if (value) throw UsageError{"option " + Quote(name) + " takes no value"};
      o.record = true;
      o.seen.push_back("-t");
    } else if (name == "--insert") {
      if (value) throw UsageError{"option " + Quote(name) + " takes no value"};
      o.insert = true;
      o.seen.push_back(name);
    } else if (name == "--header-only" || name == "--all") {
      if (value) throw UsageError{"option " + Quote(name) + " takes no value"};
      (name == "--all" ? o.all : o.headerOnly) = true;
      o.seen.push_back(name);
    } else {
      throw UsageError{"unknown option " + Quote(arg)};
    }
  }
  return o;
}

// Options each command accepts, and the number of files it takes.
void CheckOptionsFit(const Options& o) {
  auto allowed = [&](const std::string& opt) {
    bool isLoad = opt == "-l" || opt == "--load";
    bool isSave = opt == "-s" || opt == "--set";
    bool isLayout = opt == "-p" || opt == "--layout" || opt == "-r" || opt == "--resize";
    // "-t" stands for every loading option (-t, --alloc).
    isLoad = isLoad || opt == "-t";
    if (o.command == "detect") return opt == "--strict";
    if (o.command == "info") return isLoad || opt == "--header-only";
    if (o.command == "convert" && opt == "--insert") return true;
    if (o.command == "convert" || o.command == "text" || o.command == "record")
      return isLoad || isSave || isLayout || opt == "--out-type";
    if (o.command == "dump") return isLoad || isLayout || opt == "--all";
    return false;
  };
  for (const std::string& opt : o.seen) {
    if (!allowed(opt)) throw UsageError{"option " + Quote(opt) + " does not apply to " + o.command};
  }
  size_t need = o.command == "info" ? 1 : 2;
  if (o.command == "detect") {
    if (o.files.empty()) throw UsageError{"detect needs at least one FILE"};
  } else if (o.command == "convert" && o.outType) {
    if (o.files.size() < 2) throw UsageError{"convert needs IN... and OUT"};
  } else if (o.command == "text") {
    if (o.files.size() != 3 || o.files[0].size() != 1 || o.files[0][0] < '0' || o.files[0][0] > '3')
      throw UsageError{"text needs MODE (0-3), IN and OUT"};
  } else if (o.files.size() != need) {
    const char* what = o.command == "info"      ? "info needs one FILE"
                       : o.command == "convert" ? "convert needs IN and OUT"
                                                : "dump needs FILE and OUT.pam";
    throw UsageError{what};
  }
}

void Error(const std::string& message) {
  std::cerr << "lumenax: " << message << "\n";
}

void Apply(TLumenaxIO& io, const std::vector<Setting>& settings) {
  for (const Setting& s : settings) SetIOValue(io, s.key, s.value);
}

// ---------------------------------------------------------------- commands

int Detect(const Options& o) {
  int status = 0;
  for (const std::string& file : o.files) {
    FileType type = DetectFileFormat(file, o.strict);
    FormatRow row = FindFormatByType(type);
    std::cout << file << '\t' << type << '\t' << (row ? row->FullName : "unknown") << '\n';
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) {
      Error(file + ": no such file");
      status = kExitLoad;
    }
  }
  return status;
}

enum class LoadResult { Loaded, NotLoadable, Raised };

// The whole of standard input, read once.
const std::vector<uint8_t>& StandardInput() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> bytes;
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
      bytes.insert(bytes.end(), buffer, buffer + n);
    return bytes;
  }();
  return data;
}

// The load the options ask for: by content or by -t, from a file or standard input.
void RunLoad(TLumenaxIO& io, const Options& o, const std::string& file) {
  if (o.alloc) io.Bitmap()->Allocate(o.alloc->width, o.alloc->height, o.alloc->layout);
  if (file == "-") {
    const std::vector<uint8_t>& in = StandardInput();
    io.LoadFromBuffer(in.data(), int64_t(in.size()), o.type.value_or(ftUnknown));
    return;
  }
  if (!o.type) {
    io.LoadFromFile(file);
    return;
  }
  const TLxCodecDescriptor* codec = FindCodec(*o.type);
  if (!codec || codec->Registered) {
    io.LoadFromFileByType(file, *o.type);
    return;
  }
  // Headerless pixels have no file entry point: their stream entry point reads the file.
  TLxWideFileStream stream(file, fmOpenRead | fmShareDenyWrite);
  io.LoadFromStreamByType(stream, *o.type);
}

// --record: the bitmap from a raw bitmap record.
LoadResult LoadRecord(TLumenaxIO& io, const std::string& file) {
  std::vector<uint8_t> bytes;
  if (file == "-") {
    bytes = StandardInput();
  } else {
    TMemoryStream s;
    s.LoadFromFile(file);
    bytes = std::move(s.Bytes());
  }
  if (io.Bitmap()->LoadRawFromMemory(bytes.data(), int64_t(bytes.size())))
    return LoadResult::Loaded;
  Error(file + ": not loadable: not a complete raw bitmap record");
  return LoadResult::NotLoadable;
}

// Loads a file with the -l settings and says, with a message, when nothing usable came of it.
LoadResult Load(TLumenaxIO& io, const Options& o, const std::string& file) {
  if (o.record) {
    try {
      return LoadRecord(io, file);
    } catch (const std::exception& e) {
      Error(e.what());
      return LoadResult::Raised;
    }
  }
  int finished = 0;
  io.OnFinishWork = [&finished](TLumenaxIO&) { ++finished; };
  Apply(io, o.load);
  try {
    RunLoad(io, o, file);
  } catch (const std::exception& e) {
    io.OnFinishWork = nullptr;
    Error(e.what());
    return LoadResult::Raised;
  }
  io.OnFinishWork = nullptr;
  if (finished == 0) {
    // Detection found a format that no reader handles: nothing was loaded.
    Error(file + ": not loadable (no reader for this format)");
    return LoadResult::NotLoadable;
  }
  if (io.Aborting) {
    std::string reason = io.FailureReason.Text();
    Error(file + ": not loadable" + (reason.empty() ? "" : ": " + reason));
    return LoadResult::NotLoadable;
  }
  return LoadResult::Loaded;
}

// Texts are printed on one line: backslashes and control characters are escaped.
std::string Escape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out;
}

void PrintInfo(TLumenaxIO& io) {
  TLxBitmap& bitmap = *io.Bitmap();
  const char* layout = PixelFormatName(bitmap.PixelFormat());
  bool hasAlpha = bitmap.HasAlphaChannel();
  bool allOpaque = !hasAlpha || bitmap.AlphaChannel()->AllOpaque;
  std::cout << "Aborting=" << (io.Aborting ? "true" : "false") << '\n'
            << "PixelFormat=" << (layout ? layout : "lxNone") << '\n'
            << "HasAlphaChannel=" << (hasAlpha ? "true" : "false") << '\n'
            << "AlphaAllOpaque=" << (allOpaque ? "true" : "false") << '\n';
  for (const ParamField& f : ParamFieldTable()) {
    std::cout << f.Name << '=' << Escape(f.Get(io.Params)) << '\n';
    if (f.Name == "ColorMapCount") {
      int n = std::min<int>(io.Params.ColorMapCount, int(io.Params.ColorMap.size()));
      for (int i = 0; i < n; ++i) {
        const TRGB& c = io.Params.ColorMap[size_t(i)];
        std::cout << "ColorMap[" << i << "]=" << int(c.r) << ',' << int(c.g) << ',' << int(c.b)
                  << '\n';
      }
    }
  }
  const std::vector<std::string>& comments = io.Params.GifComments;
  for (size_t i = 0; i < comments.size(); ++i)
    std::cout << "GifComments[" << i << "]=" << Escape(comments[i]) << '\n';
  // The data elements of a DICOM file: group, element, VR, length, and the text of text VRs.
  const TLxDICOMTags& tags = io.Params.DicomTags;
  for (int i = 0; i < tags.Count(); ++i) {
    const TLxDICOMTag& t = tags[i];
    char head[64];
    std::snprintf(head, sizeof head, "DicomTag[%d]=%04X,%04X,%s,%u", i, t.Group, t.Element,
                  t.VR.c_str(), unsigned(t.Length));
    std::cout << head;
    if (IsDicomTextVR(t.VR) && !t.Value.empty())
      std::cout << ','
                << Escape(std::string(
                       reinterpret_cast<const char*>(t.Value.data()),
                       strnlen(reinterpret_cast<const char*>(t.Value.data()), t.Value.size() - 1)));
    std::cout << '\n';
  }
}

// info --header-only: the record as the header alone fills it.
int HeaderInfo(const Options& o) {
  TLumenaxIO io;
  Apply(io, o.load);
  const std::string& file = o.files[0];
  if (file == "-") {
    const std::vector<uint8_t>& in = StandardInput();
    TLxMemStream stream(in.data(), int64_t(in.size()));
    if (o.type)
      io.ParamsFromStreamByType(stream, *o.type);
    else
      io.ParamsFromStream(stream);
  } else if (o.type) {
    io.ParamsFromFileByType(file, *o.type);
  } else {
    io.ParamsFromFile(file);
  }
  PrintInfo(io);
  if (io.Params.FileType != ftUnknown && !io.Aborting) return 0;
  std::string reason = io.FailureReason.Text();
  Error(file + ": no header read" + (reason.empty() ? "" : ": " + reason));
  return kExitLoad;
}

int Info(const Options& o) {
  if (o.headerOnly) return HeaderInfo(o);
  TLumenaxIO io;
  LoadResult result = Load(io, o, o.files[0]);
  if (result == LoadResult::Raised) return kExitLoad;
  PrintInfo(io);
  return result == LoadResult::Loaded ? 0 : kExitLoad;
}

bool ChangeLayout(TLumenaxIO& io, const Options& o) {
  if (!o.layout) return true;
  io.Bitmap()->SetPixelFormat(*o.layout);
  if (io.Bitmap()->PixelFormat() != *o.layout) {
    Error(std::string("cannot change the layout to ") + PixelFormatName(*o.layout));
    return false;
  }
  return true;
}

// -r: the image resampled in place; false (with the reason on stderr) when it was not.
bool ResizeImage(TLumenaxIO& io, const Options& o) {
  if (!o.resize) return true;
  TLumenaxProc proc(*io.Bitmap());
  const PixelFormat before = io.Bitmap()->PixelFormat();
  if (proc.Resample(o.resize->width, o.resize->height, o.resize->filter)) return true;
  std::string message = std::string("cannot resize an ") + PixelFormatName(before) +
                        " image with " + ResampleFilterName(o.resize->filter) + ": " +
                        proc.FailureReason.Text();
  if (proc.FailureReason.Code == TLxFailure::Unsupported)
    message += " (change the layout first, e.g. -p lx24RGB, or use the filter none)";
  Error(message);
  return false;
}

// Says why a save failed; true when it did not.
bool Saved(TLumenaxIO& io, const std::string& out) {
  if (!io.Aborting) return true;
  std::string reason = io.FailureReason.Text();
  Error(out + ": not saved" + (reason.empty() ? "" : ": " + reason));
  return false;
}

// Writes bytes to OUT through a replacing file, or to standard output for "-".
bool WriteOut(const std::string& out, const std::vector<uint8_t>& bytes) {
  if (out == "-") return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
  TLxReplacingFile file(out);
  file.Stream().WriteBuffer(bytes.data(), int64_t(bytes.size()));
  file.Commit();
  return true;
}

// convert --out-type: every IN saved with the type's stream writer, one after another.
int ConvertToStream(const Options& o) {
  TMemoryStream stream;
  const std::string& out = o.files.back();
  for (size_t i = 0; i + 1 < o.files.size(); ++i) {
    TLumenaxIO io;
    if (Load(io, o, o.files[i]) != LoadResult::Loaded) return kExitLoad;
    if (!ChangeLayout(io, o)) return kExitSave;
    if (!ResizeImage(io, o)) return kExitResize;
    Apply(io, o.save);
    io.SaveToStream(stream, *o.outType);
    if (!Saved(io, out)) return kExitSave;
  }
  try {
    if (!WriteOut(out, stream.Bytes())) {
      Error(out + ": not saved: write failed");
      return kExitSave;
    }
  } catch (const std::exception& e) {
    Error(e.what());
    return kExitSave;
  }
  return 0;
}

int Text(const Options& o) {
  TLumenaxIO io;
  const int mode = o.files[0][0] - '0';
  if (Load(io, o, o.files[1]) != LoadResult::Loaded) return kExitLoad;
  if (!ChangeLayout(io, o)) return kExitSave;
  if (!ResizeImage(io, o)) return kExitResize;
  Apply(io, o.save);
  io.SaveToText(o.files[2], o.outType.value_or(io.Params.FileType), mode);
  return Saved(io, o.files[2]) ? 0 : kExitSave;
}

int Record(const Options& o) {
  TLumenaxIO io;
  if (Load(io, o, o.files[0]) != LoadResult::Loaded) return kExitLoad;
  if (!ChangeLayout(io, o)) return kExitSave;
  if (!ResizeImage(io, o)) return kExitResize;
  TMemoryStream record;
  io.Bitmap()->SaveRawToStream(record);
  try {
    if (WriteOut(o.files[1], record.Bytes())) return 0;
    Error(o.files[1] + ": not saved: write failed");
  } catch (const std::exception& e) {
    Error(e.what());
  }
  return kExitSave;
}

int Convert(const Options& o) {
  if (o.outType) return ConvertToStream(o);
  TLumenaxIO io;
  const std::string& in = o.files[0];
  const std::string& out = o.files[1];
  if (Load(io, o, in) != LoadResult::Loaded) return kExitLoad;
  if (!ChangeLayout(io, o)) return kExitSave;
  if (!ResizeImage(io, o)) return kExitResize;
  if (o.insert) {
    // Pages go to the end unless -s TiffImageIndex=N says where.
    io.Params.TiffImageIndex = INT32_MAX;
    Apply(io, o.save);
    const std::string ext = AsciiLower(ExtractFileExt(out));
    if (ext != ".tif" && ext != ".tiff") {
      Error(out + ": --insert needs a TIFF file (.tif or .tiff)");
      return kExitSave;
    }
    try {
      io.InsertToFileTiff(out);
    } catch (const std::exception& e) {
      Error(e.what());
      return kExitSave;
    }
    return Saved(io, out) ? 0 : kExitSave;
  }
  Apply(io, o.save);
  if (!TLumenaxIO::SaveToFileSupported(out)) {
    Error(out + ": no writer for this file name (" + Quote(ExtractFileExt(out)) + ")");
    return kExitSave;
  }
  try {
    io.SaveToFile(out);
  } catch (const std::exception& e) {
    Error(e.what());
    return kExitSave;
  }
  return Saved(io, out) ? 0 : kExitSave;
}

// dump --all: every image of a stream, one after another, to OUT-1.pam, OUT-2.pam, ...
int DumpAll(const Options& o) {
  const std::string& in = o.files[0];
  std::filesystem::path out = o.files[1];
  std::vector<uint8_t> bytes;
  if (in == "-") {
    bytes = StandardInput();
  } else {
    TMemoryStream file;
    file.LoadFromFile(in);
    bytes = std::move(file.Bytes());
  }
  TLxMemStream stream(bytes.data(), int64_t(bytes.size()));
  int count = 0;
  while (stream.Position() < stream.Size()) {
    const int64_t before = stream.Position();
    TLumenaxIO io;
    Apply(io, o.load);
    if (o.alloc) io.Bitmap()->Allocate(o.alloc->width, o.alloc->height, o.alloc->layout);
    int finished = 0;
    io.OnFinishWork = [&finished](TLumenaxIO&) { ++finished; };
    if (o.type)
      io.LoadFromStreamByType(stream, *o.type);
    else
      io.LoadFromStream(stream);
    // The end of the images: nothing more was read, or what followed is no image.
    if (finished == 0 || io.Aborting || stream.Position() <= before) {
      if (count > 0) break;
      std::string reason = io.FailureReason.Text();
      Error(in + ": not loadable" + (reason.empty() ? "" : ": " + reason));
      return kExitLoad;
    }
    if (!ChangeLayout(io, o)) return kExitSave;
    if (!ResizeImage(io, o)) return kExitResize;
    ++count;
    std::filesystem::path name = out;
    name.replace_filename(out.stem().string() + "-" + std::to_string(count) +
                          out.extension().string());
    SaveBitmapAsPam(*io.Bitmap(), name);
  }
  return 0;
}

int Dump(const Options& o) {
  if (o.all) return DumpAll(o);
  TLumenaxIO io;
  if (Load(io, o, o.files[0]) != LoadResult::Loaded) return kExitLoad;
  if (!ChangeLayout(io, o)) return kExitSave;
  if (!ResizeImage(io, o)) return kExitResize;
  try {
    SaveBitmapAsPam(*io.Bitmap(), o.files[1]);
  } catch (const std::exception& e) {
    Error(e.what());
    return kExitSave;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  LumenaxStartup();
  Options o;
  try {
    o = ParseArguments(argc, argv);
    if (o.help || o.command == "help") {
      std::cout << kUsage;
      return 0;
    }
    if (o.command.empty()) throw UsageError{"missing command"};
    if (o.command != "detect" && o.command != "info" && o.command != "convert" &&
        o.command != "dump" && o.command != "text" && o.command != "record")
      throw UsageError{"unknown command " + Quote(o.command)};
    CheckOptionsFit(o);
  } catch (const UsageError& e) {
    Error(e.message);
    std::cerr << "Try 'lumenax --help' for more information.\n";
    return kExitUsage;
  }
  try {
    if (o.command == "detect") return Detect(o);
    if (o.command == "info") return Info(o);
    if (o.command == "convert") return Convert(o);
    if (o.command == "text") return Text(o);
    if (o.command == "record") return Record(o);
    return Dump(o);
  } catch (const std::exception& e) {
    Error(e.what());
    return o.command == "convert" || o.command == "text" || o.command == "record" ? kExitSave
                                                                                  : kExitLoad;
  }
}
