// Helpers of the small-format codec tests: running a reader or writer with a progress record
// that keeps the failure reason, a stream that takes only so many bytes, and peer programs
// that decode a file into RGBA pixels.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "tests/support/test_support.h"

namespace lumenax::test {

struct Outcome {
  bool aborting = false;
  TLxFailureReason reason;
  std::vector<int> percents;
  TLxFailure code() const { return reason.Code; }
};

// Runs f(progress) with a record that keeps the reason and the reported percentages.
template <class F>
Outcome RunCodec(F&& f) {
  Outcome o;
  ProgressRecord p;
  p.AbortingPtr = &o.aborting;
  p.ReasonPtr = &o.reason;
  p.OnProgressData = &o.percents;
  p.OnProgressCode = [](void* data, void*, int percent) {
    static_cast<std::vector<int>*>(data)->push_back(percent);
  };
  f(p);
  return o;
}

// A stream that accepts only the first limit bytes written to it.
class ShortStream : public TMemoryStream {
 public:
  explicit ShortStream(int64_t limit) : limit_(limit) {}
  int64_t Write(const void* buffer, int64_t count) override {
    int64_t room = std::max<int64_t>(0, limit_ - Position());
    return TMemoryStream::Write(buffer, std::min(count, room));
  }

 private:
  int64_t limit_;
};

inline std::vector<uint8_t> StreamBytes(TMemoryStream& s) {
  return std::vector<uint8_t>(s.Memory(), s.Memory() + s.Size());
}

inline std::vector<uint8_t> Text(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

inline bool HavePillow() {
  return RunCommand("/usr/bin/python3 -c 'import PIL' 2>/dev/null") == 0;
}

// Decodes file with Pillow (converted to RGBA, pixels as Pillow sees them).
inline bool PillowRgba(const std::filesystem::path& file, RgbaImage& out, const TempDir& dir) {
  std::filesystem::path png = dir / "pillow-out.png";
  std::string cmd =
      "/usr/bin/python3 -c \"import sys; from PIL import Image; "
      "Image.open(sys.argv[1]).convert('RGBA').save(sys.argv[2])\" " +
      ShellQuote(file.string()) + " " + ShellQuote(png.string()) + " 2>/dev/null";
  return RunCommand(cmd) == 0 && ReadPngRgba(png, out);
}

// Decodes file with a netpbm converter to PPM (e.g. "tgatoppm"), then to PAM.
inline bool NetpbmRgba(const std::string& tool, const std::filesystem::path& file, RgbaImage& out,
                       const TempDir& dir) {
  if (!HaveProgram("/usr/bin/" + tool) || !HaveProgram("/usr/bin/pamtopam")) return false;
  std::filesystem::path pam = dir / "netpbm-out.pam";
  std::string cmd = "/usr/bin/" + tool + " " + ShellQuote(file.string()) +
                    " 2>/dev/null | /usr/bin/ppmtoppm 2>/dev/null | /usr/bin/pamdepth 255 "
                    "2>/dev/null | /usr/bin/pamtopam > " +
                    ShellQuote(pam.string()) + " 2>/dev/null";
  return RunCommand(cmd) == 0 && ReadPamRgba(pam, out);
}

// The largest difference of two images' bytes (256 when the sizes differ).
inline int MaxDifference(const RgbaImage& a, const RgbaImage& b) {
  if (a.width != b.width || a.height != b.height || a.rgba.size() != b.rgba.size()) return 256;
  int d = 0;
  for (size_t i = 0; i < a.rgba.size(); ++i) d = std::max(d, std::abs(a.rgba[i] - b.rgba[i]));
  return d;
}

}  // namespace lumenax::test
