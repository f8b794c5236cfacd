#include "codecs/codec.h"

namespace lumenax {

#define LX_CODEC(Name) extern const TLxCodecDescriptor k##Name##Codec;
#include "codecs/codec_list.h"
#undef LX_CODEC

const std::vector<const TLxCodecDescriptor*>& AllCodecs() {
#define LX_CODEC(Name) &k##Name##Codec,
  static const std::vector<const TLxCodecDescriptor*> list{
#include "codecs/codec_list.h"
  };
#undef LX_CODEC
  return list;
}

const TLxCodecDescriptor* FindCodec(FileType type) {
  for (const TLxCodecDescriptor* c : AllCodecs()) {
    if (c->Type == type) return c;
  }
  return nullptr;
}

}  // namespace lumenax
