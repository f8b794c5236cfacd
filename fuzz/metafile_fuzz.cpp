// libFuzzer target of the metafile player (libwmf to SVG, librsvg on cairo): hostile
// records must neither crash nor hang, and a drawing comes back at the size asked for.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/metafile/wmf_player.h"

using namespace lumenax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TLxWmfPlayer player;
  if (!player.Load(std::vector<uint8_t>(data, data + size))) return 0;
  // Small drawings keep the fuzzer fast; the player's own size only steers the shape.
  const int w = int(player.Width() % 64) + 1, h = int(player.Height() % 64) + 1;
  std::vector<uint32_t> argb;
  if (player.Render(w, h, argb) && argb.size() != size_t(w) * size_t(h)) __builtin_trap();
  return 0;
}
