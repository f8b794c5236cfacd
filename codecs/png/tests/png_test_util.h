// Helpers of the PNG tests: running the reader and writer on bytes, and encoding test
// files with libpng directly (so the reader meets files this code base did not write).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "io/params.h"

namespace lumenax::test {

// Records every percentage a codec reports.
struct ProgressLog {
  std::vector<int> percents;
  bool abortAtFirst = false;  // the handler sets Aborting at its first call
  bool* aborting = nullptr;
};

// Runs ReadPNGStream on the bytes; returns the Aborting flag. A load that fails without being
// cancelled must give a reason (checked here); reason receives it. maxPixels: the reader's
// pixel cap, 0 for none.
bool LoadPng(const std::vector<uint8_t>& bytes, TLxBitmap& bitmap, TIOParamsVals& params,
             bool infoOnly = false, ProgressLog* log = nullptr, TLxFailureReason* reason = nullptr,
             uint64_t maxPixels = 0);
// Runs WritePNGStream into memory; aborting receives the Aborting flag, reason the reason.
std::vector<uint8_t> SavePng(TLxBitmap& bitmap, TIOParamsVals& params, const TLxMask* mask,
                             bool* aborting = nullptr, ProgressLog* log = nullptr,
                             TLxFailureReason* reason = nullptr);

// A PNG described sample by sample, encoded with libpng as is (no transformations).
struct RawPng {
  int width = 1;
  int height = 1;
  int depth = 8;
  int colorType = 2;  // PNG colour type
  bool interlaced = false;
  // Rows as PNG stores them: packed from the most significant bit, 16-bit samples big-endian.
  std::vector<std::vector<uint8_t>> rows;
  std::vector<std::array<uint8_t, 3>> palette;       // red, green, blue
  std::vector<uint8_t> trnsAlpha;                    // palette images
  std::optional<std::array<uint16_t, 3>> trnsColor;  // gray (first) or red, green, blue
  std::optional<std::array<uint16_t, 4>> bkgd;       // index, red, green, blue / gray in [1]
  std::optional<std::array<uint32_t, 3>> phys;       // x, y, unit
  std::vector<std::pair<std::string, std::string>> texts;
  bool zTXt = false;
  bool textAfterImage = false;
};
std::vector<uint8_t> EncodeRawPng(const RawPng& png);

// ../shared/corpus/pngsuite, or empty when the corpus is absent.
std::filesystem::path PngSuiteDir();
// The suite's valid files, or its corrupt ones (x*), sorted.
std::vector<std::filesystem::path> PngSuiteFiles(bool corrupt);
// Expected RGBA of a suite file (by stem). Gamma is never applied (neither by the reference
// nor by the reader). 16-bit files are compared with the high byte of their 16-bit reference,
// since the reader strips 16-bit samples to their high byte; `rounded` receives the
// reference's own 8-bit rendering when it has one (which rounds instead, so it may differ by
// one in a sample).
std::vector<int> PngSuiteExpected(const std::string& stem, std::vector<int>* rounded);

// The integers of a JSON array file.
std::vector<int> ReadJsonInts(const std::filesystem::path& p);

// The mask the I/O component hands to the writer: a copy of the alpha channel.
void MaskFromAlpha(TLxBitmap& bitmap, TLxMask& mask);

}  // namespace lumenax::test
