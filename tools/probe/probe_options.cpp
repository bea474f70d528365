#include "tools/probe/probe_options.h"

#include <cmath>
#include <cwchar>

namespace veltrano::tools {
namespace {

// "WxH" (or "WXH") with whole numbers from 1 to 16384.
bool ParseSize(const std::wstring& text, int* width, int* height) {
  const size_t cross = text.find_first_of(L"xX");
  if (cross == std::wstring::npos) return false;
  auto number = [](const std::wstring& digits, int* value) {
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of(L"0123456789") != std::wstring::npos) {
      return false;
    }
    *value = std::stoi(digits);
    return *value >= 1 && *value <= 16384;
  };
  return number(text.substr(0, cross), width) && number(text.substr(cross + 1), height);
}

// A plain decimal number ("15", "29.97"): digits, and at most one point with digits
// on both sides. wcstod alone also reads "0x3C", "1e1", " 30" and "+30".
bool IsPlainDecimal(const std::wstring& text) {
  const auto digits = [](const std::wstring& part) {
    return !part.empty() && part.find_first_not_of(L"0123456789") == std::wstring::npos;
  };
  const size_t point = text.find(L'.');
  if (point == std::wstring::npos) return digits(text);
  return digits(text.substr(0, point)) && digits(text.substr(point + 1));
}

}  // namespace

bool ParseProbeOptions(int argc, const wchar_t* const* argv, ProbeOptions* options, std::wstring* error) {
  *options = ProbeOptions{};
  for (int i = 1; i < argc; ++i) {
    const std::wstring name = argv[i];
    if (name == L"--list") {
      options->list = true;
      continue;
    }
    if (name == L"--help" || name == L"-h") {
      options->help = true;
      continue;
    }
    if (name == L"--no-images") {
      options->no_images = true;
      continue;
    }
    if (name != L"--device" && name != L"--connect" && name != L"--seconds" && name != L"--out" &&
        name != L"--label" && name != L"--size" && name != L"--subtype" && name != L"--fps") {
      *error = L"unknown option " + name;
      return false;
    }
    if (i + 1 >= argc || argv[i + 1][0] == L'\0') {
      *error = name + L" needs a value";
      return false;
    }
    const std::wstring value = argv[++i];
    if (name == L"--device") {
      options->device = value;
    } else if (name == L"--out") {
      options->out_dir = value;
    } else if (name == L"--label") {
      if (value.find_first_of(L"\\/:*?\"<>|") != std::wstring::npos) {
        *error = L"--label is part of file names and cannot hold \\ / : * ? \" < > |";
        return false;
      }
      options->label = value;
    } else if (name == L"--size") {
      if (!ParseSize(value, &options->mode.width, &options->mode.height)) {
        *error = L"--size wants WIDTHxHEIGHT, for example 640x480";
        return false;
      }
    } else if (name == L"--subtype") {
      options->mode.subtype = ParseVideoSubtype(value);
      if (!options->mode.subtype) {
        *error = L"--subtype is YUY2, NV12, I420, RGB24 or RGB32";
        return false;
      }
    } else if (name == L"--fps") {
      const double fps = IsPlainDecimal(value) ? std::wcstod(value.c_str(), nullptr) : 0.0;
      if (fps < 1.0 || fps > 60.0) {
        *error = L"--fps wants a decimal number from 1 to 60, for example 15 or 29.97";
        return false;
      }
      options->mode.fps = fps;
    } else if (name == L"--connect") {
      if (value == L"render") {
        options->connect = ConnectMode::kRender;
      } else if (value == L"direct") {
        options->connect = ConnectMode::kDirect;
      } else if (value == L"capture") {
        options->connect = ConnectMode::kCapture;
      } else {
        *error = L"--connect is render, direct or capture";
        return false;
      }
    } else {
      wchar_t* end = nullptr;
      const double seconds = std::wcstod(value.c_str(), &end);
      if (end != value.c_str() + value.size() || !std::isfinite(seconds) || seconds <= 0.0 || seconds > 86400.0) {
        *error = L"--seconds wants a positive duration up to 86400, for example 5 or 2.5";
        return false;
      }
      options->seconds = seconds;
    }
  }
  return true;
}

const wchar_t* ProbeUsage() {
  return L"veltrano-probe: opens a video capture device through DirectShow as capture\n"
         L"applications do, streams, and measures what arrives.\n"
         L"\n"
         L"  --list               list video input devices, their capabilities and frame rates\n"
         L"  --device NAME        device to open (default \"Veltrano Virtual Camera\")\n"
         L"  --size WxH           capture at this size (default: the device's first capability)\n"
         L"  --subtype NAME       YUY2, NV12, I420, RGB24 or RGB32 (default: as the first capability)\n"
         L"  --fps RATE           frames per second, a decimal number from 1 to 60 such as 15\n"
         L"                       or 29.97 (default: the capability's own); any of the three\n"
         L"                       sets the format with IAMStreamConfig::SetFormat before\n"
         L"                       connecting\n"
         L"  --connect MODE       render: RenderStream without category (default; what works\n"
         L"                       in Wine), direct: ConnectDirect, capture: RenderStream with\n"
         L"                       PIN_CATEGORY_CAPTURE (Smart Tee; stalls in Wine 8)\n"
         L"  --seconds N          streaming time (default 5)\n"
         L"  --out DIR            output folder (default .)\n"
         L"  --label NAME         output file prefix (default probe): NAME-snapshot.png,\n"
         L"                       NAME-contact-sheet.png, NAME-timings.csv, NAME-report.txt\n"
         L"  --no-images          timings only, no snapshot copies\n"
         L"\n"
         L"Exit codes: 0 done; 1 bad option; 2 device not found; 3 graph failed (also when\n"
         L"            the device has no IAMStreamConfig to choose a mode through);\n"
         L"            4 no frames delivered or stream aborted; 5 outputs not written;\n"
         L"            6 the device does not offer the asked size, subtype or rate.\n";
}

}  // namespace veltrano::tools
