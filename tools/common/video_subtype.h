// The uncompressed video subtypes the tools capture and name: their names as users
// type them and as reports print them, and their DirectShow media subtype GUIDs.
// Pure functions, any thread.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace veltrano::tools {

enum class VideoSubtype { kYuy2, kNv12, kI420, kRgb24, kRgb32 };

//! "YUY2", "NV12", "I420", "RGB24" or "RGB32".
const wchar_t* VideoSubtypeName(VideoSubtype subtype) noexcept;

//! The subtype of one of the names above, in any letter case; empty for anything else.
std::optional<VideoSubtype> ParseVideoSubtype(const std::wstring& name);

//! MEDIASUBTYPE_YUY2, _NV12, _I420, _RGB24 or _RGB32.
const GUID& VideoSubtypeGuid(VideoSubtype subtype) noexcept;

//! The subtype a media subtype GUID stands for; empty for any other GUID.
std::optional<VideoSubtype> VideoSubtypeFromGuid(const GUID& guid) noexcept;

//! True for the RGB subtypes, whose rows run bottom-up under a positive biHeight.
inline bool IsRgb(VideoSubtype subtype) noexcept {
  return subtype == VideoSubtype::kRgb24 || subtype == VideoSubtype::kRgb32;
}

}  // namespace veltrano::tools
