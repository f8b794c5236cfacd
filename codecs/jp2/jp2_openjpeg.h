// What the JPEG 2000 reader and writer share: OpenJPEG objects owned by smart pointers, the
// adapter between OpenJPEG's streams and ours, and the collection of OpenJPEG's messages.
#pragma once

#include <openjpeg.h>

#include <cstdint>
#include <memory>
#include <string>

namespace lumenax {

class TStream;

struct OpjCodecDeleter {
  void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct OpjStreamDeleter {
  void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct OpjImageDeleter {
  void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};
using OpjCodec = std::unique_ptr<opj_codec_t, OpjCodecDeleter>;
using OpjStream = std::unique_ptr<opj_stream_t, OpjStreamDeleter>;
using OpjImage = std::unique_ptr<opj_image_t, OpjImageDeleter>;

// OpenJPEG's error messages of one operation; the first one is the failure's detail.
struct OpjMessages {
  std::string First;
  // Installs the handlers on codec (errors kept, warnings and information dropped).
  void Attach(opj_codec_t* codec);
  // First, or fallback when OpenJPEG said nothing.
  std::string Or(const char* fallback) const { return First.empty() ? fallback : First; }
};

// The state behind an OpenJPEG stream over one of ours: positions OpenJPEG asks for count from
// Base, the stream's position when the adapter was made.
struct OpjStreamState {
  TStream* Stream = nullptr;
  int64_t Base = 0;
  int64_t Length = 0;  // bytes from Base to the end (reading)
  bool Writing = false;
  bool WriteFailed = false;
  int64_t Written = 0;  // furthest byte written, from Base
};

// An OpenJPEG stream reading or writing state.Stream; state must outlive it.
OpjStream MakeOpjStream(OpjStreamState& state);

}  // namespace lumenax
