// FileType: the 32-bit code of an image format.
#pragma once

#include <cstdint>

namespace lumenax {

using FileType = int32_t;

constexpr FileType ftUnknown = 0;
constexpr FileType ftTiff = 1;
constexpr FileType ftGif = 2;
constexpr FileType ftJpeg = 3;
constexpr FileType ftPcx = 4;
constexpr FileType ftBmp = 5;
constexpr FileType ftIco = 6;
constexpr FileType ftCur = 7;
constexpr FileType ftPng = 8;
constexpr FileType ftWmf = 9;
constexpr FileType ftEmf = 10;
constexpr FileType ftTga = 11;
constexpr FileType ftPxm = 12;
constexpr FileType ftJp2 = 13;
constexpr FileType ftJ2k = 14;
constexpr FileType ftAvi = 15;
constexpr FileType ftWbmp = 16;
constexpr FileType ftPs = 17;
constexpr FileType ftPdf = 18;
constexpr FileType ftDcx = 19;
constexpr FileType ftRaw = 20;
constexpr FileType ftRawPixels = 21;
constexpr FileType ftPsd = 24;
constexpr FileType ftVectObjects = 25;
constexpr FileType ftLayers = 26;
constexpr FileType ftLayersAndObjects = 27;
constexpr FileType ftDicom = 28;

}  // namespace lumenax
