// Command line of veltrano-probe and its documented exit codes. Pure, main thread.
#pragma once

#include <optional>
#include <string>

#include "tools/common/video_subtype.h"

namespace veltrano::tools {

enum ProbeExitCode : int {
  kProbeExitOk = 0,
  kProbeExitBadOption = 1,
  kProbeExitNoDevice = 2,      // no video input device of that name
  kProbeExitGraphFailed = 3,   // the graph could not be built or run, or the device cannot be configured
  kProbeExitNoFrames = 4,      // the graph ran but delivered no frame, or aborted
  kProbeExitOutputFailed = 5,  // a snapshot, sheet, CSV or report could not be written
  kProbeExitNoMode = 6,        // the device does not offer the asked size, subtype or rate
};

//! How the device's pin reaches the sample grabber.
enum class ConnectMode {
  kRender,   // ICaptureGraphBuilder2::RenderStream with no category, the pin as source
  kDirect,   // IGraphBuilder::ConnectDirect pin to grabber
  kCapture,  // RenderStream with PIN_CATEGORY_CAPTURE (inserts a Smart Tee)
};

//! The capture mode asked for with --size, --subtype and --fps; what is not given
//! stays as the device's default capability has it.
struct ModeRequest {
  int width = 0;  // 0 with height 0: not given
  int height = 0;
  std::optional<VideoSubtype> subtype;
  double fps = 0.0;  // 0: not given

  bool any() const { return width > 0 || subtype.has_value() || fps > 0.0; }
};

struct ProbeOptions {
  bool list = false;
  bool help = false;
  std::wstring device = L"Veltrano Virtual Camera";
  ConnectMode connect = ConnectMode::kRender;
  ModeRequest mode;
  double seconds = 5.0;
  std::wstring out_dir = L".";
  std::wstring label = L"probe";
  int sheet_frames = 9;
  bool no_images = false;  // timings only: no snapshot copies (benchmark runs)
};

bool ParseProbeOptions(int argc, const wchar_t* const* argv, ProbeOptions* options, std::wstring* error);
const wchar_t* ProbeUsage();

}  // namespace veltrano::tools
