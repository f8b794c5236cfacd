// A codec as the I/O component sees it: one descriptor per format, exported by the format's
// folder and listed once in codecs/codec_list.h. The descriptor names the format (registry
// row), says how to recognise it (content tests, run in detection's fixed order), how to read
// and write it, and how the component's load and save frames treat it (the frame policy).
//
// Codecs see the bitmap, the parameter record and the progress record, never the component.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "bitmap/layer.h"
#include "bitmap/types.h"
#include "codecs/probe.h"
#include "io/file_types.h"

namespace lumenax {

class TStream;
class TLxBitmap;
class TLxMask;
class TIOParamsVals;
struct ProgressRecord;

// What a reader gets. The stream is positioned at the start of the image.
struct TLxReadArgs {
  TStream& Stream;
  TLxBitmap& Bitmap;
  TIOParamsVals& Params;
  ProgressRecord& Progress;
  // Fill Params only (size, depth, resolution, metadata); leave the pixels alone.
  bool InfoOnly = false;
  // A reader that delivers transparency as a separate mask leaves it here; the load frame
  // turns it into the bitmap's alpha channel.
  std::unique_ptr<TLxMask>* AlphaMask = nullptr;
  // Formats with layers (policy LayersWithViewer): the frame passes a list when a viewer is
  // attached, and LoadLayers when the record asks for layers; layers left in the list go to
  // the viewer after the read.
  TLxLayerList* Layers = nullptr;
  bool LoadLayers = false;
};

// What a writer gets.
struct TLxWriteArgs {
  TStream& Stream;
  TLxBitmap& Bitmap;
  TIOParamsVals& Params;
  ProgressRecord& Progress;
  // The bitmap's alpha channel as a mask, for writers whose policy asks for it (else null).
  const TLxMask* AlphaMask = nullptr;
  // Formats with layers: the attached viewer's layers (else null); Bitmap is then the
  // viewer's layers flattened.
  const TLxLayerList* Layers = nullptr;
};

using TLxReadCodec = void (*)(TLxReadArgs& args);
using TLxWriteCodec = void (*)(TLxWriteArgs& args);

// The 12-byte header that may precede an image in a stream: a 4-byte magic, 4 zero bytes and
// the signed 32-bit little-endian length of the image that follows. Stream saves write it
// and stream loads require it when the component's StreamHeaders is set.
struct TLxStreamHeaderRule {
  // "TIFF", "JFIF", "PCX2"; null: the format has no stream header.
  const char* Magic = nullptr;
  // Looked for on every stream load, StreamHeaders or not; a stream without it is read as
  // bare data (JPEG).
  bool OptionalOnLoad = false;
  // The older 4-byte form, "PCX" and a zero byte with no length, is accepted on load (any
  // header whose first three bytes are "PCX" and that is not "PCX2").
  bool AcceptsOldForm = false;
  // The header is written only when the save succeeded; a failed save leaves the 12 zero
  // bytes of the placeholder (PCX).
  bool WrittenOnlyOnSuccess = false;
};

// How a format's loads and saves differ from the common frame. Each field keeps a rule the
// existing callers depend on; the defaults are what most formats do.
struct TLxFramePolicy {
  // The file is opened before the frame starts: a file that cannot be opened raises with no
  // notification at all (BMP, rows added at run time). Otherwise the file is opened inside
  // the frame, so that a failed open still notifies once and leaves Aborting set.
  bool OpenFileBeforeFrame = false;
  // The same for the target of a file save.
  bool CreateFileBeforeFrame = false;
  // Resolutions below 2 become DefaultDPI after the read. Rows added at run time skip it.
  bool CheckDpi = true;
  // The bitmap's alpha channel is dropped before the read. Rows added at run time keep it.
  bool RemoveAlphaBeforeRead = true;
  // FileName (and, for saves, FileType) is set only after the finish notification: the BMP
  // file entry points run their stream bodies inside and name the file afterwards.
  bool NameAfterNotification = false;
  // The writer gets the alpha channel as a mask (PNG writes it as its alpha samples); others
  // see the bitmap's alpha channel directly, if they use it.
  bool AlphaAsMaskOnSave = false;
  // Saves hand the writer 24-bit pixels unless the bitmap is 24-bit or bilevel.
  bool ConvertTo24OnSave = false;
  // Readers that read a few bytes at a time get the data through a read-ahead buffer of
  // this many bytes: for file loads only, or for every load (0: none).
  int32_t FileReadBuffer = 0;
  int32_t ReadBuffer = 0;
  // Stream saves first truncate the stream to nothing (DCX, whose page table is written at
  // the start of the stream).
  bool TruncateStreamOnSave = false;
  // Layers travel between the file and an attached viewer: loads hand the reader a list
  // (and the record's wish for layers) and give what it read to the viewer; saves hand the
  // writer the viewer's layers and, as the image, the layers flattened in the pixel format
  // of the first one (PSD).
  bool LayersWithViewer = false;
  TLxStreamHeaderRule StreamHeader;
};

// How the load frame reaches a format whose pixels do not come from a stream reader.
enum class TLxLoadRoute : uint8_t {
  Reader,      // Read (absent: the format has no reader in this build; the load says so)
  Metafile,    // played by the platform's graphics system (LoadFromFileMetafile)
  ViewerFile,  // loaded by an attached viewer that can (LoadFromFileViewerFormat)
  Video,       // a frame of a video file, only by name
};

struct TLxCodecDescriptor {
  lumenax::FileType Type = ftUnknown;
  // Registry row: description, extensions (upper case, ";"-separated), whether the format is
  // readable and writable (the row's abilities, whether or not this build has the codec yet)
  // and the parameter dialog page. Descriptors without a registry row (video, headerless
  // pixels) have Registered false.
  const char* Description = "";
  const char* Extensions = "";
  bool Registered = true;
  bool Readable = false;
  bool Writable = false;
  uint16_t DialogPage = 0;
  // Extensions SaveToFile writes this format for (lower case, with dots, ";"-separated). May
  // differ from the row's: ".win" saves Targa, ".xif" and ".pix" cannot be saved.
  const char* SaveExtensions = "";

  // Content tests. Detection calls them in its fixed order (io/detect.cpp); a format may have
  // a test for the 12-byte stream header some formats carry in streams and one for its own
  // content. Either may be absent.
  TLxContentTest StreamHeaderTest = nullptr;
  TLxContentTest ContentTest = nullptr;
  // A looser content test for files whose name already says they are of the format:
  // DetectFileFormat runs it when the content matched no format at all. Absent: the name
  // alone decides nothing.
  TLxContentTest NamedContentTest = nullptr;

  TLxLoadRoute LoadRoute = TLxLoadRoute::Reader;
  TLxReadCodec Read = nullptr;
  TLxWriteCodec Write = nullptr;
  TLxFramePolicy Policy;

  // Optional exchange of the component's background colour with the format's parameters:
  // before a file load the reader is told the current background; after any load the
  // background becomes the one the file asked for.
  void (*BackgroundToParams)(TIOParamsVals& params, TRGB background) = nullptr;
  TRGB (*BackgroundFromParams)(const TIOParamsVals& params) = nullptr;
};

// Every descriptor, in registry order (the order of codecs/codec_list.h).
const std::vector<const TLxCodecDescriptor*>& AllCodecs();
// The descriptor of a file type, or nullptr.
const TLxCodecDescriptor* FindCodec(FileType type);

}  // namespace lumenax
