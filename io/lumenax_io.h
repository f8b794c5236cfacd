// TLumenaxIO: the one door through which every load and save goes. It owns (or borrows from
// an attached viewer) the working bitmap and owns the parameter record; it picks the codec
// for a file by content, code or extension, runs it with a progress record, finishes the
// bitmap and tells whoever listens.
//
// Outcome of an operation: Aborting together with Params. Codecs never raise for bad data;
// files that cannot be opened or created raise (EFOpenError, EFCreateError). Every load or
// save that gets past its opening checks ends with exactly one end-of-operation
// notification (DoFinishWork: progress 100, then OnFinishWork).
//
// One component is used by one thread at a time; any number of components may work on
// different threads at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bitmap/bitmap.h"
#include "io/params.h"
#include "bitmap/progress.h"
#include "codecs/codec.h"
#include "io/registry.h"
#include "io/viewer.h"

namespace lumenax {

class TStream;
class TLxMask;

enum TMsgLanguage : uint8_t { msSystem = 0, msEnglish = 1 };
enum TLxDialogsMeasureUnit : uint8_t {
  lxduInches = 0,
  lxduCm,
  lxduSelectableDefInches,
  lxduSelectableDefCm,
};
// Options of the parameter dialogs.
using TPreviewParams = uint8_t;
constexpr TPreviewParams ioppDefaultLockPreview = 1;
constexpr TPreviewParams ioppApplyButton = 2;

class TLumenaxIO {
 public:
  using TProgressEvent = std::function<void(TLumenaxIO& sender, int percent)>;
  using TNotifyEvent = std::function<void(TLumenaxIO& sender)>;

  TLumenaxIO();
  virtual ~TLumenaxIO();
  TLumenaxIO(const TLumenaxIO&) = delete;
  TLumenaxIO& operator=(const TLumenaxIO&) = delete;

  // ---- the working bitmap
  TLxBitmap* Bitmap() const { return bitmap_; }
  // The component created Bitmap and destroys it (false while it works on a viewer's).
  bool OwnsBitmap() const { return bool(ownBitmap_); }
  // The platform bitmap of an attached picture control or of a viewer without a TLxBitmap;
  // Bitmap is bound to it before every operation.
  TBitmap* PlatformBitmap() const { return platformBitmap_; }

 private:
  // Declared before Params: the record's defaults read the platform bitmap and the viewer.
  std::unique_ptr<TLxBitmap> ownBitmap_;
  TLxBitmap* bitmap_ = nullptr;
  TBitmap* platformBitmap_ = nullptr;
  TLxViewer* viewer_ = nullptr;
  int viewerRegistration_ = -1;
  TLxPictureControl* picture_ = nullptr;
  int pictureRegistration_ = -1;

 public:
  // ---- state of the last operation
  TIOParamsVals Params;
  // Error flag of the last operation; codecs set it through ProgressRecord::AbortingPtr,
  // and a progress handler may set it to cancel.
  bool Aborting = false;
  // Why the last operation failed (empty when it did not, or when nothing said why). Set by
  // codecs through ProgressRecord::Fail; a progress handler that sets Aborting makes it
  // "cancelled".
  TLxFailureReason FailureReason;

  // ---- events (may be empty)
  TProgressEvent OnProgress;
  TNotifyEvent OnFinishWork;

  // ---- settings
  // Resample to square pixels after a load when DpiX and DpiY differ.
  bool AutoAdjustDPI = false;
  // AdjustDPI with filtering (24-bit result) instead of a plain stretch.
  bool FilteredAdjustDPI = false;
  // 12-byte headers around TIFF, JPEG and PCX images in streams.
  bool StreamHeaders = false;
  // Run file operations on a background thread; only with a viewer's bitmap.
  bool AsyncMode = false;
  TMsgLanguage MsgLanguage = msSystem;
  TPreviewParams PreviewsParams = 0;
  bool SimplifiedParamsDialogs = true;
  TLxDialogsMeasureUnit DialogsMeasureUnit = lxduInches;
  // With a viewer attached, Background writes reach the viewer only when this is set.
  bool BackgroundWriteThrough = false;
  // Proxy used for network addresses.
  std::string ProxyAddress;
  std::string ProxyUser;
  std::string ProxyPassword;

  // Readers keep the file's own pixel layout (Params.IsNativePixelFormat).
  bool NativePixelFormat() const { return Params.IsNativePixelFormat; }
  void SetNativePixelFormat(bool value) { Params.IsNativePixelFormat = value; }
  // The viewer's background when one is attached, else the component's own.
  TColor Background() const;
  void SetBackground(TColor colour);

  // ---- attachments
  TLxViewer* AttachedLumenax() const { return viewer_; }
  void SetAttachedLumenax(TLxViewer* viewer);
  TLxPictureControl* AttachedTImage() const { return picture_; }
  void SetAttachedTImage(TLxPictureControl* picture);

  // ---- loading by name
  // Detects the format from the content (DetectFileFormat, not strict) and loads it; an
  // undetected file is loaded by its extension. The outcome is in Aborting and
  // Params.FileType.
  void LoadFromFile(const std::filesystem::path& name);
  // Loads with the file entry point of type. A type without a registry row does nothing at
  // all (no notification, Aborting and Params unchanged).
  void LoadFromFileByType(const std::filesystem::path& name, FileType type);
  // Loads by the name's extension (or from a network address).
  void LoadFromFileByExtension(const std::filesystem::path& name);
  // Downloads an http, https or ftp address ("scheme://[user:password@]host[:port]/path")
  // into memory and loads it like a stream. Any failure of the network, an answer that is
  // not a success, a cancel from a progress handler, or content that no reader handles sets
  // Aborting and notifies once.
  void LoadFromURL(const std::string& address);

  // ---- loading from streams (the stream's position is the start of the image)
  // Detects the format of the content and loads it. Content of a type without a registry
  // row does nothing at all (no notification, Aborting unchanged).
  void LoadFromStream(TStream& stream);
  // Loads with the stream entry point of type (or the reader of a row added at run time).
  void LoadFromStreamByType(TStream& stream, FileType type);

  // ---- file and stream entry points
  void LoadFromFileBmp(const std::filesystem::path& name);
  void LoadFromStreamBmp(TStream& stream);
  void SaveToFileBmp(const std::filesystem::path& name);
  void SaveToStreamBmp(TStream& stream);
  void LoadFromFilePng(const std::filesystem::path& name);
  void LoadFromStreamPng(TStream& stream);
  void SaveToFilePng(const std::filesystem::path& name);
  void SaveToStreamPng(TStream& stream);
  // The file loads of the other formats. Each runs the format's reader once it exists;
  // until then the operation ends through Aborting (with its notification).
  void LoadFromFileTiff(const std::filesystem::path& name);
  void LoadFromFileGif(const std::filesystem::path& name);
  void LoadFromFileJpeg(const std::filesystem::path& name);
  void LoadFromFilePcx(const std::filesystem::path& name);
  void LoadFromFileIco(const std::filesystem::path& name);
  void LoadFromFileCur(const std::filesystem::path& name);
  void LoadFromFileTga(const std::filesystem::path& name);
  void LoadFromFilePxm(const std::filesystem::path& name);
  void LoadFromFileJp2(const std::filesystem::path& name);
  void LoadFromFileJ2k(const std::filesystem::path& name);
  void LoadFromFileWbmp(const std::filesystem::path& name);
  void LoadFromFileDcx(const std::filesystem::path& name);
  void LoadFromFileRaw(const std::filesystem::path& name);
  void LoadFromFilePsd(const std::filesystem::path& name);
  void LoadFromFileDicom(const std::filesystem::path& name);
  // Windows metafiles (ftWmf, ftEmf): played onto a bitmap of width x height (-1: from the
  // metafile), with alpha for the undrawn area.
  void LoadFromFileMetafile(const std::filesystem::path& name, int width, int height,
                            bool withAlpha);
  // The viewer's own formats (ftVectObjects, ftLayers, ftLayersAndObjects): loaded by an
  // attached viewer that can; otherwise only Params.FileType is set.
  void LoadFromFileViewerFormat(const std::filesystem::path& name, FileType type);
  // The stream loads of the other formats, like their file loads.
  void LoadFromStreamTiff(TStream& stream);
  void LoadFromStreamGif(TStream& stream);
  void LoadFromStreamJpeg(TStream& stream);
  void LoadFromStreamPcx(TStream& stream);
  void LoadFromStreamIco(TStream& stream);
  void LoadFromStreamCur(TStream& stream);
  void LoadFromStreamTga(TStream& stream);
  void LoadFromStreamPxm(TStream& stream);
  void LoadFromStreamJp2(TStream& stream);
  void LoadFromStreamJ2k(TStream& stream);
  void LoadFromStreamWbmp(TStream& stream);
  void LoadFromStreamDcx(TStream& stream);
  void LoadFromStreamRaw(TStream& stream);
  void LoadFromStreamRawPixels(TStream& stream);
  void LoadFromStreamPsd(TStream& stream);
  void LoadFromStreamDicom(TStream& stream);
  void LoadFromStreamViewerFormat(TStream& stream, FileType type);

  // The save entry points of the other formats. Each runs the format's writer once it
  // exists; until then the operation ends through Aborting (with its notification) and
  // leaves no file.
  void SaveToFileTiff(const std::filesystem::path& name);
  // Adds the image to the TIFF file as page Params.TiffImageIndex (the last page when the file
  // has fewer). The file is copied beside itself, the page inserted into the copy, and the
  // copy put in place of the file only when that succeeded: a failed insert (a big-endian
  // file, a damaged directory chain, a short write) leaves the file as it was. A file that
  // does not exist yet is written new.
  void InsertToFileTiff(const std::filesystem::path& name);
  void SaveToFileGif(const std::filesystem::path& name);
  void SaveToFileJpeg(const std::filesystem::path& name);
  void SaveToFilePcx(const std::filesystem::path& name);
  void SaveToFileIco(const std::filesystem::path& name);
  void SaveToFileTga(const std::filesystem::path& name);
  void SaveToFilePxm(const std::filesystem::path& name);
  void SaveToFileJp2(const std::filesystem::path& name);
  void SaveToFileJ2k(const std::filesystem::path& name);
  void SaveToFileWbmp(const std::filesystem::path& name);
  void SaveToFilePs(const std::filesystem::path& name);
  void SaveToFilePdf(const std::filesystem::path& name);
  void SaveToFileDcx(const std::filesystem::path& name);
  void SaveToFilePsd(const std::filesystem::path& name);
  void SaveToStreamTiff(TStream& stream);
  void SaveToStreamGif(TStream& stream);
  void SaveToStreamJpeg(TStream& stream);
  void SaveToStreamPcx(TStream& stream);
  void SaveToStreamIco(TStream& stream);
  void SaveToStreamTga(TStream& stream);
  void SaveToStreamPxm(TStream& stream);
  void SaveToStreamJp2(TStream& stream);
  void SaveToStreamJ2k(TStream& stream);
  void SaveToStreamWbmp(TStream& stream);
  void SaveToStreamPs(TStream& stream);
  void SaveToStreamPdf(TStream& stream);
  void SaveToStreamDcx(TStream& stream);
  void SaveToStreamPsd(TStream& stream);
  // The stream writer of type (or of a row added at run time with a writer); any other type
  // sets Aborting.
  void SaveToStream(TStream& stream, FileType type);

  // Loads from memory the caller owns: by type, or with detection when type is 0
  // (ftUnknown).
  void LoadFromBuffer(const void* address, int64_t length, FileType type);

  // ---- header-only reading: Params from the file's header, no pixels
  // Strict detection, then ParamsFromFileByType. Never raises.
  void ParamsFromFile(const std::filesystem::path& name);
  // The reader of type in info-only mode; Params.FileType is ftUnknown when it failed.
  // Never raises.
  void ParamsFromFileByType(const std::filesystem::path& name, FileType type);
  // The same from a stream's position; FileName stays as it is.
  void ParamsFromStream(TStream& stream);
  void ParamsFromStreamByType(TStream& stream, FileType type);

  // ---- text export
  // Writes the image as text: mode 0 a Pascal byte array, 1 a C byte array (both of the
  // image saved as type), 2 the saved bytes in Base64, 3 the 24-bit bitmap as characters
  // of a brightness ramp, one line per row. Sets Aborting when the image cannot be saved
  // that way; the file is then left as it was.
  void SaveToText(const std::filesystem::path& name, FileType type, int mode);

  // ---- saving by name
  // Writer chosen by the name's extension; an extension without a writer sets Aborting and
  // creates no file. An empty name does nothing.
  void SaveToFile(const std::filesystem::path& name);
  // Whether SaveToFile has a writer for the name's extension.
  static bool SaveToFileSupported(const std::filesystem::path& name);

  // ---- operation steps
  // Re-binds Bitmap to PlatformBitmap; false without a bitmap or when allowed (a set of
  // PixelFormat bits, 0 = any) excludes its layout.
  bool MakeConsistentBitmap(uint16_t allowed);
  virtual void DoProgress(TLumenaxIO& sender, int percent);
  // Progress 100, then OnFinishWork.
  virtual void DoFinishWork();
  // The platform bitmap behind Bitmap (lxTBitmap), else PlatformBitmap.
  virtual TBitmap* GetPlatformBitmap();
  // After every codec call of a load: alpha of platform bitmaps, viewer repaint.
  void UpdateAfterLoad();
  // Resolutions below 2 become DefaultDPI.
  void CheckDPI();
  // Resamples the bitmap to square pixels (see AutoAdjustDPI).
  void AdjustDPI();

  // ---- background work
  // Waits until no background operation of this component runs; with setAborting, asks
  // them to stop.
  void WaitThreads(bool setAborting);
  // The calling thread is one of this component's background threads.
  bool InWorkerThread();

  // Passes a resolution to the attached viewer (on its own thread).
  void PassResolutionToViewer(bool x, int32_t dpi);

 private:
  friend class TIOParamsVals;

  struct WorkerThread {
    std::thread thread;
  };

  // Starts op on a background thread when background mode applies; true if it did.
  bool StartInBackground(std::function<void()> op);
  // Runs body, then DoFinishWork once, also when body raises.
  template <class Body>
  void Finishing(Body&& body);
  // The progress record for a codec call: abort flag, progress method, sender.
  ProgressRecord MakeProgress();
  void ArmProgress(ProgressRecord& progress);
  // Calls call on the viewer's thread (queued from background threads).
  void ToViewer(std::function<void()> call);
  void RebindFromViewer();
  void OnViewerChange(TLxViewerChange change);
  void ForgetViewer();
  void ForgetPicture();
  void EnsureOwnBitmap();

  // The one load and the one save sequence. read/write are the codec's (empty: the format
  // has no reader or writer in this build); stream is null for file operations, name null
  // for stream operations. The codec's frame policy says where the two formats differ.
  using ReadCall = std::function<void(TLxReadArgs&)>;
  using WriteCall = std::function<void(TLxWriteArgs&)>;
  void LoadFrame(const TLxCodecDescriptor& codec, const ReadCall& read, TStream* stream,
                 const std::filesystem::path* name);
  void SaveFrame(const TLxCodecDescriptor& codec, const WriteCall& write, TStream* stream,
                 const std::filesystem::path* name);
  // The entry points of a built-in codec, by type (with the background check).
  void LoadFileOfType(const std::filesystem::path& name, FileType type);
  void LoadStreamOfCodec(TStream& stream, FileType type);
  void SaveFileOfType(const std::filesystem::path& name, FileType type);
  void SaveStreamOfCodec(TStream& stream, FileType type);
  // The file or stream entry point of a built-in type; false when the type has none.
  bool CallFileEntryPoint(const std::filesystem::path& name, FileType type);
  bool CallStreamEntryPoint(TStream& stream, FileType type);
  // Rows added at run time.
  static ReadCall RunTimeReader(const FormatRow& row);
  static WriteCall RunTimeWriter(const FormatRow& row);
  void RunTimeLoad(const std::filesystem::path& name, const FormatRow& row);
  void RunTimeStreamLoad(TStream& stream, const FormatRow& row);
  void RunTimeSave(const std::filesystem::path& name, const FormatRow& row);
  // Runs the stream load of type; false when there is none (nothing happened).
  bool LoadStreamOfType(TStream& stream, FileType type);
  // The info-only read of ParamsFrom*: name is null for streams.
  void ReadHeaderOnly(TStream& stream, FileType type, const std::filesystem::path* name);

  TColor ownBackground_ = 0;
  std::mutex threadLock_;
  std::list<WorkerThread> threads_;
  std::list<WorkerThread> finished_;
  // Expires with the component: calls queued to a viewer check it before they run.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace lumenax
