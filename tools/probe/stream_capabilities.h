// The capture pin's capabilities as capture applications read them
// (IAMStreamConfig::GetStreamCaps with VIDEO_STREAM_CONFIG_CAPS, and the filter's
// IAMVideoControl frame-rate lists), the choice of one for a --size / --subtype /
// --fps request, and setting it with SetFormat before the pin connects. Main thread
// with COM initialised; ChooseCapability and the formatting are pure.
#pragma once

#include <dshow.h>

#include <string>
#include <vector>

#include "tools/probe/probe_options.h"

namespace veltrano::tools {

struct Capability {
  int index = 0;
  GUID subtype = GUID_NULL;
  long width = 0;
  long height = 0;                        // rows (a top-down RGB type's negative biHeight made positive)
  REFERENCE_TIME frame_interval = 0;      // the capability type's AvgTimePerFrame
  REFERENCE_TIME min_interval = 0;        // VIDEO_STREAM_CONFIG_CAPS; 0 when not reported
  REFERENCE_TIME max_interval = 0;
  std::vector<LONGLONG> frame_rate_list;  // IAMVideoControl::GetFrameRateList, when there is one
};

//! Reads every capability of `pin`, with the frame-rate lists where `filter` has
//! IAMVideoControl (a failing list is left empty, not an error).
HRESULT ReadCapabilities(IBaseFilter* filter, IPin* pin, std::vector<Capability>* capabilities);

//! A capability with the frame interval to ask for.
struct ChosenMode {
  int index = 0;
  VideoSubtype subtype = VideoSubtype::kYuy2;
  long width = 0;
  long height = 0;
  REFERENCE_TIME frame_interval = 0;
};

//! The first capability of the asked subtype and size (each, when not asked, as the
//! first capability has it) at the asked rate (10^7 / fps, rounded; when not asked
//! the capability's own). False with a sentence naming what was asked and what the
//! device offers when no capability fits.
bool ChooseCapability(const std::vector<Capability>& capabilities, const ModeRequest& request, ChosenMode* chosen,
                      std::wstring* error);

//! Sets `chosen` on the pin: the capability's own media type with AvgTimePerFrame
//! replaced, through IAMStreamConfig::SetFormat.
HRESULT ApplyCapability(IPin* pin, const ChosenMode& chosen);

//! Reads the capabilities of `device`'s capture pin, chooses the one `request` asks
//! for and sets it. A failure when the device cannot be configured at all (no capture
//! pin, no IAMStreamConfig, capabilities that cannot be read); S_FALSE when it does
//! not offer the mode or refuses it. `error` says why whenever the answer is not S_OK.
HRESULT SelectMode(IBaseFilter* device, const ModeRequest& request, ChosenMode* chosen, std::wstring* error);

//! "YUY2", "RGB24" ... for subtypes the tools know, the FOURCC of other FOURCC
//! subtypes, else the GUID.
std::wstring SubtypeName(const GUID& subtype);

//! A rate for people: "30", "29.97", "0.5"; at most two decimals, no trailing zeros.
std::wstring FormatFps(REFERENCE_TIME frame_interval);

//! One --list line: "#0   YUY2   1280x720   30 fps; 1 to 60 fps; frame-rate list 60, 30, ...".
std::wstring FormatCapability(const Capability& capability);

}  // namespace veltrano::tools
