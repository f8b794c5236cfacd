#include "codecs/png/png_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <vector>

#include "bitmap/errors.h"
#include "bitmap/worker_pool.h"

namespace lumenax {

namespace {

constexpr const char* kCreateError = "Error on creating PNG";
constexpr size_t kWindow = 32768;  // deflate's dictionary
// Deflated bytes per IDAT chunk.
constexpr size_t kChunkBytes = size_t(1) << 20;
// Adaptive filtering tests its sum every this many bytes, to stop a losing candidate early.
constexpr size_t kSumStep = 512;

inline unsigned Cost(uint8_t v) {
  return v < 128 ? v : 256u - v;
}

size_t Sum(const uint8_t* p, size_t n) {
  size_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += Cost(p[i]);
  return sum;
}

// Filtered bytes [from, to) of one filter type (1 Sub .. 4 Paeth) into out (no type byte).
void Apply(int type, const uint8_t* raw, const uint8_t* prev, size_t from, size_t to, size_t bpp,
           uint8_t* out) {
  size_t i = from;
  switch (type) {
    case 1:
      for (; i < to && i < bpp; ++i) out[i] = raw[i];
      for (; i < to; ++i) out[i] = uint8_t(raw[i] - raw[i - bpp]);
      break;
    case 2:
      for (; i < to; ++i) out[i] = uint8_t(raw[i] - prev[i]);
      break;
    case 3:
      for (; i < to && i < bpp; ++i) out[i] = uint8_t(raw[i] - (prev[i] >> 1));
      for (; i < to; ++i) out[i] = uint8_t(raw[i] - ((unsigned(raw[i - bpp]) + prev[i]) >> 1));
      break;
    case 4:
      for (; i < to && i < bpp; ++i) out[i] = uint8_t(raw[i] - prev[i]);
      for (; i < to; ++i) {
        const int a = raw[i - bpp], b = prev[i], c = prev[i - bpp];
        const int p = b - c, q = a - c;
        const int pa = std::abs(p), pb = std::abs(q), pc = std::abs(p + q);
        const int pred = (pa <= pb && pa <= pc) ? a : (pb <= pc) ? b : c;
        out[i] = uint8_t(raw[i] - pred);
      }
      break;
    default:
      std::memcpy(out + from, raw + from, to - from);
      break;
  }
}

// The sum of filter type's output, computed only until it exceeds limit.
size_t Candidate(int type, const uint8_t* raw, const uint8_t* prev, size_t n, size_t bpp,
                 uint8_t* out, size_t limit) {
  size_t sum = 0;
  for (size_t from = 0; from < n; from += kSumStep) {
    const size_t to = std::min(n, from + kSumStep);
    Apply(type, raw, prev, from, to, bpp, out);
    sum += Sum(out + from, to - from);
    if (sum > limit) break;
  }
  return sum;
}

}  // namespace

void FilterPngRow(PngRowFilter filter, const uint8_t* raw, const uint8_t* prev, size_t rowBytes,
                  int bpp, uint8_t* out, uint8_t* scratch) {
  const size_t step = size_t(std::max(bpp, 1));
  if (filter != PngRowFilter::Adaptive) {
    const int type = int(filter);
    out[0] = uint8_t(type);
    Apply(type, raw, prev, 0, rowBytes, step, out + 1);
    return;
  }
  size_t best = Sum(raw, rowBytes);
  int bestType = 0;
  uint8_t* trial = scratch;
  uint8_t* kept = scratch + rowBytes + 1;
  for (int type = 1; type <= 4; ++type) {
    const size_t sum = Candidate(type, raw, prev, rowBytes, step, trial, best);
    if (sum < best) {
      best = sum;
      bestType = type;
      std::swap(trial, kept);
    }
  }
  out[0] = uint8_t(bestType);
  if (bestType == 0)
    std::memcpy(out + 1, raw, rowBytes);
  else
    std::memcpy(out + 1, kept, rowBytes);
}

int PngBandRows(size_t rowBytes, size_t bandBytes) {
  return int(std::clamp<size_t>((bandBytes + rowBytes) / (rowBytes + 1), 1, INT32_MAX));
}

PngParallelTuning& PngParallelSettings() {
  static PngParallelTuning tuning{};
  return tuning;
}

namespace {

struct BandOutput {
  std::vector<uint8_t> data;  // raw deflate
  uLong adler = 1;            // Adler-32 of the band's filtered rows
  size_t length = 0;          // filtered bytes
  bool done = false;
};

// One thread's buffers, reused band after band.
class BandWorker {
 public:
  explicit BandWorker(const PngBandImage& image)
      : image_(image),
        source_(image.newSource()),
        rows_{std::vector<uint8_t>(image.rowBytes), std::vector<uint8_t>(image.rowBytes)},
        scratch_(2 * (image.rowBytes + 1)) {}

  void Run(int band, int bands, BandOutput& out) {
    const size_t stride = image_.rowBytes + 1;
    const int bandRows = image_.bandRows;
    const int y0 = band * bandRows, y1 = std::min(image_.height, y0 + bandRows);
    // The dictionary: the last filtered bytes before y0, filtered again from the rows.
    const int dictRows = std::min(y0, int((kWindow + stride - 1) / stride));
    StartAt(y0 - dictRows);
    dictionary_.resize(size_t(dictRows) * stride);
    for (int y = y0 - dictRows; y < y0; ++y)
      FilterNext(y, &dictionary_[size_t(y - y0 + dictRows) * stride]);
    filtered_.resize(size_t(y1 - y0) * stride);
    for (int y = y0; y < y1; ++y) FilterNext(y, &filtered_[size_t(y - y0) * stride]);
    out.length = filtered_.size();
    out.adler = adler32_z(1, filtered_.data(), filtered_.size());
    Deflate(band + 1 == bands, out.data);
  }

 private:
  // Makes the row above `y` the previous row (zeros above the first).
  void StartAt(int y) {
    prev_ = 0;
    if (y > 0)
      source_->Row(y - 1, rows_[0].data());
    else
      std::fill(rows_[0].begin(), rows_[0].end(), uint8_t(0));
  }

  void FilterNext(int y, uint8_t* out) {
    std::vector<uint8_t>& raw = rows_[1 - prev_];
    source_->Row(y, raw.data());
    FilterPngRow(image_.filter, raw.data(), rows_[prev_].data(), image_.rowBytes, image_.bpp, out,
                 scratch_.data());
    prev_ = 1 - prev_;
  }

  void Deflate(bool last, std::vector<uint8_t>& data) {
    z_stream z{};
    if (deflateInit2(&z, image_.level, Z_DEFLATED, -15, 8, image_.strategy) != Z_OK)
      throw EInvalidGraphic(kCreateError);
    struct End {
      z_stream& z;
      ~End() { deflateEnd(&z); }
    } end{z};
    const size_t window = std::min(kWindow, dictionary_.size());
    if (window > 0 && deflateSetDictionary(&z, dictionary_.data() + dictionary_.size() - window,
                                           uInt(window)) != Z_OK)
      throw EInvalidGraphic(kCreateError);
    data.resize(deflateBound(&z, uLong(filtered_.size())) + 64);
    z.next_in = filtered_.data();
    z.avail_in = uInt(filtered_.size());
    size_t produced = 0;
    const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
      if (produced == data.size()) data.resize(data.size() * 2);
      z.next_out = data.data() + produced;
      z.avail_out = uInt(data.size() - produced);
      const int r = deflate(&z, flush);
      produced = data.size() - z.avail_out;
      if (r == Z_STREAM_ERROR) throw EInvalidGraphic(kCreateError);
      if (last ? r == Z_STREAM_END : z.avail_out > 0) break;
    }
    data.resize(produced);
  }

  const PngBandImage& image_;
  std::unique_ptr<PngRowSource> source_;
  std::vector<uint8_t> rows_[2];
  int prev_ = 0;
  std::vector<uint8_t> scratch_;
  std::vector<uint8_t> dictionary_;
  std::vector<uint8_t> filtered_;
};

// What the calling thread and its helpers share. Helpers that a busy pool starts only after
// the encode has ended find it closed and leave at once; they hold the state alive.
struct SharedBands {
  const PngBandImage* image = nullptr;
  int bands = 0;
  int window = 1;  // bands claimed but not yet written, at most
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<BandOutput> slots;  // band k in slot k % window
  int next = 0;                   // next band to claim
  int written = 0;                // bands handed to the sink
  int running = 0;                // bands being worked on
  bool closed = false;            // the encode has ended or stops: claim nothing more
  std::exception_ptr error;

  bool CanClaim() const { return !closed && next < bands && next < written + window; }

  // Claims and runs one band (lock held on entry and exit).
  void RunOne(std::unique_lock<std::mutex>& lock, std::unique_ptr<BandWorker>& worker) {
    const int band = next++;
    ++running;
    lock.unlock();
    BandOutput result;
    std::exception_ptr failure;
    try {
      if (!worker) worker = std::make_unique<BandWorker>(*image);
      worker->Run(band, bands, result);
      result.done = true;
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    --running;
    if (failure) {
      if (!error) error = failure;
      closed = true;
    } else {
      slots[size_t(band % window)] = std::move(result);
    }
    changed.notify_all();
  }
};

void Help(const std::shared_ptr<SharedBands>& shared) {
  std::unique_ptr<BandWorker> worker;
  std::unique_lock<std::mutex> lock(shared->mutex);
  for (;;) {
    if (shared->closed || shared->next >= shared->bands) return;
    if (shared->CanClaim())
      shared->RunOne(lock, worker);
    else
      shared->changed.wait(lock);
  }
}

void PutBe32(std::vector<uint8_t>& v, uint32_t x) {
  for (int s = 24; s >= 0; s -= 8) v.push_back(uint8_t(x >> s));
}

// The zlib header deflate itself would write for this level and a 32 KiB window.
void PutZlibHeader(std::vector<uint8_t>& v, int level, int strategy) {
  if (level == Z_DEFAULT_COMPRESSION) level = 6;
  const unsigned levelFlags = (strategy >= Z_HUFFMAN_ONLY || level < 2) ? 0
                              : level < 6                               ? 1
                              : level == 6                              ? 2
                                                                        : 3;
  unsigned header = (0x78u << 8) | (levelFlags << 6);
  header += 31 - header % 31;
  v.insert(v.begin(), {uint8_t(header >> 8), uint8_t(header)});
}

}  // namespace

bool WritePngBands(const PngBandImage& image, int lanes, TLxWorkerPool& pool, PngIdatSink& sink) {
  if (image.height <= 0) return true;
  const int bandRows = std::max(1, image.bandRows);
  auto shared = std::make_shared<SharedBands>();
  shared->image = &image;
  shared->bands = (image.height + bandRows - 1) / bandRows;
  lanes = std::clamp(lanes, 1, shared->bands);
  shared->window = lanes == 1 ? 1 : 2 * lanes;
  shared->slots.resize(size_t(shared->window));
  for (int i = 1; i < lanes; ++i) pool.Submit([shared] { Help(shared); });

  std::unique_ptr<BandWorker> worker;
  std::unique_lock<std::mutex> lock(shared->mutex);
  // Ends the encode: nothing is claimed any more, and the bands in work are waited for, since
  // they read the image.
  auto close = [&] {
    shared->closed = true;
    shared->changed.notify_all();
    shared->changed.wait(lock, [&] { return shared->running == 0; });
  };
  uLong adler = 1;
  bool stopped = false;
  while (shared->written < shared->bands) {
    if (shared->error) break;
    BandOutput& slot = shared->slots[size_t(shared->written % shared->window)];
    if (slot.done) {
      BandOutput band = std::move(slot);
      slot = BandOutput{};
      const int k = shared->written;
      lock.unlock();
      adler = adler32_combine(adler, band.adler, z_off_t(band.length));
      if (k == 0) PutZlibHeader(band.data, image.level, image.strategy);
      if (k + 1 == shared->bands) PutBe32(band.data, uint32_t(adler));
      bool ok = true;
      std::exception_ptr failure;  // of a progress handler, say
      try {
        for (size_t at = 0; ok && at < band.data.size(); at += kChunkBytes)
          ok = sink.Chunk(band.data.data() + at, std::min(kChunkBytes, band.data.size() - at));
        const int rows = std::min(image.height - k * bandRows, bandRows);
        ok = ok && sink.RowsDone(rows);
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      if (failure && !shared->error) shared->error = failure;
      if (!ok || failure) {
        stopped = true;
        break;
      }
      ++shared->written;
      shared->changed.notify_all();
    } else if (shared->CanClaim()) {
      shared->RunOne(lock, worker);
    } else {
      shared->changed.wait(lock);
    }
  }
  close();
  if (shared->error) std::rethrow_exception(shared->error);
  return !stopped;
}

}  // namespace lumenax
