// Drawing one TLxBitmap onto another. For now the unscaled form that animation composition
// needs: the whole source at a position of the target, clipped to the target, through the
// source's alpha channel read as on/off.
#pragma once

namespace lumenax {

class TLxBitmap;

// A rectangle of a source placed at (TargetX, TargetY) of a target, cut to the part that lies
// inside both.
struct TLxClippedRect {
  int SourceX = 0, SourceY = 0, TargetX = 0, TargetY = 0, Width = 0, Height = 0;
};
// Cuts a width x height rectangle at (x, y) of a target of targetWidth x targetHeight to the
// target; false when nothing of it lies inside (negative or zero sizes included).
bool ClipToTarget(int x, int y, int width, int height, int targetWidth, int targetHeight,
                  TLxClippedRect& out);

// Draws source (lx24RGB) at (x, y) of target (lx24RGB) at its own size: where the source's
// alpha is 0 the target is left unchanged, elsewhere the source pixel replaces it (no alpha
// channel: every pixel replaces). Only the part inside the target is drawn; the target's
// alpha channel is not touched. Other layouts draw nothing.
void RenderToBitmap(TLxBitmap& source, TLxBitmap& target, int x, int y);

}  // namespace lumenax
