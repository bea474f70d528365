// The camera across bitness, as users meet it: the 32-bit and the 64-bit module
// registered side by side, each by the regsvr32 of its bitness into its own registry
// view, and one host feeding 32-bit and 64-bit capture applications at once. The
// other bitness's half runs in helper modes of its own e2e test executable.
#include <dshow.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "camera/camera_identity.h"
#include "capture_graph.h"
#include "common/child_process.h"
#include "e2e_support.h"
#include "platform/com_ptr.h"
#include "platform/task_mem.h"
#include "producer_process.h"

namespace veltrano::test {
namespace {

using platform::ComPtr;

constexpr wchar_t kServerKey[] = L"CLSID\\{EFEA0B78-A886-4D02-8BC6-7157054BDFC3}\\InprocServer32";
constexpr DWORD kChildTimeoutMs = 30000;

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\') + 1); }

REGSAM OwnView() { return sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }
REGSAM OtherView() { return sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY; }

// The registered module path of one registry view ("" when the class is not there).
std::wstring ReadInprocServer(REGSAM view) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, kServerKey, 0, KEY_READ | view, &key) != ERROR_SUCCESS) return L"";
  std::wstring path(32768, L'\0');
  DWORD bytes = static_cast<DWORD>(path.size() * sizeof(wchar_t));
  DWORD type = 0;
  const LONG status =
      ::RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path.data()), &bytes);
  ::RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return L"";
  path.resize(bytes / sizeof(wchar_t));
  while (!path.empty() && path.back() == L'\0') path.pop_back();
  return path;
}

// Exit codes of list_camera.
constexpr int kListedNone = 0;
constexpr int kListedOwnModule = 1;  // one device, which loads the module beside this executable
constexpr int kListedButNotLoaded = 2;
constexpr int kListedTwice = 3;
constexpr int kListSetupFailed = 9;

// Lists the video input devices as a capture application of this bitness would.
VELTRANO_CHILD_MODE(list_camera) {
  const platform::ScopedComInit com(COINIT_APARTMENTTHREADED);
  if (!com.succeeded()) return kListSetupFailed;
  std::vector<ComPtr<IMoniker>> monikers = FindCameraMonikers();
  if (monikers.empty()) return kListedNone;
  if (monikers.size() > 1) return kListedTwice;
  ComPtr<IBaseFilter> filter;
  CLSID clsid = {};
  if (FAILED(monikers[0]->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.put_void())) ||
      FAILED(filter->GetClassID(&clsid)) || clsid != camera::kCameraClsid ||
      !::GetModuleHandleW(ModuleDllPath().c_str())) {
    return kListedButNotLoaded;
  }
  return kListedOwnModule;
}

// Exit codes of capture_producer_frames.
constexpr int kCaptureDone = 0;
constexpr int kCaptureBadArguments = 2;
constexpr int kCaptureNotListed = 3;
constexpr int kCaptureGraphFailed = 4;
constexpr int kCaptureNoProducerFrame = 5;
constexpr int kCaptureNotStopped = 6;
constexpr int kCaptureOtherFrames = 7;

// Counts and checks the samples of `records` from the first frame of producer `seed`
// until `until`: every one must be exactly such a frame, in order. Returns the number
// of distinct producer frames, or -1 when another picture came in between.
int CheckProducerRun(const std::vector<SampleRecord>& records, uint32_t seed, int64_t until,
                     std::vector<double>* latencies) {
  int distinct = 0;
  bool started = false;
  uint32_t last_sequence = 0;
  for (const SampleRecord& record : records) {
    const bool from_producer = record.producer_frame && record.header.seed == seed;
    if (!started && !from_producer) continue;
    if (record.arrival_qpc >= until) break;
    if (!from_producer || (started && record.header.sequence < last_sequence)) return -1;
    if (!started || record.header.sequence != last_sequence) {
      ++distinct;
      latencies->push_back(QpcToMilliseconds(record.arrival_qpc - record.header.written_qpc));
    }
    started = true;
    last_sequence = record.header.sequence;
  }
  return distinct;
}

void PrintRun(const char* graph, const char* producer, int distinct, std::vector<double>& latencies) {
  std::printf("[ FIGURES  ] %s graph, %s producer: %d distinct frames, latency WriteFrame to grabber p50 %.2f ms, "
              "p99 %.2f ms\n",
              graph, producer, distinct, Percentile(latencies, 0.5), Percentile(latencies, 0.99));
  std::fflush(stdout);
}

// A capture graph of this bitness that runs (signalling `ready` at its first sample)
// until `stop`, and then checks that it showed producer `seed`'s frames, exactly and in
// order, from the first one on. Arguments: seed, ready event, stop event, the
// producer's bitness (for the figures).
VELTRANO_CHILD_MODE(capture_producer_frames) {
  if (args.size() != 4) return kCaptureBadArguments;
  const uint32_t seed = static_cast<uint32_t>(std::stoul(args[0]));
  platform::UniqueHandle ready = OpenNamedEvent(args[1]);
  platform::UniqueHandle stop = OpenNamedEvent(args[2]);
  const std::string producer_bitness(args[3].begin(), args[3].end());
  if (!ready || !stop) return kCaptureBadArguments;
  const platform::ScopedComInit com(COINIT_APARTMENTTHREADED);
  if (!com.succeeded()) return kCaptureGraphFailed;
  std::vector<ComPtr<IMoniker>> monikers = FindCameraMonikers();
  if (monikers.size() != 1) return kCaptureNotListed;
  CaptureGraph graph;
  if (graph.Create(monikers[0].get()) != S_OK || FAILED(graph.ConnectWithRenderStream(nullptr)) ||
      FAILED(graph.Run()) || !graph.frames().WaitForCount(1, 10000)) {
    return kCaptureGraphFailed;
  }
  ::SetEvent(ready.get());
  const auto from_producer = [seed](const SampleRecord& r) { return r.producer_frame && r.header.seed == seed; };
  if (!graph.frames().WaitFor(from_producer, 10000)) return kCaptureNoProducerFrame;
  if (::WaitForSingleObject(stop.get(), kChildTimeoutMs) != WAIT_OBJECT_0) return kCaptureNotStopped;
  const int64_t stopped_at = QpcNow();
  if (graph.Stop() != S_OK) return kCaptureGraphFailed;
  std::vector<double> latencies;
  const int distinct = CheckProducerRun(graph.frames().Records(), seed, stopped_at, &latencies);
  if (distinct < 10) return kCaptureOtherFrames;
  PrintRun(OwnBitness(), producer_bitness.c_str(), distinct, latencies);
  return kCaptureDone;
}

const char* DescribeCaptureExit(DWORD code) {
  switch (code) {
    case kCaptureDone: return "streamed the producer's frames";
    case kCaptureNotListed: return "the camera was not listed exactly once";
    case kCaptureGraphFailed: return "the graph could not be built, run or stopped";
    case kCaptureNoProducerFrame: return "no producer frame arrived within 10 s";
    case kCaptureNotStopped: return "never told to stop";
    case kCaptureOtherFrames: return "other pictures among the producer's frames, or fewer than 10";
    default: return "set-up failed or ended abnormally";
  }
}

// Both fixtures: the other bitness's e2e executable and module, skipped when that
// build is not named, failed when it is named but missing.
class OtherBitnessE2E : public testing::Test {
 protected:
  static std::wstring OtherExecutable() { return OtherBitnessExecutable(L"e2e_tests.exe"); }
  static std::wstring OtherModule() { return FolderOf(OtherExecutable()) + L"VeltranoVirtualCamera.dll"; }
  static bool Register(bool add) {
    const std::wstring verb = add ? L"/s " : L"/u /s ";
    return (RunRegsvr32(verb + Quoted(ModuleDllPath())) == 0) &
           (RunRegsvr32(verb + Quoted(OtherModule()), OtherBitnessRegsvr32()) == 0);
  }

  void SetUp() override {
    other_executable_ = OtherExecutable();
    if (other_executable_.empty()) {
      GTEST_SKIP() << "the " << OtherBitness()
                   << " build is not there (CTest names it in VELTRANO_OTHER_BITNESS_BIN; scripts/test.sh builds both)";
    }
    ASSERT_TRUE(FileExists(other_executable_)) << "the other bitness's tests are named but missing";
    ASSERT_TRUE(com_.succeeded());
  }

  std::wstring other_executable_;
  platform::ScopedComInit com_{COINIT_APARTMENTTHREADED};
};

class CrossBitnessE2E : public OtherBitnessE2E {
 protected:
  static void SetUpTestSuite() {
    if (FileExists(OtherExecutable())) registered_ = Register(true);
  }
  static void TearDownTestSuite() {
    if (!OtherExecutable().empty()) Register(false);
  }

  void SetUp() override {
    OtherBitnessE2E::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(registered_) << "regsvr32 of either bitness could not register its module";
  }

  // One producer (of this bitness, or of the other with `producer_executable`) and a
  // capture graph of each bitness running at the same time: both graphs show the
  // producer's frames exactly.
  void FeedGraphsOfBothBitnesses(uint32_t seed, const std::wstring& producer_executable,
                                 const char* producer_bitness) {
    std::vector<ComPtr<IMoniker>> monikers = FindCameraMonikers();
    ASSERT_EQ(1u, monikers.size());
    CaptureGraph graph;
    ASSERT_EQ(S_OK, graph.Create(monikers[0].get()));
    ASSERT_EQ(S_OK, graph.ConnectWithRenderStream(nullptr));
    ASSERT_TRUE(SUCCEEDED(graph.Run()));
    ASSERT_TRUE(graph.frames().WaitForCount(1, 5000));

    const std::wstring tag = std::to_wstring(::GetCurrentProcessId()) + L"." + std::to_wstring(seed);
    const std::wstring ready_name = L"Local\\VeltranoE2E.OtherGraphReady." + tag;
    const std::wstring stop_name = L"Local\\VeltranoE2E.OtherGraphStop." + tag;
    platform::UniqueHandle ready = CreateNamedEvent(ready_name);
    platform::UniqueHandle stop = CreateNamedEvent(stop_name);
    ASSERT_TRUE(ready && stop);
    const std::wstring producer_bitness_arg(producer_bitness, producer_bitness + std::strlen(producer_bitness));
    ChildProcess other_graph = SpawnChildOf(other_executable_, L"capture_producer_frames",
                                            std::to_wstring(seed) + L" " + ready_name + L" " + stop_name + L" " +
                                                producer_bitness_arg);
    ASSERT_TRUE(other_graph.process);
    const HANDLE started[] = {ready.get(), other_graph.process.get()};
    if (::WaitForMultipleObjects(2, started, FALSE, kChildTimeoutMs) != WAIT_OBJECT_0) {
      ASSERT_TRUE(other_graph.Wait(kChildTimeoutMs));
      FAIL() << "the " << OtherBitness() << " graph did not start: " << DescribeCaptureExit(other_graph.exit_code);
    }

    ProducerProcess producer;
    ASSERT_TRUE(producer.Start(seed, 30, ProducerProcess::Ending::kClose, producer_executable));
    const auto from_producer = [seed](const SampleRecord& r) { return r.producer_frame && r.header.seed == seed; };
    ASSERT_TRUE(graph.frames().WaitFor(from_producer, 10000));
    ::Sleep(2000);
    // The other graph stops first, while the producer still streams.
    ::SetEvent(stop.get());
    ASSERT_TRUE(other_graph.Wait(kChildTimeoutMs));
    const int64_t stopped_at = QpcNow();
    ASSERT_EQ(S_OK, graph.Stop());
    EXPECT_EQ(0u, producer.Finish());
    EXPECT_EQ(0u, other_graph.exit_code) << "the " << OtherBitness()
                                         << " graph: " << DescribeCaptureExit(other_graph.exit_code);

    std::vector<double> latencies;
    const int distinct = CheckProducerRun(graph.frames().Records(), seed, stopped_at, &latencies);
    EXPECT_GE(distinct, 10) << "-1: another picture came between the producer's frames";
    if (distinct > 0) PrintRun(OwnBitness(), producer_bitness, distinct, latencies);
  }

  static inline bool registered_ = false;
};

TEST_F(CrossBitnessE2E, ProducerOfThisBitnessFeedsGraphsOfBothBitnessesAtOnce) {
  FeedGraphsOfBothBitnesses(41, L"", OwnBitness());
}

TEST_F(CrossBitnessE2E, ProducerOfTheOtherBitnessFeedsGraphsOfBothBitnessesAtOnce) {
  FeedGraphsOfBothBitnesses(42, other_executable_, OtherBitness());
}

class CrossBitnessRegistrationE2E : public OtherBitnessE2E {
 protected:
  void SetUp() override {
    OtherBitnessE2E::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    other_module_ = OtherModule();
    Register(false);  // a run cut short (a time-out) may have left either registration behind
  }
  void TearDown() override {
    if (!other_executable_.empty()) Register(false);
  }

  DWORD ListInOtherBitness() {
    ChildProcess child = SpawnChildOf(other_executable_, L"list_camera");
    return child.Wait(kChildTimeoutMs) ? child.exit_code : 0x10000;
  }

  std::wstring other_module_;
};

TEST_F(CrossBitnessRegistrationE2E, EachRegsvr32RegistersAndRemovesOnlyItsOwnView) {
  ASSERT_EQ(L"", ReadInprocServer(OwnView()));
  ASSERT_EQ(L"", ReadInprocServer(OtherView()));
  ASSERT_EQ(0u, RunRegsvr32(L"/s " + Quoted(ModuleDllPath())));
  EXPECT_EQ(ModuleDllPath(), ReadInprocServer(OwnView()));
  EXPECT_EQ(L"", ReadInprocServer(OtherView())) << "written into the other bitness's view";
  ASSERT_EQ(0u, RunRegsvr32(L"/s " + Quoted(other_module_), OtherBitnessRegsvr32()));
  EXPECT_EQ(ModuleDllPath(), ReadInprocServer(OwnView()));
  EXPECT_EQ(other_module_, ReadInprocServer(OtherView()));

  // One device in each bitness, under one name and CLSID, each loading its own module.
  std::vector<ComPtr<IMoniker>> monikers = FindCameraMonikers();
  ASSERT_EQ(1u, monikers.size());
  EXPECT_EQ(L"{EFEA0B78-A886-4D02-8BC6-7157054BDFC3}", ReadMonikerString(monikers[0].get(), L"CLSID"));
  ComPtr<IBaseFilter> filter;
  ASSERT_EQ(S_OK, monikers[0]->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.put_void()));
  EXPECT_NE(nullptr, ::GetModuleHandleW(ModuleDllPath().c_str()));
  filter.reset();
  monikers.clear();
  EXPECT_EQ(static_cast<DWORD>(kListedOwnModule), ListInOtherBitness());

  // Unregistering either leaves the other bitness's registration as it was.
  ASSERT_EQ(0u, RunRegsvr32(L"/u /s " + Quoted(ModuleDllPath())));
  EXPECT_EQ(L"", ReadInprocServer(OwnView()));
  EXPECT_EQ(other_module_, ReadInprocServer(OtherView()));
  EXPECT_TRUE(FindCameraMonikers().empty());
  EXPECT_EQ(static_cast<DWORD>(kListedOwnModule), ListInOtherBitness());

  ASSERT_EQ(0u, RunRegsvr32(L"/s " + Quoted(ModuleDllPath())));
  ASSERT_EQ(0u, RunRegsvr32(L"/u /s " + Quoted(other_module_), OtherBitnessRegsvr32()));
  EXPECT_EQ(L"", ReadInprocServer(OtherView()));
  EXPECT_EQ(ModuleDllPath(), ReadInprocServer(OwnView()));
  EXPECT_EQ(static_cast<DWORD>(kListedNone), ListInOtherBitness());
  EXPECT_EQ(1u, FindCameraMonikers().size());
}

}  // namespace
}  // namespace veltrano::test
