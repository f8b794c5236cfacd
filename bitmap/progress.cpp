#include "bitmap/progress.h"

namespace lumenax {

const char* FailureText(TLxFailure code) {
  switch (code) {
    case TLxFailure::None:
      return "";
    case TLxFailure::BadSignature:
      return "bad signature";
    case TLxFailure::BadHeader:
      return "bad header";
    case TLxFailure::Unsupported:
      return "unsupported variant";
    case TLxFailure::Truncated:
      return "truncated data";
    case TLxFailure::TooLarge:
      return "too large";
    case TLxFailure::BadData:
      return "bad data";
    case TLxFailure::WriteFailed:
      return "write failed";
    case TLxFailure::Cancelled:
      return "cancelled";
    case TLxFailure::NoReader:
      return "no reader";
    case TLxFailure::NoWriter:
      return "no writer";
    case TLxFailure::NoImage:
      return "no image";
    case TLxFailure::OutOfMemory:
      return "out of memory";
  }
  return "failed";
}

std::string TLxFailureReason::Text() const {
  if (Code == TLxFailure::None) return {};
  std::string text = Detail.empty() ? FailureText(Code) : Detail;
  if (Offset >= 0) text += " at byte " + std::to_string(Offset);
  return text;
}

void ProgressRecord::Fail(TLxFailure code, int64_t offset, std::string_view detail) const {
  if (ReasonPtr && !*ReasonPtr) {
    ReasonPtr->Code = code;
    ReasonPtr->Detail = std::string(detail);
    ReasonPtr->Offset = offset;
  }
  if (AbortingPtr) *AbortingPtr = true;
}

}  // namespace lumenax
