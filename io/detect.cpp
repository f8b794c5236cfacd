// Content detection: the codecs' content tests in their fixed order. Every test reads from
// the starting position P and the position is put back before the next test; a read that
// comes up short makes the test fail.
#include <cstdint>
#include <system_error>

#include "bitmap/stream.h"
#include "codecs/codec.h"
#include "io/registry.h"

namespace lumenax {

namespace {

enum class Test : uint8_t { StreamHeader, Content };

struct DetectionStep {
  FileType type;
  Test test;
};

// The content tests in the order detection runs them: the first that accepts decides. The
// order matters where tests overlap: the 12-byte stream headers come before the contents
// they wrap, BMP before PCX's one-byte signature, TIFF before camera RAW files that are TIFF
// inside (the TIFF test refuses their directories), ICO before CUR, the JPEG start-of-image
// search late because it looks 100 bytes in.
constexpr DetectionStep kDetectionOrder[] = {
    {ftJpeg, Test::StreamHeader},   {ftGif, Test::Content},    {ftPcx, Test::StreamHeader},
    {ftBmp, Test::Content},         {ftPcx, Test::Content},    {ftTiff, Test::StreamHeader},
    {ftTiff, Test::Content},        {ftPng, Test::Content},    {ftDicom, Test::Content},
    {ftIco, Test::Content},         {ftCur, Test::Content},    {ftTga, Test::Content},
    {ftPxm, Test::Content},         {ftJpeg, Test::Content},   {ftJp2, Test::Content},
    {ftJ2k, Test::Content},         {ftAvi, Test::Content},    {ftDcx, Test::Content},
    {ftWmf, Test::Content},         {ftEmf, Test::Content},    {ftPsd, Test::Content},
    {ftVectObjects, Test::Content}, {ftLayers, Test::Content}, {ftLayersAndObjects, Test::Content},
};

// Tests that run only when nothing else, not even a format added at run time, recognised
// the data: camera-RAW identification accepts files of many layouts, some of them TIFF inside,
// and it is the most expensive test.
constexpr DetectionStep kLastResortOrder[] = {
    {ftRaw, Test::Content},
};

bool Holds(const DetectionStep& step, TLxProbe& probe) {
  const TLxCodecDescriptor* codec = FindCodec(step.type);
  if (!codec) return false;
  TLxContentTest test =
      step.test == Test::StreamHeader ? codec->StreamHeaderTest : codec->ContentTest;
  return test && test(probe);
}

FileType RunTests(TStream& stream, int64_t start, int64_t size) {
  TLxProbe probe(stream, start, size);
  for (const DetectionStep& step : kDetectionOrder)
    if (Holds(step, probe)) return step.type;
  // Then the probes of rows added at run time, in registry order.
  for (const FormatRow& row : FormatRegistryRows()) {
    if (!row->TryFunction) continue;
    stream.Seek(start, soBeginning);
    if (row->TryFunction(stream, row->FileType)) return row->FileType;
  }
  for (const DetectionStep& step : kLastResortOrder)
    if (Holds(step, probe)) return step.type;
  return ftUnknown;
}

// The named format's looser content test on a file whose content matched nothing.
bool NamedContentHolds(const std::filesystem::path& name, FileType type) {
  const TLxCodecDescriptor* codec = FindCodec(type);
  if (!codec || !codec->NamedContentTest) return false;
  try {
    TLxWideFileStream file(name, fmOpenRead | fmShareDenyWrite);
    TLxProbe probe(file, 0, file.Size());
    return codec->NamedContentTest(probe);
  } catch (...) {
    return false;
  }
}

}  // namespace

FileType DetectStreamFormat(TStream& stream) {
  FileType result = ftUnknown;
  int64_t start = 0;
  bool positioned = false;
  try {
    start = stream.Position();
    positioned = true;
    int64_t size = stream.Size();
    result = RunTests(stream, start, size);
  } catch (...) {
    // A test that raises ends the detection with what was found before it.
  }
  if (positioned) {
    try {
      stream.Seek(start, soBeginning);
    } catch (...) {
    }
  }
  return result;
}

FileType DetectFileFormat(const std::filesystem::path& name, bool strict) {
  std::error_code ec;
  if (name.empty() || !std::filesystem::exists(name, ec) || std::filesystem::is_directory(name, ec))
    return ftUnknown;
  FileType result = ftUnknown;
  try {
    TLxWideFileStream file(name, fmOpenRead | fmShareDenyWrite);
    result = DetectStreamFormat(file);
  } catch (...) {
    result = ftUnknown;
  }
  FormatRow row = FindFormatByExtension(ExtractFileExt(name));
  if (row && row->FileType == ftRaw && result == ftTiff) result = ftRaw;
  // Some formats are recognisable only when the name has said what to look for (camera
  // sensor dumps known by their size).
  if (row && row->InternalFormat && result == ftUnknown && NamedContentHolds(name, row->FileType))
    result = row->FileType;
  if (row && !row->InternalFormat) {
    result = row->FileType;
  } else if (strict && result != ftUnknown) {
    if (!row) {
      result = ftUnknown;
    } else {
      // Icons and cursors share one layout: the name tells which one it is. Any other name
      // on an icon or a cursor is a disagreement like any other.
      if ((result == ftIco || result == ftCur) &&
          (row->FileType == ftIco || row->FileType == ftCur))
        result = row->FileType;
      if (row->FileType != result) result = ftUnknown;
    }
  }
  return result;
}

}  // namespace lumenax
