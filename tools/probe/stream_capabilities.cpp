#include "tools/probe/stream_capabilities.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>

#include "platform/com_ptr.h"
#include "tools/probe/device_enumerator.h"

namespace veltrano::tools {
namespace {

using platform::ComPtr;

// GetStreamCaps hands the caller a media type and its format block in task memory.
struct MediaTypeFree {
  void operator()(AM_MEDIA_TYPE* type) const {
    if (type->cbFormat) ::CoTaskMemFree(type->pbFormat);
    if (type->pUnk) type->pUnk->Release();
    ::CoTaskMemFree(type);
  }
};
using OwnedMediaType = std::unique_ptr<AM_MEDIA_TYPE, MediaTypeFree>;

VIDEOINFOHEADER* VideoInfoOf(AM_MEDIA_TYPE* type) {
  if (type->formattype != FORMAT_VideoInfo || !type->pbFormat || type->cbFormat < sizeof(VIDEOINFOHEADER)) {
    return nullptr;
  }
  return reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat);
}

// Keeps the capability's stream caps buffer at least a full VIDEO_STREAM_CONFIG_CAPS
// long, whatever size the device claims, so that reading it never runs past the end.
HRESULT GetCaps(IAMStreamConfig* config, int index, std::vector<BYTE>* caps, OwnedMediaType* type) {
  AM_MEDIA_TYPE* raw = nullptr;
  std::fill(caps->begin(), caps->end(), BYTE{0});
  const HRESULT hr = config->GetStreamCaps(index, &raw, caps->data());
  if (FAILED(hr)) return hr;
  if (!raw) return E_POINTER;
  type->reset(raw);
  return S_OK;
}

HRESULT StreamConfigOf(IPin* pin, ComPtr<IAMStreamConfig>* config, int* count, std::vector<BYTE>* caps) {
  HRESULT hr = pin->QueryInterface(IID_IAMStreamConfig, config->put_void());
  if (FAILED(hr)) return hr;
  int caps_size = 0;
  hr = (*config)->GetNumberOfCapabilities(count, &caps_size);
  if (FAILED(hr)) return hr;
  try {
    caps->assign(std::max<size_t>(sizeof(VIDEO_STREAM_CONFIG_CAPS), caps_size > 0 ? caps_size : 0), 0);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

std::wstring Size(long width, long height) { return std::to_wstring(width) + L"x" + std::to_wstring(height); }

// "YUY2 at 1920x1080, 1280x720; NV12 at ..." in the device's own order.
std::wstring Offered(const std::vector<Capability>& capabilities) {
  std::vector<GUID> subtypes;
  for (const Capability& capability : capabilities) {
    if (std::none_of(subtypes.begin(), subtypes.end(), [&](const GUID& g) { return g == capability.subtype; })) {
      subtypes.push_back(capability.subtype);
    }
  }
  std::wstring text;
  for (const GUID& subtype : subtypes) {
    if (!text.empty()) text += L"; ";
    text += SubtypeName(subtype) + L" at ";
    std::vector<std::wstring> sizes;
    for (const Capability& capability : capabilities) {
      const std::wstring size = Size(capability.width, capability.height);
      if (capability.subtype == subtype && std::find(sizes.begin(), sizes.end(), size) == sizes.end()) {
        if (!sizes.empty()) text += L", ";
        text += size;
        sizes.push_back(size);
      }
    }
  }
  return text;
}

}  // namespace

HRESULT ReadCapabilities(IBaseFilter* filter, IPin* pin, std::vector<Capability>* capabilities) {
  ComPtr<IAMStreamConfig> config;
  int count = 0;
  std::vector<BYTE> caps;
  HRESULT hr = StreamConfigOf(pin, &config, &count, &caps);
  if (FAILED(hr)) return hr;
  ComPtr<IAMVideoControl> video_control;
  if (FAILED(filter->QueryInterface(IID_IAMVideoControl, video_control.put_void()))) video_control.reset();
  for (int i = 0; i < count; ++i) {
    OwnedMediaType type;
    hr = GetCaps(config.get(), i, &caps, &type);
    if (FAILED(hr)) return hr;
    Capability capability;
    capability.index = i;
    capability.subtype = type->subtype;
    if (const VIDEOINFOHEADER* info = VideoInfoOf(type.get())) {
      capability.width = info->bmiHeader.biWidth;
      capability.height = std::labs(info->bmiHeader.biHeight);
      capability.frame_interval = info->AvgTimePerFrame;
    }
    const auto* stream_caps = reinterpret_cast<const VIDEO_STREAM_CONFIG_CAPS*>(caps.data());
    if (stream_caps->guid == FORMAT_VideoInfo) {
      capability.min_interval = stream_caps->MinFrameInterval;
      capability.max_interval = stream_caps->MaxFrameInterval;
    }
    if (video_control) {
      LONG rates = 0;
      LONGLONG* list = nullptr;
      const SIZE size = {capability.width, capability.height};
      if (SUCCEEDED(video_control->GetFrameRateList(pin, i, size, &rates, &list)) && list) {
        capability.frame_rate_list.assign(list, list + std::max<LONG>(rates, 0));
      }
      if (list) ::CoTaskMemFree(list);
    }
    capabilities->push_back(std::move(capability));
  }
  return S_OK;
}

bool ChooseCapability(const std::vector<Capability>& capabilities, const ModeRequest& request, ChosenMode* chosen,
                      std::wstring* error) {
  if (capabilities.empty()) {
    *error = L"the device reports no capabilities to choose from";
    return false;
  }
  const Capability& first = capabilities.front();
  const std::optional<VideoSubtype> subtype =
      request.subtype ? request.subtype : VideoSubtypeFromGuid(first.subtype);
  if (!subtype) {
    *error = L"the device's first capability is " + SubtypeName(first.subtype) +
             L", which the probe cannot read; choose one with --subtype";
    return false;
  }
  const long width = request.width > 0 ? request.width : first.width;
  const long height = request.height > 0 ? request.height : first.height;
  const std::wstring wanted = std::wstring(VideoSubtypeName(*subtype)) + L" " + Size(width, height);
  const auto found = std::find_if(capabilities.begin(), capabilities.end(), [&](const Capability& capability) {
    return capability.subtype == VideoSubtypeGuid(*subtype) && capability.width == width &&
           capability.height == height;
  });
  if (found == capabilities.end()) {
    *error = L"the device does not offer " + wanted + L"; it offers " + Offered(capabilities);
    return false;
  }
  REFERENCE_TIME interval = found->frame_interval;
  if (request.fps > 0.0) {
    interval = static_cast<REFERENCE_TIME>(std::llround(1e7 / request.fps));
    const bool range_known = found->min_interval > 0 && found->max_interval >= found->min_interval;
    if (range_known && (interval < found->min_interval || interval > found->max_interval)) {
      *error = L"the device does not offer " + wanted + L" at " + FormatFps(interval) + L" fps; it offers " +
               FormatFps(found->max_interval) + L" to " + FormatFps(found->min_interval) + L" fps";
      return false;
    }
  }
  chosen->index = found->index;
  chosen->subtype = *subtype;
  chosen->width = width;
  chosen->height = height;
  chosen->frame_interval = interval;
  return true;
}

HRESULT ApplyCapability(IPin* pin, const ChosenMode& chosen) {
  ComPtr<IAMStreamConfig> config;
  int count = 0;
  std::vector<BYTE> caps;
  HRESULT hr = StreamConfigOf(pin, &config, &count, &caps);
  if (FAILED(hr)) return hr;
  if (chosen.index < 0 || chosen.index >= count) return E_INVALIDARG;
  OwnedMediaType type;
  hr = GetCaps(config.get(), chosen.index, &caps, &type);
  if (FAILED(hr)) return hr;
  VIDEOINFOHEADER* info = VideoInfoOf(type.get());
  if (!info) return VFW_E_INVALIDMEDIATYPE;
  info->AvgTimePerFrame = chosen.frame_interval;
  return config->SetFormat(type.get());
}

HRESULT SelectMode(IBaseFilter* device, const ModeRequest& request, ChosenMode* chosen, std::wstring* error) {
  const auto code = [](HRESULT hr) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return std::wstring(text);
  };
  ComPtr<IPin> pin;
  HRESULT hr = FindCapturePin(device, &pin);
  if (FAILED(hr)) {
    *error = L"the device has no capture pin (" + code(hr) + L")";
    return hr;
  }
  std::vector<Capability> capabilities;
  hr = ReadCapabilities(device, pin.get(), &capabilities);
  if (FAILED(hr)) {
    *error = L"cannot read the device's capabilities through IAMStreamConfig (" + code(hr) + L")";
    return hr;
  }
  ChosenMode candidate;
  if (!ChooseCapability(capabilities, request, &candidate, error)) return S_FALSE;
  hr = ApplyCapability(pin.get(), candidate);
  if (FAILED(hr)) {
    *error = L"the device refused " + std::wstring(VideoSubtypeName(candidate.subtype)) + L" " +
             Size(candidate.width, candidate.height) + L" at " + FormatFps(candidate.frame_interval) +
             L" fps in IAMStreamConfig::SetFormat (" + code(hr) + L")";
    return S_FALSE;
  }
  *chosen = candidate;
  return S_OK;
}

std::wstring SubtypeName(const GUID& subtype) {
  if (const std::optional<VideoSubtype> known = VideoSubtypeFromGuid(subtype)) return VideoSubtypeName(*known);
  // FOURCC subtypes are {XXXXXXXX-0000-0010-8000-00AA00389B71}.
  static const GUID kFourccBase = {0, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  GUID base = subtype;
  base.Data1 = 0;
  if (base == kFourccBase) {
    std::wstring name;
    for (int i = 0; i < 4; ++i) {
      const wchar_t c = static_cast<wchar_t>((subtype.Data1 >> (8 * i)) & 0xFF);
      name.push_back(c >= 32 && c < 127 ? c : L'?');
    }
    return name;
  }
  wchar_t text[40] = {};
  ::StringFromGUID2(subtype, text, 40);
  return text;
}

std::wstring FormatFps(REFERENCE_TIME frame_interval) {
  if (frame_interval <= 0) return L"?";
  wchar_t text[32];
  swprintf(text, 32, L"%.2f", 1e7 / static_cast<double>(frame_interval));
  std::wstring fps = text;
  while (fps.back() == L'0') fps.pop_back();
  if (fps.back() == L'.') fps.pop_back();
  return fps;
}

std::wstring FormatCapability(const Capability& capability) {
  wchar_t head[96];
  swprintf(head, 96, L"#%-3d %-6ls %-10ls", capability.index, SubtypeName(capability.subtype).c_str(),
           Size(capability.width, capability.height).c_str());
  std::wstring line = head;
  line += L" " + FormatFps(capability.frame_interval) + L" fps";
  if (capability.min_interval > 0 && capability.max_interval > 0) {
    line += L"; " + FormatFps(capability.max_interval) + L" to " + FormatFps(capability.min_interval) + L" fps";
  }
  for (size_t i = 0; i < capability.frame_rate_list.size(); ++i) {
    line += (i == 0 ? L"; frame-rate list " : L", ") + FormatFps(capability.frame_rate_list[i]);
  }
  return line;
}

}  // namespace veltrano::tools
