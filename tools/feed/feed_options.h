// Command line of veltrano-feed and its documented exit codes. Parsing is pure and
// runs on the main thread before anything else.
#pragma once

#include <string>

#include "tools/feed/frame_source.h"

namespace veltrano::tools {

//! Exit codes of veltrano-feed (also listed in its --help and in the README).
enum FeedExitCode : int {
  kFeedExitOk = 0,
  kFeedExitBadOption = 1,      // unknown option, missing or invalid value
  kFeedExitBadFile = 2,        // file missing, unreadable or not in a usable format
  kFeedExitProducerBusy = 3,   // another producer (host) owns the camera
  kFeedExitFailure = 4,        // anything else: COM, the module refusing a frame
};

enum class FeedSourceKind { kPattern, kImage, kYuy2, kY4m };

struct FeedOptions {
  FeedSourceKind source = FeedSourceKind::kPattern;
  std::wstring path;          // file of --image, --yuy2 or --y4m
  FrameSize size;             // --size: even width 2..3840, height 2..2160
  double fps = 30.0;
  bool fps_given = false;     // a Y4M file's own rate applies unless --fps is given
  double seconds = 0.0;       // 0: until Ctrl+C
  bool help = false;
};

//! Parses argv[1..]. On failure returns false with a one-line reason in `error`.
bool ParseFeedOptions(int argc, const wchar_t* const* argv, FeedOptions* options, std::wstring* error);

//! The --help text.
const wchar_t* FeedUsage();

}  // namespace veltrano::tools
