// Media GUIDs that mingw-w64's headers lack, with their published values.
#pragma once

#include <windows.h>

namespace veltrano::platform {

// MEDIASUBTYPE_I420 {30323449-0000-0010-8000-00AA00389B71}: the FOURCC "I420" in the
// standard media subtype frame.
inline constexpr GUID kMediaSubtypeI420 = {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

}  // namespace veltrano::platform
