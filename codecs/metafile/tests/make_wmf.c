/* Writes the Windows metafiles the metafile tests draw, with libuemf (a separate program:
 * libuemf and libwmf export functions of the same names). Usage: make_wmf OUT KIND, KIND one
 * of "placeable" (a 4 x 3 inch placeable file at 1440 units per inch), "plain" (no placeable
 * header: the player measures the drawing), "key" (the placeable scene with a square painted
 * in red 3, green 2, blue 1), "empty" (no placeable header and nothing drawn). */
#include <stdio.h>
#include <string.h>
#include <uwmf.h>

static WMFTRACK* wt;
static WMFHANDLES* wht;

static void add(char* rec) {
  if (rec) wmf_append((U_METARECORD*)rec, wt, 1);
}

static U_RECT16 rect(int l, int t, int r, int b) {
  U_RECT16 x;
  x.left = (int16_t)l;
  x.top = (int16_t)t;
  x.right = (int16_t)r;
  x.bottom = (int16_t)b;
  return x;
}

static void fill_with(U_COLORREF colour) {
  uint32_t brush, pen;
  add(wcreatebrushindirect_set(&brush, wht, U_WLOGBRUSH_set(U_BS_SOLID, colour, 0)));
  add(wselectobject_set(brush, wht));
  add(wcreatepenindirect_set(&pen, wht, U_PEN_set(U_PS_NULL, 1, colour)));
  add(wselectobject_set(pen, wht));
}

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const char* kind = argv[2];
  const int empty = strcmp(kind, "empty") == 0;
  const int placeable = strcmp(kind, "plain") != 0 && !empty;
  const int width = 5760, height = 4320;
  if (wmf_start(argv[1], 4096, 4096, &wt) || wmf_htable_create(128, 128, &wht)) return 1;
  /* Placeable bounds in inches at 1440 units per inch; none for a plain metafile. */
  U_PAIRF* size = placeable ? U_PAIRF_set(width / 1440.0f, height / 1440.0f) : NULL;
  wmf_header_append((U_METARECORD*)U_WMRHEADER_set(size, placeable ? 1440 : 0), wt, 1);
  add(U_WMRSETWINDOWORG_set((U_POINT16){0, 0}));
  add(U_WMRSETWINDOWEXT_set((U_POINT16){(int16_t)width, (int16_t)height}));
  add(U_WMRSETBKMODE_set(U_TRANSPARENT));
  if (empty) {
    add(U_WMREOF_set());
    return wmf_finish(wt) != 0;
  }
  /* The left half red, a blue ellipse on the right, a green triangle at the bottom left;
   * the rest of the page stays undrawn. */
  fill_with(U_RGB(255, 0, 0));
  add(U_WMRRECTANGLE_set(rect(0, 0, width / 2, height / 2)));
  fill_with(U_RGB(0, 0, 255));
  add(U_WMRELLIPSE_set(rect(width / 2 + 200, 200, width - 200, height / 2 - 200)));
  fill_with(U_RGB(0, 160, 0));
  U_POINT16 tri[3] = {{200, (int16_t)(height - 200)},
                      {(int16_t)(width / 3), (int16_t)(height / 2 + 200)},
                      {(int16_t)(width / 2), (int16_t)(height - 200)}};
  add(U_WMRPOLYGON_set(3, tri));
  if (strcmp(kind, "key") == 0) {
    fill_with(U_RGB(3, 2, 1));
    add(U_WMRRECTANGLE_set(rect(width * 3 / 4, height * 3 / 4, width, height)));
  }
  add(U_WMREOF_set());
  if (wmf_finish(wt)) return 1;
  wmf_free(&wt);
  wmf_htable_free(&wht);
  return 0;
}
