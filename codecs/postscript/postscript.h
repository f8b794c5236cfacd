// PostScript and PDF writers: one image as a one-page PostScript Level 2 or PDF 1.4 document,
// scaled to fit the page at its top-left corner, and the encoders the two share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace lumenax {

class TStream;
class TLxBitmap;
class TIOParamsVals;
struct ProgressRecord;

// Writes the whole PostScript document at the stream's position. The bitmap must be lx1g or
// lx24RGB and not empty; anything else fails as an unsupported variant and writes nothing.
void WritePSStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                   ProgressRecord& progress);

// Writes the whole PDF document at the stream's position (offsets count from there). Same
// layouts as WritePSStream.
void WritePDFStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                    ProgressRecord& progress);

struct TLxFittedSize {
  int32_t Width = 0;
  int32_t Height = 0;
};

// The image scaled by the smaller of pageHeight / height and pageWidth / width, each side
// truncated and at least 1. A zero width or height gives {0, 0}.
TLxFittedSize FitToPage(int32_t width, int32_t height, int32_t pageWidth, int32_t pageHeight);

// Appends data in ASCII85 form to out: groups of four bytes as five base-85 digits ("z" for a
// full group of zeros, n + 1 digits for a short last group of n), CR LF after a group once
// more than 74 characters stand on the line, and "~>" CR LF at the end. The group characters
// written (not the line breaks nor the end) are added to total.
void Ascii85Encode(const uint8_t* data, size_t count, std::string& out, int64_t& total);

// The same text for data that arrive in pieces: Add encodes the groups the piece completes
// and keeps a short rest for the next one; End closes the block. Count and CountEnd only add
// up the group characters the text would have.
class TLxAscii85Encoder {
 public:
  // Room that Add(count) or End writes at most.
  static size_t MaxText(size_t count);
  // Returns the bytes written to out.
  size_t Add(const uint8_t* data, size_t count, uint8_t* out);
  size_t End(uint8_t* out);
  void Count(const uint8_t* data, size_t count);
  void CountEnd();
  // Counts a whole block of count bytes none of whose groups is zero.
  void CountBlock(size_t count) {
    total_ += int64_t(count / 4 * 5 + (count % 4 ? count % 4 + 1 : 0));
  }
  // Group characters so far (line breaks and ends not counted).
  int64_t Total() const { return total_; }

 private:
  size_t Groups(const uint8_t* data, size_t groups, uint8_t* out);
  // Tops the held bytes up from data (advancing it); true when they make a whole group.
  bool FillHeld(const uint8_t*& data, size_t& count);

  uint8_t heldBytes_[4] = {};
  int held_ = 0;
  int line_ = 0;
  int64_t total_ = 0;
};

// The RunLength form of PostScript and PDF: runs of 2 to 128 equal bytes as 257 - n and the
// byte, literals of up to 128 bytes as n - 1 and the bytes, and the end byte 128.
std::vector<uint8_t> RunLengthEncode(const uint8_t* data, size_t count);
void RunLengthEncode(const uint8_t* data, size_t count, std::vector<uint8_t>& out);

// Most bytes the RunLength form of count bytes takes: pairs of differing bytes followed by
// the first of an equal pair make literals of two, three bytes for two.
inline size_t RunLengthMaxSize(size_t count) {
  return count + count / 2 + 3;
}

// The packets of data into out (RunLengthMaxSize(count) bytes of room); with last, all of it
// and the end byte. Otherwise packets stop where one could depend on bytes after count, and
// used tells how many bytes were taken. Returns the bytes written.
size_t RunLengthPackets(const uint8_t* data, size_t count, bool last, uint8_t* out, size_t& used);

// The byte count of the RunLength form of data (end byte included), without writing it.
size_t RunLengthSize(const uint8_t* data, size_t count);

// RunLength data that arrive in pieces, giving the packets one call over all of it gives.
class TLxRunLengthEncoder {
 public:
  void Add(const uint8_t* data, size_t count, std::vector<uint8_t>& out);
  // The rest and the end byte.
  void End(std::vector<uint8_t>& out);

 private:
  void Encode(bool last, std::vector<uint8_t>& out);
  std::vector<uint8_t> held_;
};

// A header text for a 7-bit clean comment line: control characters become spaces, bytes of
// 128 and above "?".
std::string CleanCommentText(std::string_view text);

// "Wed Dec 09 17:19:23 2026" (English names whatever the locale).
std::string PsDateText(const std::tm& t);
// "20261209171923".
std::string PdfDateText(const std::tm& t);

}  // namespace lumenax
