#include "io/registry.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <shared_mutex>

#include "bitmap/progress.h"
#include "codecs/codec.h"
#include "codecs/common/ascii_case.h"

namespace lumenax {

namespace {

// The ";"-separated tokens of an extension list: all of them, or, with untilEmpty, those
// before the first empty one (the extensions the row is found by and counts).
std::vector<std::string> SplitExtensions(const std::string& list, bool untilEmpty) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    if (end == start && untilEmpty) break;
    out.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// The row of a built-in codec. Its functions call the codec when this build has it; a
// format the row says is readable or writable but whose codec is not built yet refuses with
// that reason.
FormatRecord RowOf(const TLxCodecDescriptor& c) {
  FormatRecord r;
  r.FileType = c.Type;
  r.FullName = c.Description;
  r.Extensions = c.Extensions;
  r.InternalFormat = true;
  r.DialogPage = c.DialogPage;
  const TLxCodecDescriptor* codec = &c;
  if (c.Readable) {
    r.ReadFunction = [codec](TStream& s, TLxBitmap& b, TIOParamsVals& p, bool infoOnly,
                             ProgressRecord& progress) {
      if (!codec->Read) return progress.Fail(TLxFailure::NoReader);
      TLxReadArgs args{s, b, p, progress, infoOnly};
      codec->Read(args);
    };
  }
  if (c.Writable) {
    r.WriteFunction = [codec](TStream& s, TLxBitmap& b, TIOParamsVals& p,
                              ProgressRecord& progress) {
      if (!codec->Write) return progress.Fail(TLxFailure::NoWriter);
      TLxWriteArgs args{s, b, p, progress};
      codec->Write(args);
    };
  }
  // Built-in formats are recognised by detection's own table, not by row probes.
  r.TryFunction = [](TStream&, FileType) { return false; };
  return r;
}

class Registry {
 public:
  Registry() {
    for (const TLxCodecDescriptor* c : AllCodecs()) {
      if (c->Registered) rows_.push_back(std::make_shared<const FormatRecord>(RowOf(*c)));
    }
  }

  std::vector<FormatRow> Rows() const {
    std::shared_lock lock(mutex_);
    return rows_;
  }

  FormatRow ByType(FileType type) const {
    std::shared_lock lock(mutex_);
    for (const FormatRow& r : rows_) {
      if (r->FileType == type) return r;
    }
    return nullptr;
  }

  int Add(FormatRecord record) {
    if (record.FullName.size() > 80) record.FullName.resize(80);
    if (record.Extensions.size() > 80) record.Extensions.resize(80);
    record.Extensions = AsciiUpper(record.Extensions);
    std::unique_lock lock(mutex_);
    rows_.push_back(std::make_shared<const FormatRecord>(std::move(record)));
    return int(rows_.size()) - 1;
  }

  void Remove(FileType type) {
    std::unique_lock lock(mutex_);
    auto it = std::find_if(rows_.begin(), rows_.end(),
                           [type](const FormatRow& r) { return r->FileType == type; });
    if (it != rows_.end()) rows_.erase(it);
  }

 private:
  mutable std::shared_mutex mutex_;
  std::vector<FormatRow> rows_;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

void BuildFormatRegistry() {
  TheRegistry();
}

std::vector<FormatRow> FormatRegistryRows() {
  return TheRegistry().Rows();
}

FormatRow FindFormatByType(FileType type) {
  return TheRegistry().ByType(type);
}

FormatRow FindFormatByExtension(std::string_view extension) {
  std::string ext = AsciiLower(extension);
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  for (const FormatRow& row : TheRegistry().Rows()) {
    for (const std::string& e : SplitExtensions(row->Extensions, true)) {
      if (AsciiLower(e) == ext) return row;
    }
  }
  return nullptr;
}

std::string GetExtension(FileType type, int index) {
  FormatRow row = FindFormatByType(type);
  if (!row || index < 0) return {};
  std::vector<std::string> list = SplitExtensions(row->Extensions, false);
  return size_t(index) < list.size() ? list[size_t(index)] : std::string();
}

int GetExtensionCount(FileType type) {
  FormatRow row = FindFormatByType(type);
  return row ? int(SplitExtensions(row->Extensions, true).size()) : 0;
}

int RegisterFormat(const FormatRecord& record) {
  return TheRegistry().Add(record);
}

void UnregisterFormat(FileType type) {
  TheRegistry().Remove(type);
}

std::string ExtractFileExt(const std::filesystem::path& name) {
  std::string file = name.filename().string();
  size_t dot = file.rfind('.');
  return dot == std::string::npos ? std::string() : file.substr(dot);
}

}  // namespace lumenax
