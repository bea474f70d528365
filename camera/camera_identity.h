// The camera's identity, shared by the filter, the class table and registration.
#pragma once

#include <windows.h>

namespace veltrano::camera {

// {EFEA0B78-A886-4D02-8BC6-7157054BDFC3}
inline constexpr CLSID kCameraClsid = {0xefea0b78, 0xa886, 0x4d02, {0x8b, 0xc6, 0x71, 0x57, 0x05, 0x4b, 0xdf, 0xc3}};
inline constexpr wchar_t kCameraFriendlyName[] = L"Veltrano Virtual Camera";
inline constexpr wchar_t kCapturePinName[] = L"Capture";

}  // namespace veltrano::camera
