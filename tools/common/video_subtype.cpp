#include "tools/common/video_subtype.h"

#include <dshow.h>

#include <cwctype>
#include <iterator>

#include "platform/media_guids.h"

namespace veltrano::tools {
namespace {

struct SubtypeEntry {
  VideoSubtype subtype;
  const wchar_t* name;
  const GUID* guid;
};

const SubtypeEntry kSubtypes[] = {
    {VideoSubtype::kYuy2, L"YUY2", &MEDIASUBTYPE_YUY2},
    {VideoSubtype::kNv12, L"NV12", &MEDIASUBTYPE_NV12},
    {VideoSubtype::kI420, L"I420", &platform::kMediaSubtypeI420},
    {VideoSubtype::kRgb24, L"RGB24", &MEDIASUBTYPE_RGB24},
    {VideoSubtype::kRgb32, L"RGB32", &MEDIASUBTYPE_RGB32},
};

const SubtypeEntry& EntryOf(VideoSubtype subtype) noexcept {
  for (const SubtypeEntry& entry : kSubtypes) {
    if (entry.subtype == subtype) return entry;
  }
  return kSubtypes[0];
}

}  // namespace

const wchar_t* VideoSubtypeName(VideoSubtype subtype) noexcept { return EntryOf(subtype).name; }

std::optional<VideoSubtype> ParseVideoSubtype(const std::wstring& name) {
  std::wstring upper;
  for (const wchar_t c : name) upper.push_back(static_cast<wchar_t>(std::towupper(c)));
  for (const SubtypeEntry& entry : kSubtypes) {
    if (upper == entry.name) return entry.subtype;
  }
  return std::nullopt;
}

const GUID& VideoSubtypeGuid(VideoSubtype subtype) noexcept { return *EntryOf(subtype).guid; }

std::optional<VideoSubtype> VideoSubtypeFromGuid(const GUID& guid) noexcept {
  for (const SubtypeEntry& entry : kSubtypes) {
    if (IsEqualGUID(*entry.guid, guid)) return entry.subtype;
  }
  return std::nullopt;
}

}  // namespace veltrano::tools
