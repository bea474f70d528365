#include "tools/feed/feed_options.h"

#include <cmath>
#include <cwchar>

namespace veltrano::tools {
namespace {

// A whole-string decimal number; "30x", "" and "nan" are refused.
bool ParseNumber(const std::wstring& text, double* value) {
  if (text.empty()) return false;
  wchar_t* end = nullptr;
  const double parsed = std::wcstod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(parsed)) return false;
  *value = parsed;
  return true;
}

}  // namespace

bool ParseFeedOptions(int argc, const wchar_t* const* argv, FeedOptions* options, std::wstring* error) {
  *options = FeedOptions{};
  bool source_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring name = argv[i];
    if (name == L"--help" || name == L"-h") {
      options->help = true;
      continue;
    }
    const bool takes_file = name == L"--image" || name == L"--yuy2" || name == L"--y4m";
    const bool takes_value = takes_file || name == L"--fps" || name == L"--seconds";
    if (name == L"--pattern" || takes_file) {
      if (source_given) {
        *error = L"choose one source: --pattern, --image, --yuy2 or --y4m";
        return false;
      }
      source_given = true;
    }
    if (name == L"--pattern") {
      options->source = FeedSourceKind::kPattern;
      continue;
    }
    if (!takes_value) {
      *error = L"unknown option " + name;
      return false;
    }
    if (i + 1 >= argc) {
      *error = name + L" needs a value";
      return false;
    }
    const std::wstring value = argv[++i];
    if (takes_file) {
      if (value.empty()) {
        *error = name + L" needs a file name";
        return false;
      }
      options->path = value;
      options->source = name == L"--image" ? FeedSourceKind::kImage
                        : name == L"--yuy2" ? FeedSourceKind::kYuy2
                                            : FeedSourceKind::kY4m;
    } else if (name == L"--fps") {
      if (!ParseNumber(value, &options->fps) || options->fps < 0.1 || options->fps > 240.0) {
        *error = L"--fps wants a rate from 0.1 to 240, for example 30 or 29.97";
        return false;
      }
      options->fps_given = true;
    } else {
      if (!ParseNumber(value, &options->seconds) || options->seconds <= 0.0 || options->seconds > 1e7) {
        *error = L"--seconds wants a positive duration, for example 10 or 2.5";
        return false;
      }
    }
  }
  return true;
}

const wchar_t* FeedUsage() {
  return L"veltrano-feed: sends frames to the Veltrano Virtual Camera (1280x720 YUY2).\n"
         L"\n"
         L"  --pattern         moving test pattern with frame counter and send time (default)\n"
         L"  --image FILE      a still picture (PNG, JPEG, BMP, ...); other sizes are scaled\n"
         L"                    to fit and letterboxed\n"
         L"  --yuy2 FILE       raw packed YUY2 frames of 1280x720, played in a loop\n"
         L"  --y4m FILE        a 1280x720 YUV4MPEG2 file (4:2:0, 4:2:2, 4:4:4 or mono), looped\n"
         L"  --fps RATE        frames per second, fractions allowed (default 30, or the Y4M rate)\n"
         L"  --seconds N       stop after N seconds (default: run until Ctrl+C)\n"
         L"\n"
         L"Exit codes: 0 done; 1 bad option; 2 unreadable or unusable file;\n"
         L"            3 another host is already sending to the camera; 4 other failure.\n";
}

}  // namespace veltrano::tools
