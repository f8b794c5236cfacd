// TIOParamsVals: everything about an image file that is not pixels, carried from a reader to
// a writer. Each format's group is a plain struct declared with its codec and inherited
// here, so fields read as Params.BmpKeepAlpha; SetDefaultParams, ResetInfo and Assign cover
// every group through the group list below.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "bitmap/types.h"
#include "codecs/bmp/bmp_params.h"
#include "codecs/common/icc_profile.h"
#include "codecs/dicom/dicom_params.h"
#include "codecs/gif/gif_params.h"
#include "codecs/ico/ico_params.h"
#include "codecs/jp2/jp2_params.h"
#include "codecs/jpeg/jpeg_params.h"
#include "codecs/pcx/pcx_params.h"
#include "codecs/png/png_params.h"
#include "codecs/pnm/pnm_params.h"
#include "codecs/postscript/postscript_params.h"
#include "codecs/psd/psd_params.h"
#include "codecs/rawpixels/rawpixels_params.h"
#include "codecs/tga/tga_params.h"
#include "codecs/tiff/exif_params.h"
#include "codecs/tiff/tiff_params.h"
#include "io/file_types.h"
#include "io/metadata_params.h"

namespace lumenax {

class TLumenaxIO;

// Library-wide default resolution in dots per inch (set at start-up, read afterwards).
extern int32_t DefaultDPI;

// The format groups of the record, folded over by the record-wide operations.
//
// A group is a plain struct whose fields carry the format's prefix and have their defaults
// as member initialisers. It provides
//   void SetDefaults();          every field to its default, owned lists emptied
//   void ResetInfo();            clears what a load replaces (texts, comments, metadata)
// and may provide
//   void AssignGroup(const G&);  when copying is more than member-wise assignment
//   void OnSetImageIndex(int32_t), OnSetImageCount(int32_t), OnSetOrientation(int32_t),
//   OnSetLoadExifThumbnail(bool) to keep its own copies of those shared values.
// A codec adds its group by adding its struct to TIOParamGroupList (and, for the
// command-line table of field names, a ParamGroupFields description, io/param_fields.h).
template <class... Groups>
class TIOParamGroups : public Groups... {
 protected:
  void DefaultGroups() { (Groups::SetDefaults(), ...); }
  void ResetGroupsInfo() { (Groups::ResetInfo(), ...); }
  void AssignGroups(const TIOParamGroups& source) { (AssignOne<Groups>(source), ...); }
  void ImageIndexToGroups(int32_t v) { (ImageIndexTo<Groups>(v), ...); }
  void ImageCountToGroups(int32_t v) { (ImageCountTo<Groups>(v), ...); }
  void OrientationToGroups(int32_t v) { (OrientationTo<Groups>(v), ...); }
  void LoadExifThumbnailToGroups(bool v) { (LoadExifThumbnailTo<Groups>(v), ...); }

 private:
  template <class G>
  void AssignOne(const TIOParamGroups& source) {
    const G& from = static_cast<const G&>(source);
    if constexpr (requires(G & g) { g.AssignGroup(from); })
      G::AssignGroup(from);
    else
      static_cast<G&>(*this) = from;
  }
  template <class G>
  void ImageIndexTo(int32_t v) {
    if constexpr (requires(G & g, int32_t x) { g.OnSetImageIndex(x); }) G::OnSetImageIndex(v);
  }
  template <class G>
  void ImageCountTo(int32_t v) {
    if constexpr (requires(G & g, int32_t x) { g.OnSetImageCount(x); }) G::OnSetImageCount(v);
  }
  template <class G>
  void OrientationTo(int32_t v) {
    if constexpr (requires(G & g, int32_t x) { g.OnSetOrientation(x); }) G::OnSetOrientation(v);
  }
  template <class G>
  void LoadExifThumbnailTo(bool v) {
    if constexpr (requires(G & g, bool x) { g.OnSetLoadExifThumbnail(x); })
      G::OnSetLoadExifThumbnail(v);
  }
};

// Every group of the record, in declaration order.
using TIOParamGroupList =
    TIOParamGroups<JpegParams, BmpParams, PngParams, GifParams, RawPixelsParams, IptcParams,
                   XmpParams, IccProfileParams, PxmParams, TgaParams, PcxParams, Jp2Params,
                   DicomParams, IcoParams, TiffParams, ExifParams, PsPdfParams, PsdParams>;

class TIOParamsVals : public TIOParamGroupList {
 public:
  // Creates the owned objects, then SetDefaultParams.
  explicit TIOParamsVals(TLumenaxIO* owner = nullptr);
  TIOParamsVals(const TIOParamsVals&) = delete;
  TIOParamsVals& operator=(const TIOParamsVals&) = delete;

  // The component whose record this is; not copied by Assign.
  TLumenaxIO* Owner = nullptr;
  int32_t BitsPerSample = 8;
  // Last file loaded or saved; empty after a stream operation.
  std::filesystem::path FileName;
  int32_t SamplesPerPixel = 3;
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t DpiX = 0;
  int32_t DpiY = 0;
  lumenax::FileType FileType = ftUnknown;
  int32_t ImageIndex = 0;
  int32_t ImageCount = 0;
  // The precise resolution kept by SetDpiX/SetDpiY (the EXIF resolution tags).
  double ExifXResolution = 0;
  double ExifYResolution = 0;
  // Common copy of the JPEG reader's "deliver the EXIF thumbnail" flag.
  bool LoadExifThumbnail = false;
  // Readers keep the file's own pixel layout; not copied by Assign.
  bool IsNativePixelFormat = false;
  // Palette of the last image read (blue, green, red triples); ColorMapCount entries.
  std::vector<TRGB> ColorMap;
  int32_t ColorMapCount = 0;

  // Every field to its default (common fields and every group).
  void SetDefaultParams();
  // Clears the metadata before a load; sizes, depth, resolution, palette and format
  // settings stay as they are. The first "Exif" APP1 marker goes with the EXIF group.
  void ResetInfo();
  // Copies every field of source except Owner and IsNativePixelFormat.
  void Assign(const TIOParamsVals& source);

  // Stores the resolution and its precise copy and passes it to an attached viewer.
  void SetDpiX(int32_t dpi);
  void SetDpiY(int32_t dpi);
  // Rounded to the nearest integer (halves to even); the precise copy keeps dpi.
  void SetDpiX(double dpi);
  void SetDpiY(double dpi);
  // ImageIndex and the image index of every group that has one.
  void SetImageIndex(int32_t index);
  // ImageCount and the image count of every group that has one.
  void SetImageCount(int32_t count);
  // The orientation of every group that keeps one (TIFF and EXIF).
  void SetOrientation(int32_t orientation);
  void SetLoadExifThumbnail(bool value);

  // Replaces the colour map with count entries (none for count <= 0).
  void SetColorMap(const TRGB* entries, int32_t count);
  void FreeColorMap();

 private:
  void StoreDpiX(int32_t dpi, double precise);
  void StoreDpiY(int32_t dpi, double precise);
};

}  // namespace lumenax
