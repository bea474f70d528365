// veltrano-feed: the reference host. It reaches the camera only through the public
// header VeltranoVirtualCamera.h and the module's import library, as any host
// application would. One thread creates the producer, sends every frame and closes
// the producer; Ctrl+C only signals an event that the pacing wait watches.
#include <windows.h>

#include <VeltranoVirtualCamera.h>
#include <mmsystem.h>
#include <shellapi.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/task_mem.h"
#include "platform/unique_handle.h"
#include "tools/common/performance_clock.h"
#include "tools/feed/feed_options.h"
#include "tools/feed/still_image_source.h"
#include "tools/feed/test_pattern_source.h"
#include "tools/feed/y4m_file_source.h"
#include "tools/feed/yuy2_file_source.h"

namespace veltrano::tools {
namespace {

HANDLE g_stop_event = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
    ::SetEvent(g_stop_event);
    return TRUE;
  }
  return FALSE;
}

// Owns the producer on the thread that created it, so that the single-producer lock
// is released by the same thread on every way out.
class ProducerOwner {
 public:
  explicit ProducerOwner(VeltranoVirtualCameraProducer* producer) : producer_(producer) {}
  ProducerOwner(const ProducerOwner&) = delete;
  ProducerOwner& operator=(const ProducerOwner&) = delete;
  ~ProducerOwner() { VeltranoVirtualCamera_CloseProducer(producer_); }
  VeltranoVirtualCameraProducer* get() const { return producer_; }

 private:
  VeltranoVirtualCameraProducer* producer_;
};

std::unique_ptr<FrameSource> OpenSource(const FeedOptions& options, std::wstring* note, std::wstring* error) {
  switch (options.source) {
    case FeedSourceKind::kImage:
      return StillImageSource::Open(options.path, note, error, options.size);
    case FeedSourceKind::kYuy2:
      return Yuy2FileSource::Open(options.path, note, error, options.size);
    case FeedSourceKind::kY4m:
      return Y4mFileSource::Open(options.path, note, error, options.size);
    case FeedSourceKind::kPattern:
      break;
  }
  *note = L"test pattern " + options.size.text() + L" with frame counter and send time";
  return std::make_unique<TestPatternSource>(options.size.width, options.size.height);
}

int RunFeed(const FeedOptions& options) {
  platform::ScopedComInit com(COINIT_MULTITHREADED);
  std::wstring note;
  std::wstring error;
  std::unique_ptr<FrameSource> source = OpenSource(options, &note, &error);
  if (!source) {
    fwprintf(stderr, L"veltrano-feed: %ls\n", error.c_str());
    return kFeedExitBadFile;
  }
  double fps = options.fps;
  if (!options.fps_given && source->NativeFps() > 0.0) fps = source->NativeFps();

  VeltranoVirtualCameraProducer* created =
      VeltranoVirtualCamera_CreateProducer(options.size.width, options.size.height, 2 * options.size.width,
                                           ::GetCurrentProcessId());
  if (!created) {
    uint64_t tag = 0;
    if (VeltranoVirtualCamera_GetCurrentFormat(nullptr, nullptr, nullptr, &tag) == 1) {
      fwprintf(stderr, L"veltrano-feed: another host (tag %llu) is already sending to the camera\n",
               static_cast<unsigned long long>(tag));
    } else {
      fwprintf(stderr, L"veltrano-feed: another host holds the camera (or the system refused the producer)\n");
    }
    return kFeedExitProducerBusy;
  }
  ProducerOwner producer(created);
  wchar_t duration[48] = L", Ctrl+C to stop";
  if (options.seconds > 0) swprintf(duration, 48, L", %.1f s", options.seconds);
  wprintf(L"veltrano-feed: %ls, %.3f fps%ls\n", note.c_str(), fps, duration);
  fflush(stdout);

  const uint32_t frame_bytes = options.size.bytes();
  std::vector<uint8_t> frame(frame_bytes);
  const bool console = ::GetFileType(::GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR;
  const double period = 1e7 / fps;  // 100 ns units
  const uint64_t start = PerformanceTime100ns();
  const uint64_t end = options.seconds > 0 ? start + static_cast<uint64_t>(options.seconds * 1e7) : UINT64_MAX;
  uint64_t schedule_start = start;
  uint64_t schedule_index = 0;
  uint64_t sent = 0;
  uint64_t next_status = start + (console ? 5000000 : 50000000);
  uint64_t window_start = start;
  uint64_t window_sent = 0;
  double recent_rate = 0.0;
  int result = kFeedExitOk;

  for (;;) {
    // Frame n is due at schedule_start + n * period; a stall restarts the schedule
    // instead of sending a burst of late frames.
    const uint64_t due = schedule_start + static_cast<uint64_t>(schedule_index * period);
    uint64_t now = PerformanceTime100ns();
    if (now >= end) break;
    if (now < due) {
      const DWORD wait_ms = static_cast<DWORD>((due - now) / 10000);
      if (wait_ms > 0 && ::WaitForSingleObject(g_stop_event, wait_ms) == WAIT_OBJECT_0) break;
      continue;
    }
    if (now > due + static_cast<uint64_t>(period)) {
      schedule_start = now;
      schedule_index = 0;
    }
    if (::WaitForSingleObject(g_stop_event, 0) == WAIT_OBJECT_0) break;
    if (!source->Render(sent, frame.data(), &error)) {
      fwprintf(stderr, L"\nveltrano-feed: %ls\n", error.c_str());
      result = kFeedExitBadFile;
      break;
    }
    const uint64_t send_time = PerformanceTime100ns();
    source->Stamp(sent, send_time, frame.data());
    if (!VeltranoVirtualCamera_WriteFrame(producer.get(), frame.data(), frame_bytes, send_time)) {
      fwprintf(stderr, L"\nveltrano-feed: the camera module refused frame %llu\n", static_cast<unsigned long long>(sent));
      result = kFeedExitFailure;
      break;
    }
    ++sent;
    ++schedule_index;
    now = PerformanceTime100ns();
    if (now >= next_status) {
      recent_rate = (sent - window_sent) * 1e7 / static_cast<double>(now - window_start);
      window_start = now;
      window_sent = sent;
      next_status = now + (console ? 5000000 : 50000000);
      wprintf(L"%lssent %llu frames, %.2f fps, %.1f s%ls", console ? L"\r" : L"", static_cast<unsigned long long>(sent),
              recent_rate, (now - start) / 1e7, console ? L"   " : L"\n");
      fflush(stdout);
    }
  }
  const double elapsed = (PerformanceTime100ns() - start) / 1e7;
  wprintf(L"%lsveltrano-feed: sent %llu frames in %.2f s (%.2f fps); closing the producer\n", console ? L"\n" : L"",
          static_cast<unsigned long long>(sent), elapsed, elapsed > 0 ? sent / elapsed : 0.0);
  return result;
}

}  // namespace
}  // namespace veltrano::tools

int main() {
  using namespace veltrano::tools;
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (!argv) return kFeedExitFailure;
  FeedOptions options;
  std::wstring error;
  const bool parsed = ParseFeedOptions(argc, argv, &options, &error);
  ::LocalFree(argv);
  if (!parsed) {
    fwprintf(stderr, L"veltrano-feed: %ls\n\n%ls", error.c_str(), FeedUsage());
    return kFeedExitBadOption;
  }
  if (options.help) {
    wprintf(L"%ls", FeedUsage());
    return kFeedExitOk;
  }
  veltrano::platform::UniqueHandle stop_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stop_event) return kFeedExitFailure;
  g_stop_event = stop_event.get();
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  ::timeBeginPeriod(1);
  const int result = RunFeed(options);
  ::timeEndPeriod(1);
  ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  return result;
}
