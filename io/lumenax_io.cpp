#include "io/lumenax_io.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "bitmap/byte_reader.h"
#include "bitmap/errors.h"
#include "bitmap/mask.h"
#include "bitmap/settings.h"
#include "bitmap/stream.h"
#include "codecs/codec.h"
#include "codecs/common/ascii_case.h"
#include "codecs/metafile/wmf_player.h"
#include "codecs/tiff/tiff_writer.h"
#include "io/network.h"
#include "io/replace_file.h"
#include "io/stream_header.h"
#include "process/resample.h"

namespace lumenax {

namespace {

void ProgressTrampoline(void* data, void* sender, int percent) {
  auto* io = static_cast<TLumenaxIO*>(data);
  const bool wasAborting = io->Aborting;
  io->DoProgress(sender ? *static_cast<TLumenaxIO*>(sender) : *io, percent);
  // A handler that sets Aborting cancels the operation.
  if (io->Aborting && !wasAborting && !io->FailureReason)
    io->FailureReason.Code = TLxFailure::Cancelled;
}

std::string LowerExt(const std::filesystem::path& name) {
  return AsciiLower(ExtractFileExt(name));
}

// Puts a written file in place; a failure to do so fails the save.
void CommitOrAbort(TLxReplacingFile& file, bool& aborting) {
  try {
    file.Commit();
  } catch (...) {
    aborting = true;
    throw;
  }
}

}  // namespace

// ====================================================================== construction

TLumenaxIO::TLumenaxIO()
    : ownBitmap_(std::make_unique<TLxBitmap>()), bitmap_(ownBitmap_.get()), Params(this) {}

TLumenaxIO::~TLumenaxIO() {
  WaitThreads(false);
  alive_.reset();
  if (viewer_) viewer_->UnregisterChangeCallback(viewerRegistration_);
  if (picture_) picture_->UnregisterDestroyCallback(pictureRegistration_);
}

// ====================================================================== properties

TColor TLumenaxIO::Background() const {
  return viewer_ ? viewer_->Background() : ownBackground_;
}

void TLumenaxIO::SetBackground(TColor colour) {
  if (!viewer_) {
    ownBackground_ = colour;
  } else if (BackgroundWriteThrough) {
    TLxViewer* v = viewer_;
    ToViewer([v, colour] { v->SetBackground(colour); });
  }
}

TBitmap* TLumenaxIO::GetPlatformBitmap() {
  if (bitmap_ && bitmap_->Location() == lxTBitmap && bitmap_->PlatformBitmap())
    return bitmap_->PlatformBitmap();
  return platformBitmap_;
}

// ====================================================================== attachments

void TLumenaxIO::EnsureOwnBitmap() {
  if (!ownBitmap_) ownBitmap_ = std::make_unique<TLxBitmap>();
  bitmap_ = ownBitmap_.get();
}

void TLumenaxIO::RebindFromViewer() {
  platformBitmap_ = viewer_->ViewerPlatformBitmap();
  if (TLxBitmap* vb = viewer_->ViewerBitmap()) {
    platformBitmap_ = nullptr;
    bitmap_ = vb;
    ownBitmap_.reset();
  } else {
    EnsureOwnBitmap();
    bitmap_->EncapsulateTBitmap(platformBitmap_, true);
  }
}

void TLumenaxIO::SetAttachedLumenax(TLxViewer* viewer) {
  TLxViewer* previous = viewer_;
  if (previous) {
    previous->UnregisterChangeCallback(viewerRegistration_);
    viewerRegistration_ = -1;
  }
  viewer_ = viewer;
  if (!viewer) {
    // The viewer's bitmaps are not ours to keep working on.
    if (previous) platformBitmap_ = nullptr;
    ownBitmap_ = std::make_unique<TLxBitmap>();
    bitmap_ = ownBitmap_.get();
    if (platformBitmap_) bitmap_->EncapsulateTBitmap(platformBitmap_, true);
    return;
  }
  ForgetPicture();
  ownBitmap_.reset();
  bitmap_ = nullptr;
  RebindFromViewer();
  viewerRegistration_ =
      viewer_->RegisterChangeCallback([this](TLxViewerChange change) { OnViewerChange(change); });
}

void TLumenaxIO::OnViewerChange(TLxViewerChange change) {
  if (!viewer_) return;
  if (change == TLxViewerChange::Destroying) {
    ForgetViewer();
    return;
  }
  RebindFromViewer();
  Params.DpiX = viewer_->DpiX();
  Params.DpiY = viewer_->DpiY();
}

void TLumenaxIO::ForgetViewer() {
  if (!viewer_) return;
  viewer_->UnregisterChangeCallback(viewerRegistration_);
  viewerRegistration_ = -1;
  viewer_ = nullptr;
  // Whatever belonged to the viewer goes with it: work on an own, empty bitmap from now on.
  platformBitmap_ = nullptr;
  if (!ownBitmap_)
    EnsureOwnBitmap();
  else
    bitmap_->EncapsulateTBitmap(nullptr, true);
}

void TLumenaxIO::ForgetPicture() {
  if (!picture_) return;
  picture_->UnregisterDestroyCallback(pictureRegistration_);
  pictureRegistration_ = -1;
  picture_ = nullptr;
  if (platformBitmap_ && bitmap_ && ownBitmap_) bitmap_->FreeImage(true);
  platformBitmap_ = nullptr;
}

void TLumenaxIO::SetAttachedTImage(TLxPictureControl* picture) {
  if (viewer_) ForgetViewer();
  ForgetPicture();
  if (!picture) return;
  picture_ = picture;
  EnsureOwnBitmap();
  platformBitmap_ = picture->PictureBitmap();
  bitmap_->EncapsulateTBitmap(platformBitmap_, true);
  pictureRegistration_ = picture->RegisterDestroyCallback([this] {
    // The control goes and takes its picture along: unbind from it.
    pictureRegistration_ = -1;
    picture_ = nullptr;
    if (platformBitmap_ && bitmap_) bitmap_->FreeImage(true);
    platformBitmap_ = nullptr;
  });
}

// ====================================================================== viewers

bool TLxViewer::FlattenViewerLayers(TLxBitmap& target) {
  const TLxLayerList* layers = ViewerLayers();
  if (!layers || layers->empty()) return false;
  int width = 0, height = 0;
  if (TLxBitmap* own = ViewerBitmap(); own && !own->IsEmpty()) {
    width = own->Width();
    height = own->Height();
  } else {
    width = layers->front()->ShownWidth();
    height = layers->front()->ShownHeight();
  }
  return FlattenLayers(*layers, width, height, target);
}

// ====================================================================== operation steps

bool TLumenaxIO::MakeConsistentBitmap(uint16_t allowed) {
  if (!bitmap_) return false;
  if (platformBitmap_) bitmap_->EncapsulateTBitmap(platformBitmap_, false);
  if (allowed == 0) return true;
  unsigned pf = bitmap_->PixelFormat();
  return pf <= 15 && (allowed >> pf & 1) != 0;
}

void TLumenaxIO::ToViewer(std::function<void()> call) {
  if (!viewer_) return;
  if (InWorkerThread())
    viewer_->QueueOnViewerThread(std::move(call));
  else
    call();
}

void TLumenaxIO::DoProgress(TLumenaxIO& sender, int percent) {
  if (!OnProgress) return;
  if (viewer_ && InWorkerThread()) {
    std::weak_ptr<int> alive = alive_;
    TLumenaxIO* self = &sender;
    if (viewer_->QueueOnViewerThread([this, alive, self, percent] {
          if (!alive.expired() && OnProgress) OnProgress(*self, percent);
        }))
      return;
  }
  OnProgress(sender, percent);
}

void TLumenaxIO::DoFinishWork() {
  DoProgress(*this, 100);
  if (!OnFinishWork) return;
  if (viewer_ && InWorkerThread()) {
    std::weak_ptr<int> alive = alive_;
    if (viewer_->QueueOnViewerThread([this, alive] {
          if (!alive.expired() && OnFinishWork) OnFinishWork(*this);
        }))
      return;
  }
  OnFinishWork(*this);
}

void TLumenaxIO::UpdateAfterLoad() {
  if (platformBitmap_ && bitmap_) bitmap_->RemoveAlphaChannel(false, clWhite);
  if (viewer_) {
    TLxViewer* v = viewer_;
    ToViewer([v] {
      v->Repaint();
      v->ImageChanged();
    });
  } else if (platformBitmap_ && picture_) {
    picture_->PictureModified();
  }
}

void TLumenaxIO::CheckDPI() {
  if (Params.DpiX < 2) Params.DpiX = DefaultDPI;
  if (Params.DpiY < 2) Params.DpiY = DefaultDPI;
}

void TLumenaxIO::PassResolutionToViewer(bool x, int32_t dpi) {
  TLxViewer* v = viewer_;
  if (!v) return;
  ToViewer([v, x, dpi] {
    if (x)
      v->SetDpiX(dpi);
    else
      v->SetDpiY(dpi);
  });
}

ProgressRecord TLumenaxIO::MakeProgress() {
  FailureReason.Clear();
  ProgressRecord progress;
  progress.AbortingPtr = &Aborting;
  progress.ReasonPtr = &FailureReason;
  return progress;
}

void TLumenaxIO::ArmProgress(ProgressRecord& progress) {
  progress.AbortingPtr = &Aborting;
  progress.ReasonPtr = &FailureReason;
  progress.OnProgressCode = &ProgressTrampoline;
  progress.OnProgressData = this;
  progress.Sender = this;
}

template <class Body>
void TLumenaxIO::Finishing(Body&& body) {
  try {
    body();
  } catch (...) {
    try {
      DoFinishWork();
    } catch (...) {
      // The first exception is the one the caller needs to see.
    }
    throw;
  }
  DoFinishWork();
}

// ====================================================================== background work

bool TLumenaxIO::InWorkerThread() {
  std::lock_guard lock(threadLock_);
  std::thread::id me = std::this_thread::get_id();
  return std::any_of(threads_.begin(), threads_.end(),
                     [me](const WorkerThread& t) { return t.thread.get_id() == me; });
}

bool TLumenaxIO::StartInBackground(std::function<void()> op) {
  if (OwnsBitmap() || !AsyncMode || InWorkerThread()) return false;
  std::list<WorkerThread> ended;
  {
    std::lock_guard lock(threadLock_);
    ended.splice(ended.end(), finished_);
    auto it = threads_.emplace(threads_.end());
    it->thread = std::thread([this, it, op = std::move(op)] {
      {
        // Wait until the starting thread has listed this one.
        std::lock_guard wait(threadLock_);
      }
      try {
        op();
      } catch (...) {
        Aborting = true;
      }
      std::lock_guard unlist(threadLock_);
      finished_.splice(finished_.end(), threads_, it);
    });
  }
  // Threads that have ended are joined here, so that they do not pile up between
  // WaitThreads calls.
  for (WorkerThread& t : ended) t.thread.join();
  return true;
}

void TLumenaxIO::WaitThreads(bool setAborting) {
  for (;;) {
    std::list<WorkerThread> done;
    size_t running;
    {
      std::lock_guard lock(threadLock_);
      if (setAborting) Aborting = true;
      running = threads_.size();
      done.splice(done.end(), finished_);
    }
    for (WorkerThread& t : done) t.thread.join();
    if (running == 0) return;
    std::this_thread::yield();
  }
}

// ====================================================================== frames

namespace {

// The frame of rows added at run time: the file is opened (or created) before the frame,
// the alpha channel is left alone, resolutions are taken as they come, saves hand the writer
// 24-bit or bilevel pixels, and FileName and FileType are set before the notification.
constexpr TLxFramePolicy kRunTimePolicy{
    .OpenFileBeforeFrame = true,
    .CreateFileBeforeFrame = true,
    .CheckDpi = false,
    .RemoveAlphaBeforeRead = false,
    .NameAfterNotification = false,
    .ConvertTo24OnSave = true,
};

TLxCodecDescriptor RunTimeCodec(const FormatRow& row) {
  return TLxCodecDescriptor{.Type = row->FileType, .Policy = kRunTimePolicy};
}

}  // namespace

void TLumenaxIO::LoadFrame(const TLxCodecDescriptor& codec, const ReadCall& read, TStream* stream,
                           const std::filesystem::path* name) {
  const TLxFramePolicy& policy = codec.Policy;
  // A file is opened before the frame (a failure raises with no notification) or inside it
  // (a failure notifies once and leaves Aborting set).
  FailureReason.Clear();
  std::optional<TLxWideFileStream> file;
  if (name && policy.OpenFileBeforeFrame) {
    file.emplace(*name, fmOpenRead | fmShareDenyWrite);
    stream = &*file;
  }
  Aborting = stream == nullptr;
  ProgressRecord progress = MakeProgress();
  Finishing([&] {
    if (!MakeConsistentBitmap(0)) return;
    Params.ResetInfo();
    if (!stream) {
      file.emplace(*name, fmOpenRead | fmShareDenyWrite);
      stream = &*file;
      Aborting = false;
    }
    if (name && codec.BackgroundToParams)
      codec.BackgroundToParams(Params, TColor2TRGB(Background()));
    ArmProgress(progress);
    // A stream load may start with a stream header: the reader then sees only the image it
    // announces, and the stream is left after it.
    TStream* source = stream;
    std::optional<TLxStreamWindow> window;
    int64_t continueAt = -1;
    if (!name && !OpenStreamHeader(policy.StreamHeader, StreamHeaders, *stream, progress, window,
                                   continueAt))
      return;
    if (window) source = &*window;
    const int64_t sourceStart = source->Position();
    std::optional<TLxBufferedReadStream> buffered;
    const int32_t bufferSize = policy.ReadBuffer > 0 ? policy.ReadBuffer
                               : name                ? policy.FileReadBuffer
                                                     : 0;
    if (bufferSize > 0) {
      buffered.emplace(*source, true, bufferSize);
      source = &*buffered;
    }
    if (policy.RemoveAlphaBeforeRead) bitmap_->RemoveAlphaChannel(false, clWhite);
    Params.FileType = codec.Type;
    std::unique_ptr<TLxMask> mask;
    // Layers are read for a viewer only: without one nobody would take them.
    TLxLayerList layers;
    const bool withLayers = policy.LayersWithViewer && viewer_;
    if (read) {
      TLxReadArgs args{*source, *bitmap_, Params, progress, false, &mask};
      if (withLayers) {
        args.Layers = &layers;
        args.LoadLayers = Params.PsdLoadLayers;
      }
      read(args);
      if (withLayers && !layers.empty()) {
        TLxViewer* v = viewer_;
        auto taken = std::make_shared<TLxLayerList>(std::move(layers));
        const bool replace = Params.PsdReplaceLayers;
        ToViewer([v, taken, replace] { v->TakeLayers(std::move(*taken), replace); });
      }
    } else {
      progress.Fail(TLxFailure::NoReader);
    }
    if (continueAt >= 0)
      stream->Seek(continueAt, soBeginning);
    else if (buffered)
      stream->Seek(sourceStart + buffered->Position(), soBeginning);
    if (policy.CheckDpi) CheckDPI();
    if (mask) {
      bitmap_->AlphaChannel()->CopyFromMask(mask.get());
      mask.reset();
    }
    if (read && AutoAdjustDPI) AdjustDPI();
    if (viewer_) {
      PassResolutionToViewer(true, Params.DpiX);
      PassResolutionToViewer(false, Params.DpiY);
    }
    if (name && !policy.NameAfterNotification)
      Params.FileName = *name;
    else
      Params.FileName.clear();
    Params.FileType = codec.Type;
    if (codec.BackgroundFromParams) SetBackground(TRGB2TColor(codec.BackgroundFromParams(Params)));
    UpdateAfterLoad();
  });
  if (name && policy.NameAfterNotification) Params.FileName = *name;
}

void TLumenaxIO::SaveFrame(const TLxCodecDescriptor& codec, const WriteCall& write, TStream* stream,
                           const std::filesystem::path* name) {
  const TLxFramePolicy& policy = codec.Policy;
  // A file is created before the frame (a failure raises with no notification) or inside it.
  FailureReason.Clear();
  std::optional<TLxReplacingFile> file;
  if (name && policy.CreateFileBeforeFrame) {
    Aborting = true;
    file.emplace(*name);
    stream = &file->Stream();
  }
  Aborting = stream == nullptr;
  ProgressRecord progress = MakeProgress();
  Finishing([&] {
    if (!MakeConsistentBitmap(0)) return;
    if (!stream) {
      file.emplace(*name);
      stream = &file->Stream();
      Aborting = false;
    }
    if (policy.ConvertTo24OnSave && bitmap_->PixelFormat() != lx24RGB &&
        bitmap_->PixelFormat() != lx1g)
      bitmap_->SetPixelFormat(lx24RGB);
    if (name && !policy.NameAfterNotification) {
      Params.FileName = *name;
      Params.FileType = codec.Type;
    }
    ArmProgress(progress);
    if (!name && policy.TruncateStreamOnSave) {
      stream->SetSize(0);
      stream->Seek(0, soBeginning);
    }
    const bool header = !name && StreamHeaders && policy.StreamHeader.Magic;
    const int64_t headerStart = header ? BeginStreamHeader(*stream) : -1;
    const TLxLayerList* viewerLayers =
        policy.LayersWithViewer && viewer_ ? viewer_->ViewerLayers() : nullptr;
    if (viewerLayers && viewerLayers->empty()) viewerLayers = nullptr;
    if (!write) {
      progress.Fail(TLxFailure::NoWriter);
    } else if (viewerLayers) {
      // The image written is what the viewer shows, in the first layer's pixel format.
      TLxBitmap merged;
      if (!viewer_->FlattenViewerLayers(merged)) {
        progress.Fail(TLxFailure::OutOfMemory);
      } else {
        const TLxLayer* first = viewerLayers->front().get();
        const PixelFormat pf = first->Bitmap->PixelFormat();
        if (pf != lxNone && pf != merged.PixelFormat()) merged.SetPixelFormat(pf);
        TLxWriteArgs args{*stream, merged, Params, progress};
        args.Layers = viewerLayers;
        write(args);
      }
    } else if (policy.AlphaAsMaskOnSave && bitmap_->HasAlphaChannel()) {
      TLxMask mask;
      bitmap_->AlphaChannel()->CopyToMask(mask);
      TLxWriteArgs args{*stream, *bitmap_, Params, progress, &mask};
      write(args);
    } else {
      TLxWriteArgs args{*stream, *bitmap_, Params, progress};
      write(args);
    }
    if (header && !(policy.StreamHeader.WrittenOnlyOnSuccess && Aborting))
      EndStreamHeader(policy.StreamHeader, *stream, headerStart, progress);
    if (name && !policy.NameAfterNotification) {
      Params.FileName = *name;
      Params.FileType = codec.Type;
    }
    // The new file is in place before anyone hears that the save is done.
    if (file && !Aborting) CommitOrAbort(*file, Aborting);
  });
  if (name && policy.NameAfterNotification) {
    Params.FileName = *name;
    Params.FileType = codec.Type;
  }
}

namespace {

const TLxCodecDescriptor& CodecOf(FileType type) {
  const TLxCodecDescriptor* codec = FindCodec(type);
  if (!codec) throw std::logic_error("no codec descriptor for a built-in file type");
  return *codec;
}

}  // namespace

void TLumenaxIO::LoadFileOfType(const std::filesystem::path& name, FileType type) {
  if (StartInBackground([this, name, type] { LoadFileOfType(name, type); })) return;
  const TLxCodecDescriptor& codec = CodecOf(type);
  LoadFrame(codec, codec.Read ? ReadCall(codec.Read) : ReadCall(), nullptr, &name);
}

void TLumenaxIO::LoadStreamOfCodec(TStream& stream, FileType type) {
  if (StartInBackground([this, &stream, type] { LoadStreamOfCodec(stream, type); })) return;
  const TLxCodecDescriptor& codec = CodecOf(type);
  LoadFrame(codec, codec.Read ? ReadCall(codec.Read) : ReadCall(), &stream, nullptr);
}

void TLumenaxIO::SaveFileOfType(const std::filesystem::path& name, FileType type) {
  if (StartInBackground([this, name, type] { SaveFileOfType(name, type); })) return;
  const TLxCodecDescriptor& codec = CodecOf(type);
  SaveFrame(codec, codec.Write ? WriteCall(codec.Write) : WriteCall(), nullptr, &name);
}

void TLumenaxIO::SaveStreamOfCodec(TStream& stream, FileType type) {
  if (StartInBackground([this, &stream, type] { SaveStreamOfCodec(stream, type); })) return;
  const TLxCodecDescriptor& codec = CodecOf(type);
  SaveFrame(codec, codec.Write ? WriteCall(codec.Write) : WriteCall(), &stream, nullptr);
}

// ====================================================================== entry points

void TLumenaxIO::LoadFromFileBmp(const std::filesystem::path& n) {
  LoadFileOfType(n, ftBmp);
}
void TLumenaxIO::LoadFromStreamBmp(TStream& s) {
  LoadStreamOfCodec(s, ftBmp);
}
void TLumenaxIO::SaveToFileBmp(const std::filesystem::path& n) {
  SaveFileOfType(n, ftBmp);
}
void TLumenaxIO::SaveToStreamBmp(TStream& s) {
  SaveStreamOfCodec(s, ftBmp);
}
void TLumenaxIO::LoadFromFilePng(const std::filesystem::path& n) {
  LoadFileOfType(n, ftPng);
}
void TLumenaxIO::LoadFromStreamPng(TStream& s) {
  LoadStreamOfCodec(s, ftPng);
}
void TLumenaxIO::SaveToFilePng(const std::filesystem::path& n) {
  SaveFileOfType(n, ftPng);
}
void TLumenaxIO::SaveToStreamPng(TStream& s) {
  SaveStreamOfCodec(s, ftPng);
}
void TLumenaxIO::LoadFromFileTiff(const std::filesystem::path& n) {
  LoadFileOfType(n, ftTiff);
}
void TLumenaxIO::LoadFromFileGif(const std::filesystem::path& n) {
  LoadFileOfType(n, ftGif);
}
void TLumenaxIO::LoadFromFileJpeg(const std::filesystem::path& n) {
  LoadFileOfType(n, ftJpeg);
}
void TLumenaxIO::LoadFromFilePcx(const std::filesystem::path& n) {
  LoadFileOfType(n, ftPcx);
}
void TLumenaxIO::LoadFromFileIco(const std::filesystem::path& n) {
  LoadFileOfType(n, ftIco);
}
void TLumenaxIO::LoadFromFileCur(const std::filesystem::path& n) {
  LoadFileOfType(n, ftCur);
}
void TLumenaxIO::LoadFromFileTga(const std::filesystem::path& n) {
  LoadFileOfType(n, ftTga);
}
void TLumenaxIO::LoadFromFilePxm(const std::filesystem::path& n) {
  LoadFileOfType(n, ftPxm);
}
void TLumenaxIO::LoadFromFileJp2(const std::filesystem::path& n) {
  LoadFileOfType(n, ftJp2);
}
void TLumenaxIO::LoadFromFileJ2k(const std::filesystem::path& n) {
  LoadFileOfType(n, ftJ2k);
}
void TLumenaxIO::LoadFromFileWbmp(const std::filesystem::path& n) {
  LoadFileOfType(n, ftWbmp);
}
void TLumenaxIO::LoadFromFileDcx(const std::filesystem::path& n) {
  LoadFileOfType(n, ftDcx);
}
void TLumenaxIO::LoadFromFileRaw(const std::filesystem::path& n) {
  LoadFileOfType(n, ftRaw);
}
void TLumenaxIO::LoadFromFilePsd(const std::filesystem::path& n) {
  LoadFileOfType(n, ftPsd);
}
void TLumenaxIO::LoadFromFileDicom(const std::filesystem::path& n) {
  LoadFileOfType(n, ftDicom);
}
void TLumenaxIO::LoadFromStreamTiff(TStream& s) {
  LoadStreamOfCodec(s, ftTiff);
}
void TLumenaxIO::LoadFromStreamGif(TStream& s) {
  LoadStreamOfCodec(s, ftGif);
}
void TLumenaxIO::LoadFromStreamJpeg(TStream& s) {
  LoadStreamOfCodec(s, ftJpeg);
}
void TLumenaxIO::LoadFromStreamPcx(TStream& s) {
  LoadStreamOfCodec(s, ftPcx);
}
void TLumenaxIO::LoadFromStreamIco(TStream& s) {
  LoadStreamOfCodec(s, ftIco);
}
void TLumenaxIO::LoadFromStreamCur(TStream& s) {
  LoadStreamOfCodec(s, ftCur);
}
void TLumenaxIO::LoadFromStreamTga(TStream& s) {
  LoadStreamOfCodec(s, ftTga);
}
void TLumenaxIO::LoadFromStreamPxm(TStream& s) {
  LoadStreamOfCodec(s, ftPxm);
}
void TLumenaxIO::LoadFromStreamJp2(TStream& s) {
  LoadStreamOfCodec(s, ftJp2);
}
void TLumenaxIO::LoadFromStreamJ2k(TStream& s) {
  LoadStreamOfCodec(s, ftJ2k);
}
void TLumenaxIO::LoadFromStreamWbmp(TStream& s) {
  LoadStreamOfCodec(s, ftWbmp);
}
void TLumenaxIO::LoadFromStreamDcx(TStream& s) {
  LoadStreamOfCodec(s, ftDcx);
}
void TLumenaxIO::LoadFromStreamRaw(TStream& s) {
  LoadStreamOfCodec(s, ftRaw);
}
void TLumenaxIO::LoadFromStreamRawPixels(TStream& s) {
  LoadStreamOfCodec(s, ftRawPixels);
}
void TLumenaxIO::LoadFromStreamPsd(TStream& s) {
  LoadStreamOfCodec(s, ftPsd);
}
void TLumenaxIO::LoadFromStreamDicom(TStream& s) {
  LoadStreamOfCodec(s, ftDicom);
}
void TLumenaxIO::SaveToFileTiff(const std::filesystem::path& n) {
  SaveFileOfType(n, ftTiff);
}
void TLumenaxIO::InsertToFileTiff(const std::filesystem::path& n) {
  if (StartInBackground([this, n] { InsertToFileTiff(n); })) return;
  WriteCall insert = [n](TLxWriteArgs& a) {
    std::error_code ec;
    if (!std::filesystem::exists(n, ec)) {
      WriteTiffStream(a.Stream, false, &a.Bitmap, a.Progress, a.Params);
      return;
    }
    {
      TLxWideFileStream old(n, fmOpenRead | fmShareDenyWrite);
      const int64_t size = old.Size();
      if (a.Stream.CopyFrom(old, size) != size) {
        a.Progress.Fail(TLxFailure::WriteFailed, "short write");
        return;
      }
    }
    a.Stream.Seek(0, soBeginning);
    WriteTiffStream(a.Stream, true, &a.Bitmap, a.Progress, a.Params);
  };
  SaveFrame(CodecOf(ftTiff), insert, nullptr, &n);
}
void TLumenaxIO::SaveToFileGif(const std::filesystem::path& n) {
  SaveFileOfType(n, ftGif);
}
void TLumenaxIO::SaveToFileJpeg(const std::filesystem::path& n) {
  SaveFileOfType(n, ftJpeg);
}
void TLumenaxIO::SaveToFilePcx(const std::filesystem::path& n) {
  SaveFileOfType(n, ftPcx);
}
void TLumenaxIO::SaveToFileIco(const std::filesystem::path& n) {
  SaveFileOfType(n, ftIco);
}
void TLumenaxIO::SaveToFileTga(const std::filesystem::path& n) {
  SaveFileOfType(n, ftTga);
}
void TLumenaxIO::SaveToFilePxm(const std::filesystem::path& n) {
  SaveFileOfType(n, ftPxm);
}
void TLumenaxIO::SaveToFileJp2(const std::filesystem::path& n) {
  SaveFileOfType(n, ftJp2);
}
void TLumenaxIO::SaveToFileJ2k(const std::filesystem::path& n) {
  SaveFileOfType(n, ftJ2k);
}
void TLumenaxIO::SaveToFileWbmp(const std::filesystem::path& n) {
  SaveFileOfType(n, ftWbmp);
}
void TLumenaxIO::SaveToFilePs(const std::filesystem::path& n) {
  SaveFileOfType(n, ftPs);
}
void TLumenaxIO::SaveToFilePdf(const std::filesystem::path& n) {
  SaveFileOfType(n, ftPdf);
}
void TLumenaxIO::SaveToFileDcx(const std::filesystem::path& n) {
  SaveFileOfType(n, ftDcx);
}
void TLumenaxIO::SaveToFilePsd(const std::filesystem::path& n) {
  SaveFileOfType(n, ftPsd);
}
void TLumenaxIO::SaveToStreamTiff(TStream& s) {
  SaveStreamOfCodec(s, ftTiff);
}
void TLumenaxIO::SaveToStreamGif(TStream& s) {
  SaveStreamOfCodec(s, ftGif);
}
void TLumenaxIO::SaveToStreamJpeg(TStream& s) {
  SaveStreamOfCodec(s, ftJpeg);
}
void TLumenaxIO::SaveToStreamPcx(TStream& s) {
  SaveStreamOfCodec(s, ftPcx);
}
void TLumenaxIO::SaveToStreamIco(TStream& s) {
  SaveStreamOfCodec(s, ftIco);
}
void TLumenaxIO::SaveToStreamTga(TStream& s) {
  SaveStreamOfCodec(s, ftTga);
}
void TLumenaxIO::SaveToStreamPxm(TStream& s) {
  SaveStreamOfCodec(s, ftPxm);
}
void TLumenaxIO::SaveToStreamJp2(TStream& s) {
  SaveStreamOfCodec(s, ftJp2);
}
void TLumenaxIO::SaveToStreamJ2k(TStream& s) {
  SaveStreamOfCodec(s, ftJ2k);
}
void TLumenaxIO::SaveToStreamWbmp(TStream& s) {
  SaveStreamOfCodec(s, ftWbmp);
}
void TLumenaxIO::SaveToStreamPs(TStream& s) {
  SaveStreamOfCodec(s, ftPs);
}
void TLumenaxIO::SaveToStreamPdf(TStream& s) {
  SaveStreamOfCodec(s, ftPdf);
}
void TLumenaxIO::SaveToStreamDcx(TStream& s) {
  SaveStreamOfCodec(s, ftDcx);
}
void TLumenaxIO::SaveToStreamPsd(TStream& s) {
  SaveStreamOfCodec(s, ftPsd);
}

namespace {

// The largest side a metafile is drawn at.
constexpr int64_t kMetafileMaxSide = 8000;
// Metafiles are records of drawing calls; one larger than this is no drawing.
constexpr int64_t kMetafileMaxBytes = int64_t(256) << 20;

// Whether the bytes are an enhanced metafile (by its content test).
bool IsEnhancedMetafile(std::vector<uint8_t>& bytes) {
  const TLxCodecDescriptor* emf = FindCodec(ftEmf);
  if (!emf || !emf->ContentTest) return false;
  TLxMemStream stream(bytes.data(), int64_t(bytes.size()));
  TLxProbe probe(stream, 0, int64_t(bytes.size()));
  return emf->ContentTest(probe);
}

// The drawing size from the requested one and the metafile's own (both sides above 0):
// a negative side follows the other in the metafile's proportions, two negative sides keep
// the metafile's size; the longer side is then held to 8000 pixels.
void MetafileSize(int64_t ownWidth, int64_t ownHeight, int requestedWidth, int requestedHeight,
                  int64_t& width, int64_t& height) {
  if (requestedWidth >= 0 && requestedHeight >= 0) {
    width = requestedWidth;
    height = requestedHeight;
  } else if (requestedWidth < 0 && requestedHeight >= 0) {
    height = requestedHeight;
    width = height * ownWidth / ownHeight;
  } else if (requestedHeight < 0 && requestedWidth >= 0) {
    width = requestedWidth;
    height = ownHeight * width / ownWidth;
  } else {
    width = ownWidth;
    height = ownHeight;
  }
  if (width <= 0 || height <= 0) return;
  if (width > kMetafileMaxSide || height > kMetafileMaxSide) {
    if (height > width) {
      width = width * kMetafileMaxSide / height;
      height = kMetafileMaxSide;
    } else {
      height = height * kMetafileMaxSide / width;
      width = kMetafileMaxSide;
    }
  }
}

}  // namespace

void TLumenaxIO::LoadFromFileMetafile(const std::filesystem::path& name, int width, int height,
                                      bool withAlpha) {
  if (StartInBackground([=, this] { LoadFromFileMetafile(name, width, height, withAlpha); }))
    return;
  FailureReason.Clear();
  Aborting = true;
  ProgressRecord progress = MakeProgress();
  auto play = [&] {
    // The file is read whole: the player works on memory.
    std::vector<uint8_t> bytes;
    {
      TLxWideFileStream file(name, fmOpenRead | fmShareDenyWrite);
      const int64_t size = file.Size();
      if (size > kMetafileMaxBytes) {
        Params.FileType = ftWmf;
        progress.Fail(TLxFailure::TooLarge, "metafile too large");
        return;
      }
      bytes.resize(size_t(size));
      file.ReadBuffer(bytes.data(), size);
    }
    Aborting = false;
    const bool enhanced = IsEnhancedMetafile(bytes);
    Params.FileType = enhanced ? ftEmf : ftWmf;
    // A size of 0 asks for no image: that is no load.
    if (width == 0 || height == 0) {
      progress.Fail(TLxFailure::NoImage, "requested size is 0");
      return;
    }
    if (!MakeConsistentBitmap(0)) {
      progress.Fail(TLxFailure::NoImage, "no bitmap to load into");
      return;
    }
    Params.ResetInfo();
    Params.FileType = enhanced ? ftEmf : ftWmf;
    if (enhanced) {
      progress.Fail(TLxFailure::Unsupported, "enhanced metafiles are not supported");
      return;
    }
    TLxWmfPlayer player;
    if (!player.Load(std::move(bytes))) {
      progress.Fail(TLxFailure::BadData, player.Error());
      return;
    }
    // A metafile without extent has no proportions to keep: nothing to draw.
    if (player.Width() <= 0 || player.Height() <= 0) {
      progress.Fail(TLxFailure::BadHeader, "metafile without size");
      return;
    }
    int64_t w = 0, h = 0;
    MetafileSize(player.Width(), player.Height(), width, height, w, h);
    if (w <= 0 || h <= 0) {
      progress.Fail(TLxFailure::NoImage, "drawing size is 0");
      return;
    }
    Params.FileName.clear();
    Params.BitsPerSample = 8;
    Params.SamplesPerPixel = 3;
    Params.Width = int32_t(w);
    Params.Height = int32_t(h);
    Params.DpiX = DefaultDPI;
    Params.DpiY = DefaultDPI;
    Params.FreeColorMap();
    if (viewer_) {
      PassResolutionToViewer(true, Params.DpiX);
      PassResolutionToViewer(false, Params.DpiY);
    }
    // One drawing on a transparent surface gives both the picture over the background and
    // where the metafile drew at all.
    std::vector<uint32_t> argb;
    if (!player.Render(int(w), int(h), argb)) {
      progress.Fail(TLxFailure::BadData, player.Error());
      return;
    }
    bitmap_->ReallocPending = true;
    if (!bitmap_->Allocate(int(w), int(h), lx24RGB)) {
      progress.Fail(TLxFailure::OutOfMemory, "out of memory for the bitmap");
      return;
    }
    bitmap_->RemoveAlphaChannel(false, clWhite);
    const TRGB bg = TColor2TRGB(Background());
    TLxBitmap* alpha = withAlpha ? bitmap_->AlphaChannel() : nullptr;
    for (int y = 0; y < int(h); ++y) {
      uint8_t* row = bitmap_->ScanLine(y);
      uint8_t* arow = alpha ? alpha->ScanLine(y) : nullptr;
      const uint32_t* src = &argb[size_t(y) * size_t(w)];
      for (int x = 0; x < int(w); ++x) {
        const uint32_t p = src[x];
        const uint32_t a = p >> 24, rest = 255 - a;
        // Premultiplied colour over the background, rounded.
        row[3 * x] = uint8_t((p & 0xFF) + (bg.b * rest + 127) / 255);
        row[3 * x + 1] = uint8_t((p >> 8 & 0xFF) + (bg.g * rest + 127) / 255);
        row[3 * x + 2] = uint8_t((p >> 16 & 0xFF) + (bg.r * rest + 127) / 255);
        if (arow) arow[x] = a ? 255 : 0;
      }
    }
    if (alpha) alpha->UpdateAllOpaque();
    UpdateAfterLoad();
  };
  Finishing([&] {
    play();
    // Also after a refusal: the load tells what it tried.
    Params.FileName = name;
  });
}

void TLumenaxIO::LoadFromFileViewerFormat(const std::filesystem::path& name, FileType type) {
  if (viewer_ && viewer_->LoadViewerFile(name, type)) Params.FileName = name;
  Params.FileType = type;
}

void TLumenaxIO::LoadFromStreamViewerFormat(TStream& stream, FileType type) {
  if (viewer_ && viewer_->LoadViewerStream(stream, type)) Params.FileName.clear();
  Params.FileType = type;
}

void TLumenaxIO::LoadFromURL(const std::string& address) {
  if (StartInBackground([this, address] { LoadFromURL(address); })) return;
  Aborting = false;
  FailureReason.Clear();
  NetworkAddress parsed;
  TMemoryStream data;
  DownloadResult result = DownloadResult::Failed;
  if (ParseNetworkAddress(address, parsed)) {
    DownloadSettings settings;
    settings.ProxyAddress = ProxyAddress;
    settings.ProxyUser = ProxyUser;
    settings.ProxyPassword = ProxyPassword;
    settings.Progress = [this](int percent) {
      DoProgress(*this, percent);
      return !Aborting;
    };
    settings.Stop = [this] { return Aborting; };
    result = Download(parsed, settings, data);
    // A handler that cancels after the last block still cancels.
    if (result == DownloadResult::Done && Aborting) result = DownloadResult::Stopped;
  }
  if (result == DownloadResult::Done) {
    data.Seek(0, soBeginning);
    FileType type = DetectStreamFormat(data);
    data.Seek(0, soBeginning);
    if (type != ftRawPixels && LoadStreamOfType(data, type)) return;
  }
  // A failed or cancelled download, or content that nothing reads, is not loaded.
  Aborting = true;
  FailureReason.Code = result == DownloadResult::Stopped ? TLxFailure::Cancelled
                       : result == DownloadResult::Done  ? TLxFailure::NoReader
                                                         : TLxFailure::NoImage;
  if (result == DownloadResult::Failed) FailureReason.Detail = "download failed";
  DoFinishWork();
}

// ====================================================================== dispatchers

namespace {

bool HasFileEntryPoint(const TLxCodecDescriptor* codec) {
  return codec && codec->Registered;
}

}  // namespace

// Calls the file entry point of a built-in type; false when the type has none.
bool TLumenaxIO::CallFileEntryPoint(const std::filesystem::path& name, FileType type) {
  const TLxCodecDescriptor* codec = FindCodec(type);
  if (!HasFileEntryPoint(codec)) return false;
  switch (codec->LoadRoute) {
    case TLxLoadRoute::Reader:
      if (!codec->Readable) return false;
      LoadFileOfType(name, type);
      return true;
    case TLxLoadRoute::Metafile:
      LoadFromFileMetafile(name, -1, -1, true);
      return true;
    case TLxLoadRoute::ViewerFile:
      LoadFromFileViewerFormat(name, type);
      return true;
    case TLxLoadRoute::Video:
      return false;
  }
  return false;
}

// Calls the stream entry point of a built-in type; false when the type has none.
bool TLumenaxIO::CallStreamEntryPoint(TStream& stream, FileType type) {
  const TLxCodecDescriptor* codec = FindCodec(type);
  if (!codec) return false;
  switch (codec->LoadRoute) {
    case TLxLoadRoute::Reader:
      // Headerless pixels have no row but a stream entry point.
      if (!codec->Readable && codec->Type != ftRawPixels) return false;
      LoadStreamOfCodec(stream, type);
      return true;
    case TLxLoadRoute::ViewerFile:
      LoadFromStreamViewerFormat(stream, type);
      return true;
    case TLxLoadRoute::Metafile:
    case TLxLoadRoute::Video:
      return false;
  }
  return false;
}

void TLumenaxIO::LoadFromFile(const std::filesystem::path& name) {
  FileType type = DetectFileFormat(name, false);
  if (type != ftUnknown)
    LoadFromFileByType(name, type);
  else
    LoadFromFileByExtension(name);
}

void TLumenaxIO::LoadFromFileByType(const std::filesystem::path& name, FileType type) {
  FormatRow row = FindFormatByType(type);
  if (!row) return;
  if (row->InternalFormat) {
    if (!CallFileEntryPoint(name, type)) LoadFromFileByExtension(name);
    return;
  }
  Params.ResetInfo();
  Params.FileName.clear();
  Params.FileType = ftUnknown;
  RunTimeLoad(name, row);
}

void TLumenaxIO::LoadFromFileByExtension(const std::filesystem::path& name) {
  if (!bitmap_) return;
  if (name.empty()) {
    Aborting = true;
    FailureReason = {.Code = TLxFailure::NoImage, .Detail = "no file name"};
    DoFinishWork();
    return;
  }
  if (IsNetworkAddress(name.string())) {
    LoadFromURL(name.string());
    return;
  }
  std::string ext = LowerExt(name);
  if (ext == ".avi") {
    // Video frames come from the platform's video library, which this build does not have:
    // the frame cannot be read, and the load says so.
    Aborting = true;
    FailureReason = {.Code = TLxFailure::NoReader};
    DoFinishWork();
    Params.FileName = name;
    Params.FileType = ftAvi;
    return;
  }
  FormatRow row = FindFormatByExtension(ext);
  if (!row) {
    Aborting = true;
    FailureReason = {.Code = TLxFailure::Unsupported, .Detail = "unknown file format"};
    DoFinishWork();
    return;
  }
  if (row->InternalFormat && CallFileEntryPoint(name, row->FileType)) return;
  Params.FileName.clear();
  Params.FileType = ftUnknown;
  Params.ResetInfo();
  RunTimeLoad(name, row);
}

void TLumenaxIO::RunTimeLoad(const std::filesystem::path& name, const FormatRow& row) {
  if (!row->ReadFunction) {
    Aborting = true;
    FailureReason = {.Code = TLxFailure::NoReader};
    DoFinishWork();
    return;
  }
  if (StartInBackground([this, name, row] { RunTimeLoad(name, row); })) return;
  LoadFrame(RunTimeCodec(row), RunTimeReader(row), nullptr, &name);
}

void TLumenaxIO::RunTimeStreamLoad(TStream& stream, const FormatRow& row) {
  if (StartInBackground([this, &stream, row] { RunTimeStreamLoad(stream, row); })) return;
  Params.ResetInfo();
  Params.FileName.clear();
  Params.FileType = ftUnknown;
  if (!row->ReadFunction) {
    Aborting = true;
    FailureReason = {.Code = TLxFailure::NoReader};
    DoFinishWork();
    return;
  }
  LoadFrame(RunTimeCodec(row), RunTimeReader(row), &stream, nullptr);
}

TLumenaxIO::ReadCall TLumenaxIO::RunTimeReader(const FormatRow& row) {
  return
      [row](TLxReadArgs& a) { row->ReadFunction(a.Stream, a.Bitmap, a.Params, false, a.Progress); };
}

bool TLumenaxIO::LoadStreamOfType(TStream& stream, FileType type) {
  // Headerless pixels have no row and are read only when asked for by type.
  if (type == ftRawPixels) return CallStreamEntryPoint(stream, type);
  FormatRow row = FindFormatByType(type);
  if (!row) return false;
  if (row->InternalFormat) return CallStreamEntryPoint(stream, type);
  RunTimeStreamLoad(stream, row);
  return true;
}

void TLumenaxIO::LoadFromStream(TStream& stream) {
  int64_t start = stream.Position();
  FileType type = DetectStreamFormat(stream);
  if (type == ftRawPixels || !FindFormatByType(type)) return;
  stream.Seek(start, soBeginning);
  LoadStreamOfType(stream, type);
}

void TLumenaxIO::LoadFromStreamByType(TStream& stream, FileType type) {
  LoadStreamOfType(stream, type);
}

namespace {

// The built-in codec SaveToFile writes for a lower-case extension (with its dot), or null.
const TLxCodecDescriptor* SaveCodecFor(const std::string& ext) {
  if (ext.size() < 2) return nullptr;
  for (const TLxCodecDescriptor* c : AllCodecs()) {
    std::string_view list = c->SaveExtensions;
    while (!list.empty()) {
      size_t end = list.find(';');
      if (list.substr(0, end) == ext) return c;
      if (end == std::string_view::npos) break;
      list.remove_prefix(end + 1);
    }
  }
  return nullptr;
}

// The row added at run time whose writer SaveToFile uses for an extension, or null.
FormatRow RunTimeWriterFor(const std::string& ext) {
  FormatRow r = FindFormatByExtension(ext);
  return r && !r->InternalFormat && r->WriteFunction ? r : nullptr;
}

}  // namespace

bool TLumenaxIO::SaveToFileSupported(const std::filesystem::path& name) {
  if (name.empty()) return false;
  std::string ext = LowerExt(name);
  const TLxCodecDescriptor* codec = SaveCodecFor(ext);
  if (codec) return codec->Write != nullptr;
  return RunTimeWriterFor(ext) != nullptr;
}

void TLumenaxIO::SaveToFile(const std::filesystem::path& name) {
  if (name.empty()) return;
  std::string ext = LowerExt(name);
  if (const TLxCodecDescriptor* codec = SaveCodecFor(ext)) {
    if (codec->Write) {
      SaveFileOfType(name, codec->Type);
    } else {
      // A format this build cannot write yet: nothing is created.
      Aborting = true;
      FailureReason = {.Code = TLxFailure::NoWriter};
    }
    return;
  }
  if (FormatRow row = RunTimeWriterFor(ext)) {
    RunTimeSave(name, row);
    return;
  }
  Aborting = true;
  FailureReason = {.Code = TLxFailure::NoWriter, .Detail = "no writer for this extension"};
}

void TLumenaxIO::SaveToStream(TStream& stream, FileType type) {
  const TLxCodecDescriptor* codec = FindCodec(type);
  if (codec && codec->Registered && codec->Writable) {
    SaveStreamOfCodec(stream, type);
    return;
  }
  FormatRow row = FindFormatByType(type);
  if (row && !row->InternalFormat && row->WriteFunction) {
    if (StartInBackground([this, &stream, row] { SaveToStream(stream, row->FileType); })) return;
    SaveFrame(RunTimeCodec(row), RunTimeWriter(row), &stream, nullptr);
    return;
  }
  Aborting = true;
  FailureReason = {.Code = TLxFailure::NoWriter};
}

TLumenaxIO::WriteCall TLumenaxIO::RunTimeWriter(const FormatRow& row) {
  return [row](TLxWriteArgs& a) { row->WriteFunction(a.Stream, a.Bitmap, a.Params, a.Progress); };
}

void TLumenaxIO::RunTimeSave(const std::filesystem::path& name, const FormatRow& row) {
  if (StartInBackground([this, name, row] { RunTimeSave(name, row); })) return;
  SaveFrame(RunTimeCodec(row), RunTimeWriter(row), nullptr, &name);
}

// ====================================================================== header only

void TLumenaxIO::ReadHeaderOnly(TStream& stream, FileType type, const std::filesystem::path* name) {
  ProgressRecord progress;
  progress.AbortingPtr = &Aborting;
  progress.ReasonPtr = &FailureReason;
  const TLxCodecDescriptor* codec = FindCodec(type);
  FormatRow row = FindFormatByType(type);
  if (codec && codec->LoadRoute == TLxLoadRoute::Reader && (codec->Readable || !name)) {
    if (codec->Read) {
      std::optional<TLxBufferedReadStream> buffered;
      TStream* source = &stream;
      const int32_t size = codec->Policy.ReadBuffer > 0 ? codec->Policy.ReadBuffer
                           : name                       ? codec->Policy.FileReadBuffer
                                                        : 0;
      if (size > 0) {
        buffered.emplace(stream, true, size);
        source = &*buffered;
      }
      TLxReadArgs args{*source, *bitmap_, Params, progress, true};
      codec->Read(args);
    } else if (codec->Readable) {
      progress.Fail(TLxFailure::NoReader);
    }
  } else if (row && !row->InternalFormat && row->ReadFunction) {
    row->ReadFunction(stream, *bitmap_, Params, true, progress);
  }
}

void TLumenaxIO::ParamsFromFileByType(const std::filesystem::path& name, FileType type) {
  Params.FileType = type;
  Params.ResetInfo();
  Aborting = true;
  FailureReason.Clear();
  try {
    TLxWideFileStream file(name, fmOpenRead | fmShareDenyWrite);
    Aborting = false;
    ReadHeaderOnly(file, type, &name);
  } catch (const std::exception& e) {
    Params.FileType = ftUnknown;
    if (!FailureReason) FailureReason = {.Code = TLxFailure::NoImage, .Detail = e.what()};
  }
  if (Aborting) Params.FileType = ftUnknown;
  Params.FileName = name;
  DoFinishWork();
}

void TLumenaxIO::ParamsFromFile(const std::filesystem::path& name) {
  FileType type = ftUnknown;
  try {
    type = DetectFileFormat(name, true);
  } catch (...) {
    Params.FileType = ftUnknown;
    return;
  }
  ParamsFromFileByType(name, type);
}

void TLumenaxIO::ParamsFromStreamByType(TStream& stream, FileType type) {
  Aborting = false;
  FailureReason.Clear();
  Params.FileType = type;
  Params.ResetInfo();
  try {
    ReadHeaderOnly(stream, type, nullptr);
  } catch (const std::exception& e) {
    Params.FileType = ftUnknown;
    if (!FailureReason) FailureReason = {.Code = TLxFailure::NoImage, .Detail = e.what()};
  }
  if (Aborting) Params.FileType = ftUnknown;
  DoFinishWork();
}

void TLumenaxIO::ParamsFromStream(TStream& stream) {
  FileType type = DetectStreamFormat(stream);
  ParamsFromStreamByType(stream, type);
}

void TLumenaxIO::LoadFromBuffer(const void* address, int64_t length, FileType type) {
  TLxMemStream stream(address, length);
  if (type == ftUnknown)
    LoadFromStream(stream);
  else
    LoadFromStreamByType(stream, type);
}

// ====================================================================== text export

namespace {

// An identifier from a file name: the name without its folder, its first "." made "_".
std::string ArrayName(const std::filesystem::path& name) {
  std::string base = name.filename().string();
  size_t dot = base.find('.');
  if (dot != std::string::npos) base[dot] = '_';
  return base;
}

void HexLines(std::string& out, const std::vector<uint8_t>& bytes, const char* prefix,
              const char* indent) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string line;
  for (size_t i = 0; i + 1 < bytes.size(); ++i) {
    line += prefix;
    line += kHex[bytes[i] >> 4];
    line += kHex[bytes[i] & 15];
    line += ',';
    if (line.size() > 70) {
      out += indent + line + "\n";
      line.clear();
    }
  }
  out += indent + line + prefix;
  out += kHex[bytes.back() >> 4];
  out += kHex[bytes.back() & 15];
}

std::string Base64Lines(const std::vector<uint8_t>& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string encoded;
  encoded.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = uint32_t(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= uint32_t(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= bytes[i + 2];
    encoded += kAlphabet[v >> 18 & 63];
    encoded += kAlphabet[v >> 12 & 63];
    encoded += i + 1 < bytes.size() ? kAlphabet[v >> 6 & 63] : '=';
    encoded += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
  }
  std::string out;
  for (size_t i = 0; i < encoded.size(); i += 76) out += encoded.substr(i, 76) + "\n";
  return out;
}

}  // namespace

void TLumenaxIO::SaveToText(const std::filesystem::path& name, FileType type, int mode) {
  std::string text;
  if (mode >= 0 && mode <= 2) {
    TMemoryStream saved;
    SaveToStream(saved, type);
    // A failed save writes nothing: half an image in a source file helps nobody.
    if (Aborting || saved.Bytes().empty()) {
      Aborting = true;
      return;
    }
    const std::vector<uint8_t>& bytes = saved.Bytes();
    const std::string array = ArrayName(name);
    const std::string count = std::to_string(bytes.size());
    if (mode == 0) {
      text = "const\n  " + array + "_Size = " + count + ";\n  " + array + " : array [0.." + array +
             "_Size-1] of byte = (\n";
      HexLines(text, bytes, "$", "    ");
      text += ");\n";
    } else if (mode == 1) {
      text = "// Size=" + count + "\n";
      HexLines(text, bytes, "0x", "");
      text += "\n";
    } else {
      text = Base64Lines(bytes);
    }
  } else if (mode == 3) {
    Aborting = !MakeConsistentBitmap(uint16_t(1u << lx24RGB));
    if (Aborting) {
      FailureReason = {.Code = TLxFailure::Unsupported, .Detail = "text ramp needs 24-bit pixels"};
      return;
    }
    static const char kRamp[] = "W@#*+:., ";
    for (int32_t y = 0; y < bitmap_->Height(); ++y) {
      const uint8_t* row = bitmap_->ScanLine(y);
      for (int32_t x = 0; x < bitmap_->Width(); ++x) {
        const uint8_t* p = row + size_t(x) * 3;  // blue, green, red
        int brightness =
            (p[2] * GrayWeightRed + p[1] * GrayWeightGreen + p[0] * GrayWeightBlue) / 100;
        text += kRamp[std::min(8, brightness * 9 / 255)];
      }
      text += '\n';
    }
  } else {
    Aborting = true;
    FailureReason = {.Code = TLxFailure::Unsupported, .Detail = "unknown text mode"};
    return;
  }
  TLxReplacingFile file(name);
  file.Stream().WriteBuffer(text.data(), int64_t(text.size()));
  file.Commit();
  Aborting = false;
  Params.FileName = name;
}

// ====================================================================== resolution

namespace {

int32_t RoundEven(double v) {
  return int32_t(std::nearbyint(v));
}

}  // namespace

void TLumenaxIO::AdjustDPI() {
  if (!MakeConsistentBitmap(0)) return;
  if (Params.DpiX == Params.DpiY || Params.DpiX <= 0 || Params.DpiY <= 0 || bitmap_->IsEmpty())
    return;
  int32_t width = Params.Width, height = Params.Height;
  int32_t dpiX = Params.DpiX, dpiY = Params.DpiY;
  // No real device has pixels more than 16 times as long as wide: a header that says so
  // is hostile or broken, and resampling to it would multiply the pixels by as much.
  if (int64_t(std::max(dpiX, dpiY)) > 16 * int64_t(std::min(dpiX, dpiY))) return;
  if (height < width) {
    height = RoundEven(double(height) / dpiY * dpiX);
    dpiY = dpiX;
  } else {
    width = RoundEven(double(width) / dpiX * dpiY);
    dpiX = dpiY;
  }
  // A size that rounds to nothing cannot hold the image: leave it as it is.
  if (width <= 0 || height <= 0) return;
  TLxBitmap stretched;
  const TResampleFilter filter = FilteredAdjustDPI ? rfFastLinear : rfNone;
  if (FilteredAdjustDPI && bitmap_->PixelFormat() != lx24RGB) bitmap_->SetPixelFormat(lx24RGB);
  if (!stretched.Allocate(width, height, bitmap_->PixelFormat())) return;
  ProgressRecord quiet;
  if (!ResampleBitmap(*bitmap_, stretched, filter, quiet)) return;
  // The alpha channel is stretched, not filtered.
  if (filter != rfNone && bitmap_->HasAlphaChannel() &&
      !ResampleBitmap(*bitmap_->AlphaChannel(), *stretched.AlphaChannel(), rfNone, quiet))
    return;
  Params.Width = width;
  Params.Height = height;
  Params.DpiX = dpiX;
  Params.DpiY = dpiY;
  stretched.MoveImageTo(*bitmap_);
}

}  // namespace lumenax
