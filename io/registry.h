// The format registry: one process-wide ordered table of the formats the library knows
// (code, description, extensions, reading and writing ability), and content detection,
// which decides what a stream or file holds whatever its name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "io/file_types.h"

namespace lumenax {

class TStream;
class TLxBitmap;
class TIOParamsVals;
struct ProgressRecord;

// Reader of a format added at run time: (stream, bitmap, parameters, info only, progress).
using TLxReadFunction =
    std::function<void(TStream&, TLxBitmap&, TIOParamsVals&, bool, ProgressRecord&)>;
// Writer of a format added at run time: (stream, bitmap, parameters, progress).
using TLxWriteFunction = std::function<void(TStream&, TLxBitmap&, TIOParamsVals&, ProgressRecord&)>;
// Content probe of a format added at run time: (stream at the content, the row's code).
using TLxTryFunction = std::function<bool(TStream&, FileType)>;

// One row of the registry. The built-in rows carry placeholder functions that are never
// used for reading or writing: whether a row's format can be read or written is whether its
// ReadFunction and WriteFunction are present.
struct FormatRecord {
  lumenax::FileType FileType = ftUnknown;
  std::string FullName;         // at most 80 characters
  std::string Extensions;       // upper case, without dots, separated by ";"; at most 80 characters
  bool InternalFormat = false;  // built in: the I/O component has its own entry points
  uint16_t DialogPage = 0;      // flag of the format's page in the parameter dialog
  TLxReadFunction ReadFunction;
  TLxWriteFunction WriteFunction;
  TLxTryFunction TryFunction;
};

// Rows are shared read-only; a row stays valid for whoever holds it, even once unregistered.
using FormatRow = std::shared_ptr<const FormatRecord>;

// Builds the registry with the built-in rows if that has not happened yet. Any of the
// functions below does it on first use; calling it at start-up makes the cost predictable.
void BuildFormatRegistry();

// A snapshot of every row in order.
std::vector<FormatRow> FormatRegistryRows();
// The first row with that code, or nullptr.
FormatRow FindFormatByType(FileType type);
// The first row listing the extension (with or without a leading dot, any case), or nullptr.
FormatRow FindFormatByExtension(std::string_view extension);
// The index-th extension of the row of type (upper case, no dot); empty when the row or
// the index does not exist.
std::string GetExtension(FileType type, int index);
// Number of extensions of the row of type (0 without a row).
int GetExtensionCount(FileType type);
// Appends a copy of the row (texts cut to 80 characters, extensions upper-cased); returns
// its position. Registration belongs to start-up, before images are loaded on other threads.
int RegisterFormat(const FormatRecord& record);
// Removes the first row with that code, if any.
void UnregisterFormat(FileType type);

// The FileType of the content at the stream's position; the position is unchanged
// afterwards. Never raises: read errors and short streams give ftUnknown or what was found
// before them.
FileType DetectStreamFormat(TStream& stream);
// The FileType of the named file from its content, adjusted by its extension: camera-RAW
// names of TIFF content give ftRaw, rows added at run time win by name, and with strict the
// content must agree with the extension (ftUnknown otherwise).
FileType DetectFileFormat(const std::filesystem::path& name, bool strict);

// The extension of the last component of name, from its last dot (dot included); empty
// without a dot.
std::string ExtractFileExt(const std::filesystem::path& name);

}  // namespace lumenax
