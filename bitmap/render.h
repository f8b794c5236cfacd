// Drawing one TLxBitmap onto another. For now the unscaled form that animation composition
// needs: the whole source at a position of the target, clipped to the target, through the
// source's alpha channel read as on/off.
#pragma once

namespace lumenax {

class TLxBitmap;
class TBitmap;

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

// A rectangle in a bitmap.
struct TLxRect {
  int X = 0, Y = 0, Width = 0, Height = 0;
};

// Draws the source rectangle stretched (nearest pixel) onto the target rectangle, clipped to
// the target. The source may be of any layout; the target is lx24RGB (a TBitmap: 24 or 32
// bits). Through the source's alpha channel: alpha 0 leaves the target pixel, 255 replaces it,
// anything between blends the source over the target. Source rectangles reaching outside
// the source are cut to it first; nothing is drawn for empty rectangles or other layouts.
void RenderToBitmap(TLxBitmap& source, TLxBitmap& target, const TLxRect& to, const TLxRect& from);
void RenderToTBitmap(TLxBitmap& source, TBitmap& target, const TLxRect& to, const TLxRect& from);

}  // namespace lumenax
