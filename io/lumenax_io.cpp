#include "io/lumenax_io.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "bitmap/errors.h"
#include "bitmap/mask.h"
#include "bitmap/stream.h"
#include "codecs/bmp/bmp.h"
#include "codecs/png/png.h"
#include "io/network.h"
#include "io/replace_file.h"
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
  std::string ext = ExtractFileExt(name);
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext;
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

// ====================================================================== BMP

void TLumenaxIO::LoadStreamBmpBody(TStream& stream) {
  Aborting = false;
  ProgressRecord progress = MakeProgress();
  Finishing([&] {
    if (!MakeConsistentBitmap(0)) return;
    Params.ResetInfo();
    ArmProgress(progress);
    bitmap_->RemoveAlphaChannel(false, clWhite);
    std::unique_ptr<TLxMask> mask;
    ReadBMPStream(stream, *bitmap_, 0, !Params.BmpKeepAlpha, mask, false, false, progress, Params);
    CheckDPI();
    if (mask) {
      bitmap_->AlphaChannel()->CopyFromMask(mask.get());
      mask.reset();
    }
    if (AutoAdjustDPI) AdjustDPI();
    if (viewer_) {
      PassResolutionToViewer(true, Params.DpiX);
      PassResolutionToViewer(false, Params.DpiY);
    }
    Params.FileName.clear();
    Params.FileType = ftBmp;
    UpdateAfterLoad();
  });
}

void TLumenaxIO::LoadFromStreamBmp(TStream& stream) {
  if (StartInBackground([this, &stream] { LoadFromStreamBmp(stream); })) return;
  LoadStreamBmpBody(stream);
}

void TLumenaxIO::LoadFromFileBmp(const std::filesystem::path& name) {
  if (StartInBackground([this, name] { LoadFromFileBmp(name); })) return;
  TLxWideFileStream file(name, fmOpenRead | fmShareDenyWrite);
  LoadStreamBmpBody(file);
  Params.FileName = name;
}

void TLumenaxIO::SaveStreamBmpBody(TStream& stream) {
  Aborting = false;
  ProgressRecord progress = MakeProgress();
  Finishing([&] {
    if (!MakeConsistentBitmap(0)) return;
    ArmProgress(progress);
    WriteBMPStream(stream, *bitmap_, Params, Params.BmpKeepAlpha, progress);
  });
}

void TLumenaxIO::SaveToStreamBmp(TStream& stream) {
  if (StartInBackground([this, &stream] { SaveToStreamBmp(stream); })) return;
  SaveStreamBmpBody(stream);
}

void TLumenaxIO::SaveToFileBmp(const std::filesystem::path& name) {
  if (StartInBackground([this, name] { SaveToFileBmp(name); })) return;
  Aborting = true;
  TLxReplacingFile file(name);
  Aborting = false;
  ProgressRecord progress = MakeProgress();
  Finishing([&] {
    if (!MakeConsistentBitmap(0)) return;
    ArmProgress(progress);
    WriteBMPStream(file.Stream(), *bitmap_, Params, Params.BmpKeepAlpha, progress);
    // The new file is in place before anyone hears that the save is done.
    if (!Aborting) CommitOrAbort(file, Aborting);
  });
  Params.FileName = name;
  Params.FileType = ftBmp;
}

// ====================================================================== PNG

void TLumenaxIO::LoadFromFilePng(const std::filesystem::path& name) {
  if (StartInBackground([this, name] { LoadFromFilePng(name); })) return;
  Aborting = true;
  ProgressRecord progress = MakeProgress();
  Finishing([&] {
    if (!MakeConsistentBitmap(0)) return;
    Params.ResetInfo();
    TLxWideFileStream file(name, fmOpenRead | fmShareDenyWrite);
    Aborting = false;
    ArmProgress(progress);
    Params.PngBackground = TColor2TRGB(Background());
    bitmap_->RemoveAlphaChannel(false, clWhite);
    ReadPNGStream(file, *bitmap_, Params, false, progress);
    CheckDPI();
    if (AutoAdjustDPI) AdjustDPI();
    Params.FileName = name;
    Params.FileType = ftPng;
    if (viewer_) {
      PassResolutionToViewer(true, Params.DpiX);
      PassResolutionToViewer(false, Params.DpiY);
    }
    SetBackground(TRGB2TColor(Params.PngBackground));
    UpdateAfterLoad();
  });
}

void TLumenaxIO::LoadFromStreamPng(TStream& stream) {
  if (StartInBackground([this, &stream] { LoadFromStreamPng(stream); })) return;
  Aborting = false;
  ProgressRecord progress = MakeProgress();
  Finishing([&] {
    if (!MakeConsistentBitmap(0)) return;
    Params.ResetInfo();
    ArmProgress(progress);
    bitmap_->RemoveAlphaChannel(false, clWhite);
    ReadPNGStream(stream, *bitmap_, Params, false, progress);
    CheckDPI();
    if (AutoAdjustDPI) AdjustDPI();
    Params.FileName.clear();
    Params.FileType = ftPng;
    if (viewer_) {
      PassResolutionToViewer(true, Params.DpiX);
      PassResolutionToViewer(false, Params.DpiY);
    }
    SetBackground(TRGB2TColor(Params.PngBackground));
    UpdateAfterLoad();
  });
}

namespace {

// Runs the PNG writer with the alpha channel, if any, handed over as a mask.
void WritePngWithAlpha(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                       ProgressRecord& progress) {
  if (bitmap.HasAlphaChannel()) {
    TLxMask mask;
    bitmap.AlphaChannel()->CopyToMask(mask);
    WritePNGStream(stream, bitmap, params, &mask, progress);
  } else {
    WritePNGStream(stream, bitmap, params, nullptr, progress);
  }
}

}  // namespace

void TLumenaxIO::SaveToFilePng(const std::filesystem::path& name) {
  if (StartInBackground([this, name] { SaveToFilePng(name); })) return;
  Aborting = true;
  ProgressRecord progress = MakeProgress();
  Finishing([&] {
    if (!MakeConsistentBitmap(0)) return;
    TLxReplacingFile file(name);
    Aborting = false;
    ArmProgress(progress);
    WritePngWithAlpha(file.Stream(), *bitmap_, Params, progress);
    if (!Aborting) CommitOrAbort(file, Aborting);
    Params.FileName = name;
    Params.FileType = ftPng;
  });
}

void TLumenaxIO::SaveToStreamPng(TStream& stream) {
  if (StartInBackground([this, &stream] { SaveToStreamPng(stream); })) return;
  Aborting = false;
  ProgressRecord progress = MakeProgress();
  Finishing([&] {
    if (!MakeConsistentBitmap(0)) return;
    ArmProgress(progress);
    WritePngWithAlpha(stream, *bitmap_, Params, progress);
  });
}

// ====================================================================== other formats

void TLumenaxIO::LoadFileWith(const std::filesystem::path& name, FileType type,
                              const StreamReader& read) {
  Aborting = true;
  ProgressRecord progress = MakeProgress();
  Finishing([&] {
    if (!MakeConsistentBitmap(0)) return;
    Params.ResetInfo();
    TLxWideFileStream file(name, fmOpenRead | fmShareDenyWrite);
    Aborting = false;
    ArmProgress(progress);
    bitmap_->RemoveAlphaChannel(false, clWhite);
    std::unique_ptr<TLxMask> mask;
    read(file, progress, mask);
    CheckDPI();
    if (mask) {
      bitmap_->AlphaChannel()->CopyFromMask(mask.get());
      mask.reset();
    }
    if (AutoAdjustDPI) AdjustDPI();
    if (viewer_) {
      PassResolutionToViewer(true, Params.DpiX);
      PassResolutionToViewer(false, Params.DpiY);
    }
    Params.FileName = name;
    Params.FileType = type;
    UpdateAfterLoad();
  });
}

void TLumenaxIO::LoadFileWithoutReader(const std::filesystem::path& name, FileType type) {
  if (StartInBackground([this, name, type] { LoadFileWithoutReader(name, type); })) return;
  LoadFileWith(name, type, [](TStream&, ProgressRecord& progress, std::unique_ptr<TLxMask>&) {
    progress.Abort();
  });
}

void TLumenaxIO::LoadFromFileTiff(const std::filesystem::path& n) {
  LoadFileWithoutReader(n, ftTiff);
}
void TLumenaxIO::LoadFromFileGif(const std::filesystem::path& n) {
  LoadFileWithoutReader(n, ftGif);
}
void TLumenaxIO::LoadFromFileJpeg(const std::filesystem::path& n) {
  LoadFileWithoutReader(n, ftJpeg);
}
void TLumenaxIO::LoadFromFilePcx(const std::filesystem::path& n) {
  LoadFileWithoutReader(n, ftPcx);
}
void TLumenaxIO::LoadFromFileIco(const std::filesystem::path& n) {
  LoadFileWithoutReader(n, ftIco);
}
void TLumenaxIO::LoadFromFileCur(const std::filesystem::path& n) {
  LoadFileWithoutReader(n, ftCur);
}
void TLumenaxIO::LoadFromFileTga(const std::filesystem::path& n) {
  LoadFileWithoutReader(n, ftTga);
}
void TLumenaxIO::LoadFromFilePxm(const std::filesystem::path& n) {
  LoadFileWithoutReader(n, ftPxm);
}
void TLumenaxIO::LoadFromFileJp2(const std::filesystem::path& n) {
  LoadFileWithoutReader(n, ftJp2);
}
void TLumenaxIO::LoadFromFileJ2k(const std::filesystem::path& n) {
  LoadFileWithoutReader(n, ftJ2k);
}
void TLumenaxIO::LoadFromFileWbmp(const std::filesystem::path& n) {
  LoadFileWithoutReader(n, ftWbmp);
}
void TLumenaxIO::LoadFromFileDcx(const std::filesystem::path& n) {
  LoadFileWithoutReader(n, ftDcx);
}
void TLumenaxIO::LoadFromFileRaw(const std::filesystem::path& n) {
  LoadFileWithoutReader(n, ftRaw);
}
void TLumenaxIO::LoadFromFilePsd(const std::filesystem::path& n) {
  LoadFileWithoutReader(n, ftPsd);
}
void TLumenaxIO::LoadFromFileDicom(const std::filesystem::path& n) {
  LoadFileWithoutReader(n, ftDicom);
}

void TLumenaxIO::LoadFromFileMetafile(const std::filesystem::path& name, int width, int height,
                                      bool withAlpha) {
  if (StartInBackground([=, this] { LoadFromFileMetafile(name, width, height, withAlpha); }))
    return;
  // Metafiles are played by the platform's graphics system, which this build does not have.
  Finishing([&] {
    Aborting = true;
    FileType detected = DetectFileFormat(name, false);
    Params.FileName = name;
    Params.FileType = detected == ftEmf ? ftEmf : ftWmf;
  });
}

void TLumenaxIO::LoadFromFileViewerFormat(const std::filesystem::path& name, FileType type) {
  if (viewer_ && viewer_->LoadViewerFile(name, type)) Params.FileName = name;
  Params.FileType = type;
}

void TLumenaxIO::LoadStreamWithoutReader(TStream& stream, FileType type) {
  if (StartInBackground([this, &stream, type] { LoadStreamWithoutReader(stream, type); })) return;
  Aborting = false;
  ProgressRecord progress = MakeProgress();
  Finishing([&] {
    if (!MakeConsistentBitmap(0)) return;
    Params.ResetInfo();
    ArmProgress(progress);
    bitmap_->RemoveAlphaChannel(false, clWhite);
    progress.Abort();
    CheckDPI();
    Params.FileName.clear();
    Params.FileType = type;
    UpdateAfterLoad();
  });
}

void TLumenaxIO::LoadFromStreamTiff(TStream& s) {
  LoadStreamWithoutReader(s, ftTiff);
}
void TLumenaxIO::LoadFromStreamGif(TStream& s) {
  LoadStreamWithoutReader(s, ftGif);
}
void TLumenaxIO::LoadFromStreamJpeg(TStream& s) {
  LoadStreamWithoutReader(s, ftJpeg);
}
void TLumenaxIO::LoadFromStreamPcx(TStream& s) {
  LoadStreamWithoutReader(s, ftPcx);
}
void TLumenaxIO::LoadFromStreamIco(TStream& s) {
  LoadStreamWithoutReader(s, ftIco);
}
void TLumenaxIO::LoadFromStreamCur(TStream& s) {
  LoadStreamWithoutReader(s, ftCur);
}
void TLumenaxIO::LoadFromStreamTga(TStream& s) {
  LoadStreamWithoutReader(s, ftTga);
}
void TLumenaxIO::LoadFromStreamPxm(TStream& s) {
  LoadStreamWithoutReader(s, ftPxm);
}
void TLumenaxIO::LoadFromStreamJp2(TStream& s) {
  LoadStreamWithoutReader(s, ftJp2);
}
void TLumenaxIO::LoadFromStreamJ2k(TStream& s) {
  LoadStreamWithoutReader(s, ftJ2k);
}
void TLumenaxIO::LoadFromStreamWbmp(TStream& s) {
  LoadStreamWithoutReader(s, ftWbmp);
}
void TLumenaxIO::LoadFromStreamDcx(TStream& s) {
  LoadStreamWithoutReader(s, ftDcx);
}
void TLumenaxIO::LoadFromStreamRaw(TStream& s) {
  LoadStreamWithoutReader(s, ftRaw);
}
void TLumenaxIO::LoadFromStreamRawPixels(TStream& s) {
  LoadStreamWithoutReader(s, ftRawPixels);
}
void TLumenaxIO::LoadFromStreamPsd(TStream& s) {
  LoadStreamWithoutReader(s, ftPsd);
}
void TLumenaxIO::LoadFromStreamDicom(TStream& s) {
  LoadStreamWithoutReader(s, ftDicom);
}

void TLumenaxIO::LoadFromStreamViewerFormat(TStream& stream, FileType type) {
  if (viewer_ && viewer_->LoadViewerStream(stream, type)) Params.FileName.clear();
  Params.FileType = type;
}

void TLumenaxIO::LoadFromURL(const std::string& address) {
  if (StartInBackground([this, address] { LoadFromURL(address); })) return;
  Aborting = false;
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
  DoFinishWork();
}

// ====================================================================== dispatchers

namespace {

// Calls the file entry point of a built-in type; false when the type has none.
bool CallFileEntryPoint(TLumenaxIO& io, const std::filesystem::path& name, FileType type) {
  switch (type) {
    case ftTiff:
      io.LoadFromFileTiff(name);
      return true;
    case ftGif:
      io.LoadFromFileGif(name);
      return true;
    case ftJpeg:
      io.LoadFromFileJpeg(name);
      return true;
    case ftPcx:
      io.LoadFromFilePcx(name);
      return true;
    case ftBmp:
      io.LoadFromFileBmp(name);
      return true;
    case ftIco:
      io.LoadFromFileIco(name);
      return true;
    case ftCur:
      io.LoadFromFileCur(name);
      return true;
    case ftPng:
      io.LoadFromFilePng(name);
      return true;
    case ftWmf:
    case ftEmf:
      io.LoadFromFileMetafile(name, -1, -1, true);
      return true;
    case ftTga:
      io.LoadFromFileTga(name);
      return true;
    case ftPxm:
      io.LoadFromFilePxm(name);
      return true;
    case ftJp2:
      io.LoadFromFileJp2(name);
      return true;
    case ftJ2k:
      io.LoadFromFileJ2k(name);
      return true;
    case ftWbmp:
      io.LoadFromFileWbmp(name);
      return true;
    case ftDcx:
      io.LoadFromFileDcx(name);
      return true;
    case ftRaw:
      io.LoadFromFileRaw(name);
      return true;
    case ftPsd:
      io.LoadFromFilePsd(name);
      return true;
    case ftDicom:
      io.LoadFromFileDicom(name);
      return true;
    case ftVectObjects:
    case ftLayers:
    case ftLayersAndObjects:
      io.LoadFromFileViewerFormat(name, type);
      return true;
    default:
      return false;
  }
}

}  // namespace

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
    if (!CallFileEntryPoint(*this, name, type)) LoadFromFileByExtension(name);
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
    DoFinishWork();
    Params.FileName = name;
    Params.FileType = ftAvi;
    return;
  }
  FormatRow row = FindFormatByExtension(ext);
  if (!row) {
    Aborting = true;
    DoFinishWork();
    return;
  }
  if (row->InternalFormat && CallFileEntryPoint(*this, name, row->FileType)) return;
  Params.FileName.clear();
  Params.FileType = ftUnknown;
  Params.ResetInfo();
  RunTimeLoad(name, row);
}

void TLumenaxIO::RunTimeLoad(const std::filesystem::path& name, const FormatRow& row) {
  if (!row->ReadFunction) {
    Aborting = true;
    DoFinishWork();
    return;
  }
  if (StartInBackground([this, name, row] { RunTimeLoad(name, row); })) return;
  TLxWideFileStream file(name, fmOpenRead | fmShareDenyWrite);
  RunTimeRead(file, row, &name);
}

void TLumenaxIO::RunTimeStreamLoad(TStream& stream, const FormatRow& row) {
  if (StartInBackground([this, &stream, row] { RunTimeStreamLoad(stream, row); })) return;
  Params.ResetInfo();
  Params.FileName.clear();
  Params.FileType = ftUnknown;
  if (!row->ReadFunction) {
    Aborting = true;
    DoFinishWork();
    return;
  }
  RunTimeRead(stream, row, nullptr);
}

void TLumenaxIO::RunTimeRead(TStream& stream, const FormatRow& row,
                             const std::filesystem::path* name) {
  Aborting = false;
  ProgressRecord progress = MakeProgress();
  Finishing([&] {
    if (!MakeConsistentBitmap(0)) return;
    ArmProgress(progress);
    Params.FileType = row->FileType;
    row->ReadFunction(stream, *bitmap_, Params, false, progress);
    if (AutoAdjustDPI) AdjustDPI();
    if (viewer_) {
      PassResolutionToViewer(true, Params.DpiX);
      PassResolutionToViewer(false, Params.DpiY);
    }
    if (name) Params.FileName = *name;
    UpdateAfterLoad();
  });
}

namespace {

// Calls the stream entry point of a built-in type; false when the type has none.
bool CallStreamEntryPoint(TLumenaxIO& io, TStream& stream, FileType type) {
  switch (type) {
    case ftTiff:
      io.LoadFromStreamTiff(stream);
      return true;
    case ftGif:
      io.LoadFromStreamGif(stream);
      return true;
    case ftJpeg:
      io.LoadFromStreamJpeg(stream);
      return true;
    case ftPcx:
      io.LoadFromStreamPcx(stream);
      return true;
    case ftBmp:
      io.LoadFromStreamBmp(stream);
      return true;
    case ftIco:
      io.LoadFromStreamIco(stream);
      return true;
    case ftCur:
      io.LoadFromStreamCur(stream);
      return true;
    case ftPng:
      io.LoadFromStreamPng(stream);
      return true;
    case ftTga:
      io.LoadFromStreamTga(stream);
      return true;
    case ftPxm:
      io.LoadFromStreamPxm(stream);
      return true;
    case ftJp2:
      io.LoadFromStreamJp2(stream);
      return true;
    case ftJ2k:
      io.LoadFromStreamJ2k(stream);
      return true;
    case ftWbmp:
      io.LoadFromStreamWbmp(stream);
      return true;
    case ftDcx:
      io.LoadFromStreamDcx(stream);
      return true;
    case ftRaw:
      io.LoadFromStreamRaw(stream);
      return true;
    case ftRawPixels:
      io.LoadFromStreamRawPixels(stream);
      return true;
    case ftPsd:
      io.LoadFromStreamPsd(stream);
      return true;
    case ftDicom:
      io.LoadFromStreamDicom(stream);
      return true;
    case ftVectObjects:
    case ftLayers:
    case ftLayersAndObjects:
      io.LoadFromStreamViewerFormat(stream, type);
      return true;
    default:
      return false;
  }
}

}  // namespace

bool TLumenaxIO::LoadStreamOfType(TStream& stream, FileType type) {
  // Headerless pixels have no row and are read only when asked for by type.
  if (type == ftRawPixels) return CallStreamEntryPoint(*this, stream, type);
  FormatRow row = FindFormatByType(type);
  if (!row) return false;
  if (row->InternalFormat) return CallStreamEntryPoint(*this, stream, type);
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

enum class FileWriter { None, Png, Bmp, RunTime };

// The writer SaveToFile uses for a name (by its extension).
FileWriter WriterFor(const std::filesystem::path& name, FormatRow* row) {
  std::string ext = LowerExt(name);
  if (ext == ".png") return FileWriter::Png;
  if (ext == ".bmp" || ext == ".dib" || ext == ".rle") return FileWriter::Bmp;
  FormatRow r = FindFormatByExtension(ext);
  if (r && !r->InternalFormat && r->WriteFunction) {
    if (row) *row = r;
    return FileWriter::RunTime;
  }
  return FileWriter::None;
}

}  // namespace

bool TLumenaxIO::SaveToFileSupported(const std::filesystem::path& name) {
  return !name.empty() && WriterFor(name, nullptr) != FileWriter::None;
}

void TLumenaxIO::SaveToFile(const std::filesystem::path& name) {
  if (name.empty()) return;
  FormatRow row;
  switch (WriterFor(name, &row)) {
    case FileWriter::Png:
      SaveToFilePng(name);
      break;
    case FileWriter::Bmp:
      SaveToFileBmp(name);
      break;
    case FileWriter::RunTime:
      RunTimeSave(name, row);
      break;
    case FileWriter::None:
      Aborting = true;
      break;
  }
}

void TLumenaxIO::RunTimeSave(const std::filesystem::path& name, const FormatRow& row) {
  if (StartInBackground([this, name, row] { RunTimeSave(name, row); })) return;
  Aborting = true;
  TLxReplacingFile file(name);
  Aborting = false;
  ProgressRecord progress = MakeProgress();
  Finishing([&] {
    if (!MakeConsistentBitmap(0)) return;
    if (bitmap_->PixelFormat() != lx24RGB && bitmap_->PixelFormat() != lx1g)
      bitmap_->SetPixelFormat(lx24RGB);
    Params.FileName = name;
    Params.FileType = row->FileType;
    ArmProgress(progress);
    row->WriteFunction(file.Stream(), *bitmap_, Params, progress);
    if (!Aborting) CommitOrAbort(file, Aborting);
    Params.FileName = name;
    Params.FileType = row->FileType;
  });
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
