// What the JPEG reader and writer share around libjpeg: the error manager, the stream source
// and destination managers, and libjpeg's message texts.
//
// libjpeg reports errors through error_exit, which must not return. Ours longjmps back to the
// setjmp of the calling phase function; those functions hold no C++ objects with destructors,
// and everything that allocates or may throw happens outside them. No exception ever unwinds
// through libjpeg: the stream callbacks catch what the streams raise and hand it over.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>

// jpeglib.h needs size_t and FILE declared first, and comes before jerror.h: its
// configuration decides which message codes exist.
#include <jpeglib.h>
// (keep this order)
#include <jerror.h>

#include "bitmap/progress.h"

namespace lumenax {

class TStream;

// libjpeg's message for a code, with every printf placeholder written as "?"; the text for
// code 0 ("Bogus message code ?") for codes outside the table.
const char* JpegMessageText(int code);
// Number of entries of the table.
int JpegMessageCount();

struct JpegErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  // Warnings since the last reset and the code of the last one.
  int warnings;
  int lastWarning;
  // When a phase is left through the jump by something other than a libjpeg error: the
  // reason to record (too many scans, a cancel from the progress method).
  TLxFailure override;
  // The decoder needed entropy-coded data past the end of the stream (not just the missing
  // end-of-image marker).
  bool dataMissing;
};

// Installs our methods (error_exit jumps, warnings are counted, nothing is printed).
jpeg_error_mgr* InitJpegErrorManager(JpegErrorManager& err);

constexpr size_t kJpegIoBufferSize = 65536;

struct JpegSource {
  jpeg_source_mgr pub;
  TStream* stream;
  JOCTET* buffer;  // kJpegIoBufferSize bytes, owned by the caller
  // Nothing has been read from this stream yet.
  bool startOfFile;
  // The stream had no more data and an end-of-image marker was inserted.
  bool hitEnd;
  // The stream returned no byte at all.
  bool empty;
  // Bytes taken from the stream since the source was attached to it.
  int64_t consumed;
  // An exception raised by the stream, handed over to the caller.
  std::exception_ptr* pendingError;
};

// Attaches the source to stream (libjpeg reads from it next); the buffer is reused.
void AttachJpegSource(j_decompress_ptr cinfo, JpegSource& src, TStream& stream);
// Gives the bytes read ahead but not used back to the stream (seeks back), so that the stream
// is left just after what libjpeg consumed.
void ReturnUnusedJpegInput(JpegSource& src);

struct JpegDestination {
  jpeg_destination_mgr pub;
  TStream* stream;
  JOCTET* buffer;  // kJpegIoBufferSize bytes, owned by the caller
  // A write fell short (or raised: see pendingError).
  bool failed;
  std::exception_ptr* pendingError;
};

void AttachJpegDestination(j_compress_ptr cinfo, JpegDestination& dest, TStream& stream);

}  // namespace lumenax
