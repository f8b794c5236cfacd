// Deflating the rows of one PNG image on several threads.
//
// The filtered rows are cut into bands whose size depends on the row length only, so the
// bytes written are the same whatever the number of threads. Each band gets its own raw
// deflate stream, primed with the last 32 KiB of the band before it as dictionary and ended
// with a sync flush (the last band finishes the stream); the pieces, behind a zlib header and
// followed by the Adler-32 of all rows combined from the bands' own, form one zlib stream.
// The band before a band's dictionary is filtered again by the thread that needs it, so
// bands never wait for each other. The calling thread works on bands too and hands the
// finished ones to the output in order; workers of the pool join in when they are free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace lumenax {

class TLxWorkerPool;

// The filter of every row: one of PNG's five, or for each row the one whose output has the
// least sum of absolute differences (bytes taken as signed), the first on ties in the order
// None, Sub, Up, Average, Paeth, which is how libpng chooses when left to itself.
enum class PngRowFilter : uint8_t { None, Sub, Up, Average, Paeth, Adaptive };

// Filters raw (rowBytes bytes) against prev (the row above; zeros for the first row) into
// out: the filter type byte, then rowBytes filtered bytes. bpp: bytes per complete pixel,
// at least 1. scratch: 2 * (rowBytes + 1) bytes, used by Adaptive.
void FilterPngRow(PngRowFilter filter, const uint8_t* raw, const uint8_t* prev, size_t rowBytes,
                  int bpp, uint8_t* out, uint8_t* scratch);

// The rows of the image as PNG stores them, without filter byte. Each thread has its own.
class PngRowSource {
 public:
  virtual ~PngRowSource() = default;
  virtual void Row(int y, uint8_t* out) = 0;
};

struct PngBandImage {
  int height = 0;
  size_t rowBytes = 0;
  int bpp = 1;
  PngRowFilter filter = PngRowFilter::None;
  int level = 5;     // deflate level
  int strategy = 0;  // zlib strategy
  int bandRows = 1;  // PngBandRows
  // A row source for one thread; called on the thread that will use it.
  std::function<std::unique_ptr<PngRowSource>()> newSource;
};

// Where the stream goes, called on the calling thread only, in order.
class PngIdatSink {
 public:
  virtual ~PngIdatSink() = default;
  // One IDAT chunk's data; false stops the encode.
  virtual bool Chunk(const uint8_t* data, size_t n) = 0;
  // Rows whose data are all written; false stops the encode.
  virtual bool RowsDone(int rows) = 0;
};

// Rows per band for rows of rowBytes bytes (filter byte excluded): as many as make up
// bandBytes with their filter bytes, at least 1.
int PngBandRows(size_t rowBytes, size_t bandBytes);

// Writes the image's zlib stream through sink with up to `lanes` threads busy at once (the
// calling thread one of them; the others from pool). False when the sink stopped it; then
// the workers stop before their next band and no thread touches the image or the sink after
// the return. Raises EInvalidGraphic "Error on creating PNG" when zlib fails, and lets
// std::bad_alloc and the row sources' exceptions through.
bool WritePngBands(const PngBandImage& image, int lanes, TLxWorkerPool& pool, PngIdatSink& sink);

// When the PNG writer deflates on several threads; tests and benchmarks change it.
struct PngParallelTuning {
  // Images of fewer pixels, and interlaced ones, go through libpng row by row. On one thread
  // the bands cost no more processor time than libpng's own deflate (measured from 0.5
  // megapixels up), so threads pay once an image fills two bands: 1 megapixel is two bands
  // of RGB rows.
  int64_t minPixels = 1000000;
  // Threads busy at once on one image: 0 for SpareLanes(), else exactly this many.
  int workers = 0;
  // Filtered bytes per band (rows are never split).
  size_t bandBytes = size_t(1) << 20;
  // Pool of the helpers; null for the shared pool.
  TLxWorkerPool* pool = nullptr;
};
PngParallelTuning& PngParallelSettings();

}  // namespace lumenax
