// lumenax: drives the imaging library from a shell.
//
//   lumenax detect [--strict] FILE...
//   lumenax info [-l KEY=VALUE]... FILE
//   lumenax convert [-l KEY=VALUE]... [-s KEY=VALUE]... [-p LAYOUT] [-r WxH[:FILTER]] IN OUT
//   lumenax dump [-l KEY=VALUE]... [-p LAYOUT] [-r WxH[:FILTER]] FILE OUT.pam
//
// Order of work: -l, load, -p, -r, -s, save.
// Exit status: 0 success, 1 the file could not be loaded, 2 the result could not be saved,
// 3 usage error, 4 the image could not be resized. Errors go to stderr, one line each.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "bitmap/bitmap.h"
#include "io/lumenax_io.h"
#include "io/pam_dump.h"
#include "io/param_fields.h"
#include "io/registry.h"
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
    "  dump [-l KEY=VALUE]... [-p LAYOUT] [-r WxH[:FILTER]] FILE OUT.pam\n"
    "                                       load FILE and write its pixels and alpha as PAM\n"
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
    if (o.command == "detect") return opt == "--strict";
    if (o.command == "info") return isLoad;
    if (o.command == "convert") return isLoad || isSave || isLayout;
    if (o.command == "dump") return isLoad || isLayout;
    return false;
  };
  for (const std::string& opt : o.seen) {
    if (!allowed(opt)) throw UsageError{"option " + Quote(opt) + " does not apply to " + o.command};
  }
  size_t need = o.command == "info" ? 1 : 2;
  if (o.command == "detect") {
    if (o.files.empty()) throw UsageError{"detect needs at least one FILE"};
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

// Loads a file with the -l settings and says, with a message, when nothing usable came of it.
LoadResult Load(TLumenaxIO& io, const Options& o, const std::string& file) {
  int finished = 0;
  io.OnFinishWork = [&finished](TLumenaxIO&) { ++finished; };
  Apply(io, o.load);
  try {
    io.LoadFromFile(file);
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
}

int Info(const Options& o) {
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

int Convert(const Options& o) {
  TLumenaxIO io;
  const std::string& in = o.files[0];
  const std::string& out = o.files[1];
  if (Load(io, o, in) != LoadResult::Loaded) return kExitLoad;
  if (!ChangeLayout(io, o)) return kExitSave;
  if (!ResizeImage(io, o)) return kExitResize;
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
  if (io.Aborting) {
    std::string reason = io.FailureReason.Text();
    Error(out + ": not saved" + (reason.empty() ? "" : ": " + reason));
    return kExitSave;
  }
  return 0;
}

int Dump(const Options& o) {
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
        o.command != "dump")
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
    return Dump(o);
  } catch (const std::exception& e) {
    Error(e.what());
    return o.command == "convert" ? kExitSave : kExitLoad;
  }
}
