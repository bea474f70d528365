// veltrano-probe: a capture client that opens a video input device exactly as
// capture applications do (system device enumerator, moniker, capture graph builder)
// and measures what arrives. The main thread builds, runs and stops the graph; the
// grabber callback runs on the device's streaming thread.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/task_mem.h"
#include "platform/unique_handle.h"
#include "tools/common/performance_clock.h"
#include "tools/probe/capture_graph.h"
#include "tools/probe/contact_sheet.h"
#include "tools/probe/device_enumerator.h"
#include "tools/probe/frame_recorder.h"
#include "tools/probe/picture_check.h"
#include "tools/probe/probe_options.h"
#include "tools/probe/stream_capabilities.h"
#include "tools/probe/timing_summary.h"

namespace veltrano::tools {
namespace {

using platform::ComPtr;

constexpr DWORD kStopTimeoutMs = 15000;

std::string Narrow(const std::wstring& text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(size > 0 ? static_cast<size_t>(size - 1) : 0, '\0');
  if (size > 1) ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, narrow.data(), size, nullptr, nullptr);
  return narrow;
}

double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
  auto seconds = [](const FILETIME& time) {
    return ((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

const wchar_t* ModeName(ConnectMode mode) {
  switch (mode) {
    case ConnectMode::kDirect:
      return L"direct";
    case ConnectMode::kCapture:
      return L"capture";
    case ConnectMode::kRender:
      break;
  }
  return L"render";
}

int ListDevices() {
  std::vector<DeviceInfo> devices;
  const HRESULT hr = ListVideoDevices(&devices);
  if (FAILED(hr)) {
    fwprintf(stderr, L"veltrano-probe: the system device enumerator failed (0x%08lX)\n", static_cast<unsigned long>(hr));
    return kProbeExitGraphFailed;
  }
  if (devices.empty()) {
    wprintf(L"No video input devices.\n");
    return kProbeExitOk;
  }
  for (const DeviceInfo& device : devices) {
    wprintf(L"%ls\n", device.name.empty() ? L"(no FriendlyName)" : device.name.c_str());
    if (!device.problem.empty()) wprintf(L"    %ls\n", device.problem.c_str());
    for (const Capability& capability : device.capabilities) {
      wprintf(L"    %ls\n", FormatCapability(capability).c_str());
    }
  }
  return kProbeExitOk;
}

// IMediaControl::Stop waits for the streaming thread; a device that never returns
// from its worker would hang the probe, so Stop runs on a helper thread and the
// main thread waits a bounded time.
DWORD WINAPI StopGraphThread(void* graph) {
  platform::ScopedComInit com(COINIT_MULTITHREADED);
  static_cast<CaptureGraph*>(graph)->Stop();
  return 0;
}

bool StopBounded(CaptureGraph* graph) {
  platform::UniqueHandle thread(::CreateThread(nullptr, 0, StopGraphThread, graph, 0, nullptr));
  if (!thread) return SUCCEEDED(graph->Stop());
  return ::WaitForSingleObject(thread.get(), kStopTimeoutMs) == WAIT_OBJECT_0;
}

bool WriteText(const std::wstring& path, const std::string& text) {
  std::ofstream file(path.c_str(), std::ios::binary | std::ios::trunc);
  file << text;
  return static_cast<bool>(file);
}

int Probe(const ProbeOptions& options) {
  ComPtr<IBaseFilter> device;
  HRESULT hr = BindVideoDevice(options.device, &device);
  if (FAILED(hr)) {
    fwprintf(stderr, L"veltrano-probe: cannot open \"%ls\" (0x%08lX)\n", options.device.c_str(),
             static_cast<unsigned long>(hr));
    return kProbeExitNoDevice;
  }
  if (!device) {
    fwprintf(stderr, L"veltrano-probe: no video input device named \"%ls\"; --list shows the devices\n",
             options.device.c_str());
    return kProbeExitNoDevice;
  }
  // A mode asked for is set on the pin before anything connects it, as capture
  // applications do; the grabber then takes that subtype only.
  ChosenMode chosen;
  GUID grabber_subtype = MEDIASUBTYPE_YUY2;
  if (options.mode.any()) {
    std::wstring error;
    hr = SelectMode(device.get(), options.mode, &chosen, &error);
    if (hr != S_OK) {
      fwprintf(stderr, L"veltrano-probe: %ls\n", error.c_str());
      // A device that cannot be configured at all is a graph failure; one that does
      // not offer or refuses the mode asked for is not.
      return FAILED(hr) ? kProbeExitGraphFailed : kProbeExitNoMode;
    }
    grabber_subtype = VideoSubtypeGuid(chosen.subtype);
  }
  CaptureGraph graph;
  std::wstring step;
  hr = graph.Build(device.get(), options.connect, grabber_subtype, &step);
  long width = 0;
  long height = 0;
  REFERENCE_TIME interval = 0;
  GUID subtype = GUID_NULL;
  if (SUCCEEDED(hr)) {
    step = L"reading the connected format";
    hr = graph.ConnectedFormat(&width, &height, &interval, &subtype);
  }
  if (FAILED(hr)) {
    fwprintf(stderr, L"veltrano-probe: building the capture graph failed at %ls (0x%08lX)\n", step.c_str(),
             static_cast<unsigned long>(hr));
    return kProbeExitGraphFailed;
  }
  const std::optional<VideoSubtype> connected_subtype = VideoSubtypeFromGuid(subtype);
  if (!connected_subtype) {
    fwprintf(stderr, L"veltrano-probe: the device connected with %ls, a subtype the probe cannot read\n",
             SubtypeName(subtype).c_str());
    return kProbeExitGraphFailed;
  }
  // A positive biHeight makes RGB bottom-up; YUV frames are top-down whatever the sign.
  const FrameLayout layout{*connected_subtype, static_cast<int>(width), static_cast<int>(height < 0 ? -height : height),
                           IsRgb(*connected_subtype) && height > 0};
  if (width <= 0 || width > 8192 || layout.height == 0 || layout.height > 8192 || FrameBytes(layout) == 0) {
    fwprintf(stderr, L"veltrano-probe: the device connected with an unusable size %ldx%ld\n", width, height);
    return kProbeExitGraphFailed;
  }
  if (options.mode.any() && (*connected_subtype != chosen.subtype || width != chosen.width ||
                             layout.height != chosen.height || interval != chosen.frame_interval)) {
    fwprintf(stderr,
             L"veltrano-probe: the device accepted %ls %ldx%ld at %ls fps but connected %ls %ldx%ld at %ls fps\n",
             VideoSubtypeName(chosen.subtype), chosen.width, chosen.height, FormatFps(chosen.frame_interval).c_str(),
             VideoSubtypeName(*connected_subtype), width, static_cast<long>(layout.height), FormatFps(interval).c_str());
    return kProbeExitGraphFailed;
  }
  const int sheet_frames = options.no_images ? 0 : options.sheet_frames;
  const double nominal_fps = interval > 0 ? 1e7 / interval : 30.0;
  const size_t expected = FrameRecordCapacity(options.seconds, nominal_fps);
  ComPtr<CFrameRecorder> recorder;
  recorder.attach(CFrameRecorder::Create(layout, expected, sheet_frames));
  if (!recorder) {
    fwprintf(stderr, L"veltrano-probe: out of memory\n");
    return kProbeExitGraphFailed;
  }
  hr = graph.SetCallback(recorder.get());
  if (FAILED(hr)) {
    fwprintf(stderr, L"veltrano-probe: ISampleGrabber::SetCallback failed (0x%08lX)\n", static_cast<unsigned long>(hr));
    return kProbeExitGraphFailed;
  }

  const bool console = ::GetFileType(::GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR;
  std::string header;
  header += "device: " + Narrow(options.device) + "\n";
  header += "connect: " + Narrow(ModeName(options.connect)) + "\n";
  char line[160];
  if (options.mode.any()) {
    std::snprintf(line, sizeof line, "requested: capability #%d at AvgTimePerFrame %lld\n", chosen.index,
                  static_cast<long long>(chosen.frame_interval));
    header += line;
  }
  std::snprintf(line, sizeof line, "format: %s %ldx%ld, %.2f fps (AvgTimePerFrame %lld)\n",
                Narrow(SubtypeName(subtype)).c_str(), width, static_cast<long>(layout.height), nominal_fps,
                static_cast<long long>(interval));
  header += line;
  if (console) wprintf(L"%hs", header.c_str());

  const double cpu_before = ProcessCpuSeconds();
  const uint64_t run_time = PerformanceTime100ns();
  hr = graph.Run();
  if (FAILED(hr)) {
    fwprintf(stderr, L"veltrano-probe: IMediaControl::Run failed (0x%08lX)\n", static_cast<unsigned long>(hr));
    StopBounded(&graph);
    return kProbeExitGraphFailed;
  }
  const uint64_t duration = static_cast<uint64_t>(options.seconds * 1e7);
  int snapshots_requested = 0;
  long abort_code = 0;
  uint64_t next_progress = run_time;
  for (;;) {
    const uint64_t now = PerformanceTime100ns();
    if (now - run_time >= duration) break;
    // Snapshot k is taken at (k + 0.5) / n of the run, so the sheet spans all of it.
    if (snapshots_requested < sheet_frames &&
        now - run_time >= duration * (2 * snapshots_requested + 1) / (2 * static_cast<uint64_t>(sheet_frames))) {
      recorder->RequestSnapshot();
      ++snapshots_requested;
    }
    if (console && now >= next_progress) {
      wprintf(L"\r  streaming %.1f / %.1f s, %zu frames   ", (now - run_time) / 1e7, options.seconds,
              recorder->FrameCount());
      fflush(stdout);
      next_progress = now + 5000000;
    }
    long code = 0;
    if (graph.NextEvent(50, &code) == S_OK &&
        (code == EC_ERRORABORT || code == EC_STREAM_ERROR_STOPPED || code == EC_USERABORT)) {
      abort_code = code;
      break;
    }
  }
  const uint64_t stop_time = PerformanceTime100ns();
  if (!StopBounded(&graph)) {
    fwprintf(stderr, L"\nveltrano-probe: IMediaControl::Stop did not return within %lu s (%zu frames had arrived)\n",
             kStopTimeoutMs / 1000, recorder->FrameCount());
    ::ExitProcess(kProbeExitNoFrames);  // the streaming thread is stuck; nothing to clean up safely
  }
  const double cpu_seconds = ProcessCpuSeconds() - cpu_before;
  if (console) wprintf(L"\n");

  const std::vector<FrameRecord> records = recorder->Records();
  const TimingSummary summary =
      SummariseTimings(records, recorder->FrameCount(), run_time, stop_time, interval, cpu_seconds);
  std::string report = header + FormatTimingSummary(summary);
  if (abort_code) report += "stream aborted: event " + std::to_string(abort_code) + "\n";

  int result = kProbeExitOk;
  ::CreateDirectoryW(options.out_dir.c_str(), nullptr);
  const std::wstring base = options.out_dir + L"\\" + options.label;
  std::vector<std::wstring> written;
  auto note = [&](bool ok, const std::wstring& path) {
    if (ok) {
      written.push_back(path);
    } else {
      fwprintf(stderr, L"veltrano-probe: cannot write %ls\n", path.c_str());
      result = kProbeExitOutputFailed;
    }
  };
  note(WriteText(base + L"-timings.csv", FormatTimingCsv(records, run_time)), base + L"-timings.csv");
  const std::vector<std::vector<uint8_t>> snapshots = recorder->Snapshots();
  if (!snapshots.empty()) {
    const std::vector<uint8_t>& last = snapshots.back();
    report += "picture: " + PictureKindName(ClassifyPicture(FrameView(layout, last.data(), last.size()))) + "\n";
    std::vector<BgraImage> frames;
    for (const std::vector<uint8_t>& snapshot : snapshots) {
      frames.push_back(DecodeFrame(FrameView(layout, snapshot.data(), snapshot.size())));
    }
    note(SUCCEEDED(WritePngFile(base + L"-snapshot.png", frames.back())), base + L"-snapshot.png");
    note(SUCCEEDED(WritePngFile(base + L"-contact-sheet.png", BuildContactSheet(frames, 3, 3, 4))),
         base + L"-contact-sheet.png");
  }
  note(WriteText(base + L"-report.txt", report), base + L"-report.txt");
  wprintf(L"%hs", report.c_str());
  for (const std::wstring& path : written) wprintf(L"wrote %ls\n", path.c_str());
  if (records.empty() || abort_code) return kProbeExitNoFrames;
  return result;
}

}  // namespace
}  // namespace veltrano::tools

int main() {
  using namespace veltrano::tools;
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (!argv) return kProbeExitBadOption;
  ProbeOptions options;
  std::wstring error;
  const bool parsed = ParseProbeOptions(argc, argv, &options, &error);
  ::LocalFree(argv);
  if (!parsed) {
    fwprintf(stderr, L"veltrano-probe: %ls\n\n%ls", error.c_str(), ProbeUsage());
    return kProbeExitBadOption;
  }
  if (options.help) {
    wprintf(L"%ls", ProbeUsage());
    return kProbeExitOk;
  }
  veltrano::platform::ScopedComInit com(COINIT_MULTITHREADED);
  if (!com.succeeded()) return kProbeExitGraphFailed;
  return options.list ? ListDevices() : Probe(options);
}
