// One load or one save through the I/O component, timed inside the process, for the codec
// benchmarks driven by bench/*.sh (start-up of the process and of the library not counted).
//   codec_bench load FILE [-t TYPE] [--alloc WxH:LAYOUT] [-l KEY=VALUE]...
//   codec_bench save IN OUT [-t TYPE] [-l KEY=VALUE]... [-p LAYOUT] [-s KEY=VALUE]...
// load: FILE detected by content (or loaded as TYPE, into a bitmap allocated first with
// --alloc for headerless pixels). save: IN is loaded and its layout changed (untimed), then
// the writer chosen by OUT's extension writes it to a plain file stream, OUT removed first so
// the file is new; the frame's replacing
// file, and its flush to the disk, are left out so the writer is measured, as a plain write()
// would be. Prints the wall and processor seconds of the timed part.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/stream.h"
#include "codecs/codec.h"
#include "floor_util.h"
#include "io/lumenax_io.h"
#include "io/param_fields.h"
#include "io/registry.h"
#include "io/startup.h"

using namespace lumenax;

namespace {

using floor_util::Cpu;
using floor_util::Now;

int Usage(const std::string& why) {
  std::fprintf(stderr,
               "codec_bench: %s\nusage: codec_bench load FILE [-t TYPE] [--alloc WxH:LAYOUT] "
               "[-l K=V]...\n       codec_bench save IN OUT [-t TYPE] [-l K=V]... [-p LAYOUT] "
               "[-s K=V]...\n",
               why.c_str());
  return 3;
}

FileType TypeOf(const std::string& text) {
  FileType type = ftUnknown;
  if (FileTypeFromName(text, type) && type != ftUnknown) return type;
  if (FormatRow row = FindFormatByExtension(text)) return row->FileType;
  return ftUnknown;
}

bool Set(TLumenaxIO& io, const std::string& kv) {
  const size_t eq = kv.find('=');
  return eq != std::string::npos &&
         SetIOValue(io, kv.substr(0, eq), kv.substr(eq + 1)) == SetValueResult::Ok;
}

struct Options {
  std::vector<std::string> files;
  std::vector<std::string> load, save;
  FileType type = ftUnknown;
  PixelFormat layout = lxNone;
  int allocW = 0, allocH = 0;
  PixelFormat allocLayout = lxNone;
};

void Load(TLumenaxIO& io, const Options& o, const std::string& file) {
  if (o.allocLayout != lxNone) io.Bitmap()->Allocate(o.allocW, o.allocH, o.allocLayout);
  if (o.type == ftUnknown) {
    io.LoadFromFile(file);
    return;
  }
  const TLxCodecDescriptor* codec = FindCodec(o.type);
  if (!codec || codec->Registered) {
    io.LoadFromFileByType(file, o.type);
    return;
  }
  TLxWideFileStream stream(file, fmOpenRead | fmShareDenyWrite);
  io.LoadFromStreamByType(stream, o.type);
}

}  // namespace

int main(int argc, char** argv) {
  LumenaxStartup();
  if (argc < 3) return Usage("missing command or file");
  const std::string command = argv[1];
  Options o;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if ((a == "-l" || a == "-s" || a == "-t" || a == "-p" || a == "--alloc") && !hasValue)
      return Usage(a + " needs a value");
    if (a == "-l") {
      o.load.push_back(argv[++i]);
    } else if (a == "-s") {
      o.save.push_back(argv[++i]);
    } else if (a == "-t") {
      o.type = TypeOf(argv[++i]);
      if (o.type == ftUnknown) return Usage("unknown type");
    } else if (a == "-p") {
      if (!PixelFormatFromName(argv[++i], o.layout)) return Usage("unknown layout");
    } else if (a == "--alloc") {
      const std::string v = argv[++i];
      const size_t colon = v.find(':');
      if (colon == std::string::npos ||
          std::sscanf(v.c_str(), "%dx%d", &o.allocW, &o.allocH) != 2 ||
          !PixelFormatFromName(v.substr(colon + 1).c_str(), o.allocLayout))
        return Usage("bad --alloc");
    } else {
      o.files.push_back(a);
    }
  }
  TLumenaxIO io;
  for (const std::string& kv : o.load)
    if (!Set(io, kv)) return Usage("bad setting " + kv);
  double wall = 0, cpu = 0;
  if (command == "load" && o.files.size() == 1) {
    const double t0 = Now(), c0 = Cpu();
    Load(io, o, o.files[0]);
    wall = Now() - t0;
    cpu = Cpu() - c0;
    if (io.Aborting) {
      std::fprintf(stderr, "codec_bench: %s: not loadable: %s\n", o.files[0].c_str(),
                   io.FailureReason.Text().c_str());
      return 1;
    }
  } else if (command == "save" && o.files.size() == 2) {
    Load(io, o, o.files[0]);
    if (io.Aborting) return 1;
    if (o.layout != lxNone) io.Bitmap()->SetPixelFormat(o.layout);
    for (const std::string& kv : o.save)
      if (!Set(io, kv)) return Usage("bad setting " + kv);
    const FileType outType = TypeOf(std::filesystem::path(o.files[1]).extension().string());
    if (outType == ftUnknown) return Usage("no writer for " + o.files[1]);
    // A new file: truncating an old one costs the file system more than some encoders.
    std::error_code gone;
    std::filesystem::remove(o.files[1], gone);
    const double t0 = Now(), c0 = Cpu();
    {
      TLxWideFileStream out(o.files[1], fmCreate);
      io.SaveToStream(out, outType);
    }
    wall = Now() - t0;
    cpu = Cpu() - c0;
    if (io.Aborting) {
      std::fprintf(stderr, "codec_bench: %s: not saved: %s\n", o.files[1].c_str(),
                   io.FailureReason.Text().c_str());
      return 2;
    }
  } else {
    return Usage("unknown command or wrong number of files");
  }
  std::printf("%.4f %.4f\n", wall, cpu);
  return 0;
}
