#include "codecs/jpeg/jpeg_glue.h"

#include <array>
#include <cstring>
#include <string>

#include "bitmap/stream.h"

namespace lumenax {

namespace {

constexpr int kMessageCount = JMSG_LASTMSGCODE;

// "%d", "%02x", "%4u", "%s" ... each become "?".
std::string WithoutPlaceholders(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    const char* q = p + 1;
    while (*q && std::strchr("-+ #0123456789.lhz", *q)) ++q;
    if (*q && std::strchr("diouxXcsfeg", *q)) {
      out += '?';
      p = q;
    } else {
      out += '%';
    }
  }
  return out;
}

const std::array<std::string, kMessageCount>& MessageTable() {
  static const std::array<std::string, kMessageCount> table = [] {
    // libjpeg's own texts, as its standard error manager holds them.
    jpeg_error_mgr standard;
    jpeg_std_error(&standard);
    std::array<std::string, kMessageCount> t;
    for (int i = 0; i < kMessageCount; ++i) {
      const char* text = i <= standard.last_jpeg_message ? standard.jpeg_message_table[i] : nullptr;
      t[size_t(i)] = WithoutPlaceholders(text ? text : standard.jpeg_message_table[0]);
    }
    return t;
  }();
  return table;
}

// ---------------------------------------------------------------- error manager

[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
  std::longjmp(err->jump, 1);
}

void EmitMessage(j_common_ptr cinfo, int level) {
  if (level != -1) return;
  auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
  ++err->warnings;
  ++err->pub.num_warnings;
  err->lastWarning = err->pub.msg_code;
  if (err->pub.msg_code == JWRN_HIT_MARKER && cinfo->is_decompressor) {
    auto* src = reinterpret_cast<JpegSource*>(reinterpret_cast<j_decompress_ptr>(cinfo)->src);
    if (src && src->hitEnd) err->dataMissing = true;
  }
}

void OutputMessage(j_common_ptr) {}

void FormatMessage(j_common_ptr, char* buffer) {
  if (buffer) buffer[0] = 0;
}

void ResetErrorManager(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
  err->pub.num_warnings = 0;
  err->pub.msg_code = 0;
  err->warnings = 0;
  err->lastWarning = 0;
}

// ---------------------------------------------------------------- source manager

void InitSource(j_decompress_ptr) {}

boolean FillInputBuffer(j_decompress_ptr cinfo) {
  auto* src = reinterpret_cast<JpegSource*>(cinfo->src);
  int64_t got = 0;
  if (!src->hitEnd) {
    try {
      got = src->stream->Read(src->buffer, int64_t(kJpegIoBufferSize));
    } catch (...) {
      if (src->pendingError && !*src->pendingError) *src->pendingError = std::current_exception();
      got = 0;
    }
  }
  if (got <= 0) {
    if (src->startOfFile) src->empty = true;
    src->hitEnd = true;
    WARNMS(cinfo, JWRN_JPEG_EOF);
    // An inserted end-of-image marker lets libjpeg finish with what it has.
    src->buffer[0] = 0xFF;
    src->buffer[1] = JPEG_EOI;
    got = 2;
  } else {
    src->consumed += got;
  }
  src->pub.next_input_byte = src->buffer;
  src->pub.bytes_in_buffer = size_t(got);
  src->startOfFile = false;
  return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count) {
  auto* src = reinterpret_cast<JpegSource*>(cinfo->src);
  if (count <= 0) return;
  size_t n = size_t(count);
  while (n > src->pub.bytes_in_buffer) {
    n -= src->pub.bytes_in_buffer;
    FillInputBuffer(cinfo);
    // Past the end there is only the inserted marker: leave it for libjpeg to see.
    if (src->hitEnd) return;
  }
  src->pub.next_input_byte += n;
  src->pub.bytes_in_buffer -= n;
}

void TermSource(j_decompress_ptr) {}

// ---------------------------------------------------------------- destination manager

bool WriteOut(JpegDestination* d, size_t n) {
  if (d->failed || n == 0) return !d->failed;
  try {
    if (d->stream->Write(d->buffer, int64_t(n)) != int64_t(n)) d->failed = true;
  } catch (...) {
    if (d->pendingError && !*d->pendingError) *d->pendingError = std::current_exception();
    d->failed = true;
  }
  return !d->failed;
}

void InitDestination(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<JpegDestination*>(cinfo->dest);
  d->pub.next_output_byte = d->buffer;
  d->pub.free_in_buffer = kJpegIoBufferSize;
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<JpegDestination*>(cinfo->dest);
  WriteOut(d, kJpegIoBufferSize);
  d->pub.next_output_byte = d->buffer;
  d->pub.free_in_buffer = kJpegIoBufferSize;
  return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<JpegDestination*>(cinfo->dest);
  WriteOut(d, kJpegIoBufferSize - d->pub.free_in_buffer);
  d->pub.next_output_byte = d->buffer;
  d->pub.free_in_buffer = kJpegIoBufferSize;
}

}  // namespace

const char* JpegMessageText(int code) {
  const auto& table = MessageTable();
  if (code < 0 || code >= kMessageCount) code = 0;
  return table[size_t(code)].c_str();
}

int JpegMessageCount() {
  return kMessageCount;
}

jpeg_error_mgr* InitJpegErrorManager(JpegErrorManager& err) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = ErrorExit;
  err.pub.emit_message = EmitMessage;
  err.pub.output_message = OutputMessage;
  err.pub.format_message = FormatMessage;
  err.pub.reset_error_mgr = ResetErrorManager;
  err.warnings = 0;
  err.lastWarning = 0;
  err.override = TLxFailure::None;
  err.dataMissing = false;
  return &err.pub;
}

void AttachJpegSource(j_decompress_ptr cinfo, JpegSource& src, TStream& stream) {
  src.pub.init_source = InitSource;
  src.pub.fill_input_buffer = FillInputBuffer;
  src.pub.skip_input_data = SkipInputData;
  src.pub.resync_to_restart = jpeg_resync_to_restart;
  src.pub.term_source = TermSource;
  src.pub.next_input_byte = nullptr;
  src.pub.bytes_in_buffer = 0;
  src.stream = &stream;
  src.startOfFile = true;
  src.hitEnd = false;
  src.empty = false;
  src.consumed = 0;
  cinfo->src = &src.pub;
}

void ReturnUnusedJpegInput(JpegSource& src) {
  if (src.hitEnd || src.pub.bytes_in_buffer == 0) return;
  try {
    src.stream->Seek(-int64_t(src.pub.bytes_in_buffer), soCurrent);
    src.consumed -= int64_t(src.pub.bytes_in_buffer);
    src.pub.bytes_in_buffer = 0;
  } catch (...) {
  }
}

void AttachJpegDestination(j_compress_ptr cinfo, JpegDestination& dest, TStream& stream) {
  dest.pub.init_destination = InitDestination;
  dest.pub.empty_output_buffer = EmptyOutputBuffer;
  dest.pub.term_destination = TermDestination;
  dest.stream = &stream;
  dest.failed = false;
  cinfo->dest = &dest.pub;
}

}  // namespace lumenax
