// PostScript Level 2 writer: one page, the image scaled to fit it at its top-left corner, the
// data ASCII85-encoded after RunLength, CCITT or JPEG compression. The page announces the
// length of its data before them, so RunLength data are encoded twice: once to count, once
// to write; no whole encoded image is held.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "bitmap/worker_pool.h"
#include "codecs/common/stream_buffer.h"
#include "codecs/postscript/postscript.h"
#include "codecs/postscript/ps_common.h"
#include "io/params.h"

namespace lumenax {

namespace {

constexpr const char* kEol = "\r\n";

void Line(std::string& out, const std::string& text) {
  out += text;
  out += kEol;
}

// ASCII85 blocks of the page's data, written through a text block to the output, or only
// counted (no output).
class Ascii85Blocks {
 public:
  explicit Ascii85Blocks(TLxWriteBuffer* out) : out_(out) {
    if (out_) text_.resize(size_t(1) << 20);
  }
  bool Counting() const { return !out_; }
  // Counts a whole block of RunLength data of the given size. Its text has no "z": the form
  // never holds four zero bytes in a row (zeros stand alone, except a run's zero byte before
  // a one-byte literal at the end of the block and that literal's own zero).
  void CountRunLengthBlock(size_t size) { encoder_.CountBlock(size); }
  void Add(const uint8_t* data, size_t count) {
    if (!out_) {
      encoder_.Count(data, count);
      return;
    }
    constexpr size_t kPiece = 192 << 10;
    while (count > 0) {
      const size_t piece = std::min(count, kPiece);
      Reserve(TLxAscii85Encoder::MaxText(piece));
      used_ += encoder_.Add(data, piece, text_.data() + used_);
      data += piece;
      count -= piece;
    }
  }
  void End() {
    if (!out_) {
      encoder_.CountEnd();
      return;
    }
    Reserve(TLxAscii85Encoder::MaxText(0));
    used_ += encoder_.End(text_.data() + used_);
  }
  void Flush() {
    if (out_ && used_ > 0) out_->Write(text_.data(), used_);
    used_ = 0;
  }
  // Blocks encoded elsewhere, with their group characters.
  void AddText(const std::vector<uint8_t>& text, int64_t total) {
    extra_ += total;
    if (!out_ || text.empty()) return;
    Flush();
    out_->Write(text.data(), text.size());
  }
  // Group characters of all blocks so far.
  int64_t Total() const { return encoder_.Total() + extra_; }

 private:
  void Reserve(size_t n) {
    if (used_ + n <= text_.size()) return;
    Flush();
    if (n > text_.size()) text_.resize(n);
  }
  TLxWriteBuffer* out_;
  TLxAscii85Encoder encoder_;
  std::vector<uint8_t> text_;
  size_t used_ = 0;
  int64_t extra_ = 0;
};

// The blocks of the colour rows [first, last), or with counting only their group
// characters. Each channel of each row is a RunLength block and an ASCII85 block of its own:
// the page's procedures open a new filter pair for every read. So bands of rows encode
// independently, and the page is the same whoever encodes which band.
class ColourBand : public TLxClaimedJob {
 public:
  ColourBand(TLxBitmap& bm, int first, int last, bool counting)
      : bm_(bm), first_(first), last_(last), counting_(counting) {}
  const std::vector<uint8_t>& Text() const { return text_; }
  int64_t Total() const { return total_; }
  int Rows() const { return last_ - first_; }
  bool Ok() const { return ok_; }

  // Runs on a worker too, so it throws nothing: a failed allocation leaves Ok() false.
  void Run() noexcept {
    try {
      const int w = bm_.Width();
      std::vector<uint8_t> channels(size_t(w) * 3), packed(RunLengthMaxSize(size_t(w)));
      uint8_t* const red = channels.data();
      uint8_t* const green = red + w;
      uint8_t* const blue = green + w;
      TLxAscii85Encoder encoder;
      size_t used = 0;
      if (!counting_) text_.resize(size_t(Rows()) * 3 * TLxAscii85Encoder::MaxText(packed.size()));
      for (int y = first_; y < last_; ++y) {
        RowToChannels(bm_.ScanLine(y), w, red, green, blue);
        for (const uint8_t* channel : {red, green, blue}) {
          if (counting_) {
            encoder.CountBlock(RunLengthSize(channel, size_t(w)));
            continue;
          }
          size_t taken = 0;
          const size_t n = RunLengthPackets(channel, size_t(w), true, packed.data(), taken);
          used += encoder.Add(packed.data(), n, text_.data() + used);
          used += encoder.End(text_.data() + used);
        }
      }
      text_.resize(used);
      total_ = encoder.Total();
      ok_ = true;
    } catch (const std::bad_alloc&) {
      ok_ = false;
    }
    Done();
  }

 private:
  TLxBitmap& bm_;
  int first_, last_;
  bool counting_;
  std::vector<uint8_t> text_;
  int64_t total_ = 0;
  bool ok_ = false;
};

// The colour rows in bands of about half a mebibyte of samples, encoded on the worker pool
// while the bands before them are written in order.
bool ColourRows(TLxBitmap& bm, Ascii85Blocks& text, bool report, ProgressRecord& progress) {
  const int w = bm.Width(), h = bm.Height();
  const int bandRows = int(std::max<size_t>(1, (size_t(1) << 19) / (size_t(w) * 3)));
  // A bitmap in the paging file maps one row at a time: one thread only.
  TLxOrderedJobs<ColourBand> bands(bm.Location() == lxInMemory ? SpareLanes() : 1);
  auto write = [&](const ColourBand& band) {
    if (!band.Ok()) {
      progress.Fail(TLxFailure::OutOfMemory, "PostScript text");
      return false;
    }
    text.AddText(band.Text(), band.Total());
    if (report)
      for (int i = 0; i < band.Rows(); ++i) progress.RowDone();
    return !progress.Aborting();
  };
  if (report) progress.BeginRows(h);
  for (int first = 0; first < h; first += bandRows) {
    if (progress.Aborting()) return false;
    auto band =
        std::make_shared<ColourBand>(bm, first, std::min(h, first + bandRows), text.Counting());
    if (!bands.Add(std::move(band), write)) return false;
  }
  return bands.Drain(write) && !progress.Aborting();
}

// The page's image data as ASCII85 blocks. encoded holds the CCITT or JPEG data of those
// compressions. Run twice: first only counting the characters the page announces before its
// data, then writing them; only the second run reports progress.
bool PageData(TLxBitmap& bm, int compression, const std::vector<uint8_t>& encoded,
              Ascii85Blocks& text, bool report, ProgressRecord& progress) {
  const int w = bm.Width(), h = bm.Height();
  const bool bilevel = bm.PixelFormat() == lx1g;
  if ((bilevel && compression != 0) || (!bilevel && compression == 3)) {
    text.Add(encoded.data(), encoded.size());
    text.End();
    return true;
  }
  if (report) progress.BeginRows(h);
  auto rowDone = [&] {
    if (report) progress.RowDone();
  };
  std::vector<uint8_t> packed;
  if (bilevel) {
    // All rows make one RunLength block.
    const size_t rowBytes = size_t(w + 7) / 8;
    TLxRunLengthEncoder encoder;
    std::vector<uint8_t> rows;
    for (int y = 0; y < h; ++y) {
      if (progress.Aborting()) return false;
      rows.insert(rows.end(), bm.ScanLine(y), bm.ScanLine(y) + rowBytes);
      if (rows.size() >= (1u << 16)) {
        encoder.Add(rows.data(), rows.size(), packed);
        rows.clear();
        text.Add(packed.data(), packed.size());
        packed.clear();
      }
      rowDone();
    }
    encoder.Add(rows.data(), rows.size(), packed);
    encoder.End(packed);
    text.Add(packed.data(), packed.size());
    text.End();
    return !progress.Aborting();
  }
  return ColourRows(bm, text, report, progress);
}

}  // namespace

void WritePSStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                   ProgressRecord& progress) {
  if (!TakeLayout(bitmap, params, progress)) return;
  const int w = bitmap.Width(), h = bitmap.Height();
  const bool bilevel = bitmap.PixelFormat() == lx1g;
  const int32_t paperW = PaperSide(params.PsPaperWidth, 595);
  const int32_t paperH = PaperSide(params.PsPaperHeight, 842);
  int compression = params.PsCompression;
  // One-bit images know 0 RunLength, 1 Group 4 and 2 Group 3; other values get RunLength as
  // colour images do.
  if (bilevel && compression > 2) compression = 0;

  // CCITT and JPEG data are made once and kept; the other encodings are made again for the
  // count of characters and for the text.
  std::vector<uint8_t> encoded;
  if (bilevel && compression != 0) {
    const TLxFaxKind kind = compression == 1 ? TLxFaxKind::Group4 : TLxFaxKind::Group3TwoD;
    if (!WriteFaxData(bitmap, kind, progress, [&encoded](const uint8_t* data, size_t n) {
          encoded.insert(encoded.end(), data, data + n);
        }))
      return;
  } else if (!bilevel && compression == 3) {
    // The page says "false 3": three components, whatever the record asks for.
    TMemoryStream jpeg;
    if (!WriteJpegData(bitmap, params, jcYCbCr, jpeg, progress)) return;
    encoded = std::move(jpeg.Bytes());
  }
  Ascii85Blocks counted(nullptr);
  if (!PageData(bitmap, compression, encoded, counted, false, progress)) return;
  const int64_t total = counted.Total();

  const std::string W = std::to_string(w), H = std::to_string(h);
  std::string head;
  Line(head, "%!PS-Adobe-3.0");
  Line(head, "%%Creator: Lumenax by Quorvantic");
  Line(head, "%%Title: " + CleanCommentText(params.PsTitle));
  Line(head, "%%CreationDate: " + PsDateText(LocalNow()));
  Line(head, "%%DocumentData: Clean7Bit");
  Line(head, "%%LanguageLevel: 2");
  // The page count, left-aligned in a field of six characters.
  Line(head, "%%Pages: 1     ");
  Line(head, "%%BoundingBox: 0 0 " + std::to_string(paperW) + " " + std::to_string(paperH));
  Line(head, "%%EndComments");
  Line(head, "%%BeginProlog");
  Line(head, "10 dict begin");
  Line(head, "%%EndProlog");

  const TLxFittedSize fit = FitToPage(w, h, paperW, paperH);
  Line(head, "%%Page: 1 1");
  Line(head, "0 " + std::to_string(paperH) + " translate");
  Line(head, std::to_string(fit.Width) + " -" + std::to_string(fit.Height) + " scale");
  Line(head, W + " " + H + " " + std::to_string(params.BitsPerSample));
  Line(head, "[ " + W + " 0 0 " + H + " 0 0 ]");
  const std::string beginData = "%%BeginData:      " + std::to_string(total) + " ASCII Bytes";
  if (!bilevel) {
    if (compression == 3) {
      Line(head, "currentfile /ASCII85Decode filter << >> /DCTDecode filter");
      Line(head, "false 3");
    } else {
      Line(head, "/rstr " + W + " string def");
      Line(head, "/gstr " + W + " string def");
      Line(head, "/bstr " + W + " string def");
      for (const char* s : {"rstr", "gstr", "bstr"})
        Line(head, std::string("{currentfile /ASCII85Decode filter /RunLengthDecode filter ") + s +
                       " readstring pop}");
      Line(head, "true 3");
    }
    Line(head, beginData);
    Line(head, "colorimage");
  } else {
    if (compression == 0) {
      Line(head, "currentfile /ASCII85Decode filter /RunLengthDecode filter");
    } else {
      Line(head, std::string("currentfile /ASCII85Decode filter << /K ") +
                     (compression == 1 ? "-1" : "1") + " /BlackIs1 true /Columns " + W + " /Rows " +
                     H +
                     " /EndOfLine false /Uncompressed true /EncodedByteAlign false "
                     "/EndOfBlock false >> /CCITTFaxDecode filter");
    }
    Line(head, beginData);
    Line(head, "image");
  }

  std::string tail;
  Line(tail, "%%EndData");
  Line(tail, "showpage");
  Line(tail, "%%Trailer");
  Line(tail, "end");
  Line(tail, "%%EOF");

  // What is buffered when the save is cancelled is dropped: a save that stops in its first
  // rows writes nothing.
  TLxWriteBuffer out(stream, progress);
  out.Text(head);
  Ascii85Blocks text(&out);
  if (!PageData(bitmap, compression, encoded, text, true, progress)) return;
  text.Flush();
  out.Text(tail);
  out.Flush();
}

}  // namespace lumenax
