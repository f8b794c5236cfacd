// OpenJPEG streams over the library's streams, and OpenJPEG's messages.
#include "codecs/jp2/jp2_openjpeg.h"

#include <algorithm>
#include <vector>

#include "bitmap/stream.h"

namespace lumenax {

namespace {

constexpr OPJ_SIZE_T kOpjEnd = OPJ_SIZE_T(-1);

void KeepError(const char* msg, void* data) {
  auto* m = static_cast<OpjMessages*>(data);
  if (!m->First.empty() || !msg) return;
  std::string s(msg);
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  m->First = s;
}

void Ignore(const char*, void*) {}

OPJ_SIZE_T ReadFn(void* buffer, OPJ_SIZE_T n, void* data) {
  auto* st = static_cast<OpjStreamState*>(data);
  const int64_t got = st->Stream->Read(buffer, int64_t(n));
  return got > 0 ? OPJ_SIZE_T(got) : kOpjEnd;
}

OPJ_SIZE_T WriteFn(void* buffer, OPJ_SIZE_T n, void* data) {
  auto* st = static_cast<OpjStreamState*>(data);
  const int64_t at = st->Stream->Position() - st->Base;
  const int64_t put = st->Stream->Write(buffer, int64_t(n));
  if (put != int64_t(n)) {
    st->WriteFailed = true;
    return kOpjEnd;
  }
  st->Written = std::max(st->Written, at + put);
  return n;
}

// Moves to Base + target. Reading never goes past the data; writing past what was written
// fills the gap with zeros, so that every stream, growable or not, ends up with real bytes.
bool MoveTo(OpjStreamState* st, int64_t target) {
  if (target < 0) return false;
  if (!st->Writing) {
    if (target > st->Length) return false;
    return st->Stream->Seek(st->Base + target, soBeginning) == st->Base + target;
  }
  if (target > st->Written) {
    if (st->Stream->Seek(st->Base + st->Written, soBeginning) != st->Base + st->Written)
      return false;
    std::vector<uint8_t> zeros(size_t(std::min<int64_t>(target - st->Written, 1 << 16)));
    while (st->Written < target) {
      const int64_t k = std::min<int64_t>(target - st->Written, int64_t(zeros.size()));
      if (st->Stream->Write(zeros.data(), k) != k) {
        st->WriteFailed = true;
        return false;
      }
      st->Written += k;
    }
    return true;
  }
  return st->Stream->Seek(st->Base + target, soBeginning) == st->Base + target;
}

OPJ_OFF_T SkipFn(OPJ_OFF_T n, void* data) {
  auto* st = static_cast<OpjStreamState*>(data);
  const int64_t here = st->Stream->Position() - st->Base;
  return MoveTo(st, here + n) ? n : OPJ_OFF_T(-1);
}

OPJ_BOOL SeekFn(OPJ_OFF_T offset, void* data) {
  return MoveTo(static_cast<OpjStreamState*>(data), offset) ? OPJ_TRUE : OPJ_FALSE;
}

}  // namespace

void OpjMessages::Attach(opj_codec_t* codec) {
  opj_set_error_handler(codec, KeepError, this);
  opj_set_warning_handler(codec, Ignore, nullptr);
  opj_set_info_handler(codec, Ignore, nullptr);
}

OpjStream MakeOpjStream(OpjStreamState& state) {
  OpjStream s(opj_stream_create(1 << 16, state.Writing ? OPJ_FALSE : OPJ_TRUE));
  if (!s) return s;
  opj_stream_set_user_data(s.get(), &state, nullptr);
  if (state.Writing) {
    opj_stream_set_write_function(s.get(), WriteFn);
  } else {
    opj_stream_set_read_function(s.get(), ReadFn);
    opj_stream_set_user_data_length(s.get(), OPJ_UINT64(std::max<int64_t>(state.Length, 0)));
  }
  opj_stream_set_skip_function(s.get(), SkipFn);
  opj_stream_set_seek_function(s.get(), SeekFn);
  return s;
}

}  // namespace lumenax
