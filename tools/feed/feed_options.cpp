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

// "WxH" (or "WXH") within the sizes the camera takes from a host: an even width
// of 2 to 3840 and a height of 2 to 2160.
bool ParseSize(const std::wstring& text, FrameSize* size) {
  const size_t cross = text.find_first_of(L"xX");
  if (cross == std::wstring::npos) return false;
  auto number = [](const std::wstring& digits, int* value) {
    if (digits.empty() || digits.size() > 4 || digits.find_first_not_of(L"0123456789") != std::wstring::npos) {
      return false;
    }
    *value = std::stoi(digits);
    return true;
  };
  FrameSize parsed;
  if (!number(text.substr(0, cross), &parsed.width) || !number(text.substr(cross + 1), &parsed.height)) return false;
  if (parsed.width < 2 || parsed.width > 3840 || parsed.width % 2 != 0) return false;
  if (parsed.height < 2 || parsed.height > 2160) return false;
  *size = parsed;
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
    const bool takes_value = takes_file || name == L"--fps" || name == L"--seconds" || name == L"--size";
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
    } else if (name == L"--size") {
      if (!ParseSize(value, &options->size)) {
        *error = L"--size wants WIDTHxHEIGHT with an even width of 2 to 3840 and a height of 2 to 2160";
        return false;
      }
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
  return L"veltrano-feed: sends YUY2 frames to the Veltrano Virtual Camera.\n"
         L"\n"
         L"  --pattern         moving test pattern with frame counter and send time (default)\n"
         L"  --image FILE      a still picture (PNG, JPEG, BMP, ...); other sizes are scaled\n"
         L"                    to fit and letterboxed\n"
         L"  --yuy2 FILE       raw packed YUY2 frames of the frame size, played in a loop\n"
         L"  --y4m FILE        a YUV4MPEG2 file of the frame size (4:2:0, 4:2:2, 4:4:4 or\n"
         L"                    mono), looped\n"
         L"  --size WxH        frame size (default 1280x720): even width 2 to 3840, height\n"
         L"                    2 to 2160; the pattern is drawn and the image fitted at it\n"
         L"  --fps RATE        frames per second, fractions allowed (default 30, or the Y4M rate)\n"
         L"  --seconds N       stop after N seconds (default: run until Ctrl+C)\n"
         L"\n"
         L"Exit codes: 0 done; 1 bad option; 2 unreadable or unusable file;\n"
         L"            3 another host is already sending to the camera; 4 other failure.\n";
}

}  // namespace veltrano::tools
