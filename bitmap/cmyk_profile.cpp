#include "bitmap/cmyk_profile.h"

// The profile file is placed into the read-only data of this object as it is; CMake passes
// its path in LX_CMYK_PROFILE_PATH and rebuilds this file when the profile changes.
#ifndef LX_CMYK_PROFILE_PATH
#error "LX_CMYK_PROFILE_PATH must name the bundled CMYK profile"
#endif

#define LX_STR2(x) #x
#define LX_STR(x) LX_STR2(x)

__asm__(
    ".section .rodata\n"
    ".balign 16\n"
    "lx_cmyk_profile_begin:\n"
    ".incbin \"" LX_STR(LX_CMYK_PROFILE_PATH) "\"\n"
    "lx_cmyk_profile_end:\n"
    ".byte 0\n"
    ".previous\n");

extern "C" const uint8_t lx_cmyk_profile_begin[] __asm__("lx_cmyk_profile_begin");
extern "C" const uint8_t lx_cmyk_profile_end[] __asm__("lx_cmyk_profile_end");

namespace lumenax {

ProfileBytes CmykProfileBytes() {
  return ProfileBytes{lx_cmyk_profile_begin, size_t(lx_cmyk_profile_end - lx_cmyk_profile_begin)};
}

}  // namespace lumenax
