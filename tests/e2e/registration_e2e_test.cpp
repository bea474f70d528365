// Registration as a user does it: Wine's regsvr32 on the built module, then the
// system device enumerator and COM find and load the camera; unregistering removes
// it. Also a module loaded from a path longer than MAX_PATH registers that whole path.
#include <dshow.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camera/camera_identity.h"
#include "e2e_support.h"
#include "platform/com_ptr.h"
#include "platform/task_mem.h"

namespace veltrano::test {
namespace {

using platform::ComPtr;

constexpr wchar_t kServerKey[] = L"CLSID\\{EFEA0B78-A886-4D02-8BC6-7157054BDFC3}\\InprocServer32";

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

// The registered module path exactly as stored (REG_SZ bytes, terminator included).
std::vector<BYTE> ReadInprocServer() {
  std::vector<BYTE> bytes;
  DWORD size = 0;
  if (::RegGetValueW(HKEY_CLASSES_ROOT, kServerKey, nullptr, RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
      ERROR_SUCCESS) {
    return bytes;
  }
  bytes.resize(size);
  if (::RegGetValueW(HKEY_CLASSES_ROOT, kServerKey, nullptr, RRF_RT_REG_SZ, nullptr, bytes.data(), &size) !=
      ERROR_SUCCESS) {
    bytes.clear();
  }
  bytes.resize(size);
  return bytes;
}

std::vector<BYTE> StringBytes(const std::wstring& text) {
  const auto* first = reinterpret_cast<const BYTE*>(text.c_str());
  return std::vector<BYTE>(first, first + (text.size() + 1) * sizeof(wchar_t));
}

class RegistrationE2E : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(com_.succeeded()); }
  void TearDown() override { EXPECT_EQ(0u, RunRegsvr32(L"/u /s " + Quoted(ModuleDllPath()))); }

  platform::ScopedComInit com_{COINIT_APARTMENTTHREADED};
};

TEST_F(RegistrationE2E, Regsvr32MakesAVideoInputDeviceThatLoadsTheCamera) {
  ASSERT_EQ(0u, RunRegsvr32(L"/s " + Quoted(ModuleDllPath())));
  EXPECT_EQ(StringBytes(ModuleDllPath()), ReadInprocServer());

  std::vector<ComPtr<IMoniker>> monikers = FindCameraMonikers();
  ASSERT_EQ(1u, monikers.size());
  EXPECT_EQ(L"{EFEA0B78-A886-4D02-8BC6-7157054BDFC3}", ReadMonikerString(monikers[0].get(), L"CLSID"));

  ComPtr<IBaseFilter> filter;
  ASSERT_EQ(S_OK, monikers[0]->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.put_void()));
  CLSID clsid = {};
  EXPECT_EQ(S_OK, filter->GetClassID(&clsid));
  EXPECT_EQ(camera::kCameraClsid, clsid);
  ComPtr<IEnumPins> pins;
  ASSERT_EQ(S_OK, filter->EnumPins(pins.put()));
  ComPtr<IPin> pin;
  ASSERT_EQ(S_OK, pins->Next(1, pin.put(), nullptr));
  PIN_INFO info = {};
  ASSERT_EQ(S_OK, pin->QueryPinInfo(&info));
  EXPECT_STREQ(L"Capture", info.achName);
  EXPECT_EQ(PINDIR_OUTPUT, info.dir);
  if (info.pFilter) info.pFilter->Release();
  ComPtr<IPin> second;
  EXPECT_EQ(S_FALSE, pins->Next(1, second.put(), nullptr));
  pin.reset();
  pins.reset();
  filter.reset();

  ASSERT_EQ(0u, RunRegsvr32(L"/u /s " + Quoted(ModuleDllPath())));
  EXPECT_TRUE(FindCameraMonikers().empty());
  EXPECT_FALSE(CameraClassKeyExists());
  ComPtr<IBaseFilter> gone;
  EXPECT_EQ(REGDB_E_CLASSNOTREG, ::CoCreateInstance(camera::kCameraClsid, nullptr, CLSCTX_INPROC_SERVER,
                                                    IID_IBaseFilter, gone.put_void()));
}

// Directories nested until a file inside has a path of 260 characters or more.
class LongPathDirectory {
 public:
  LongPathDirectory() {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring path = std::wstring(temp) + L"veltrano-long-" + std::to_wstring(::GetCurrentProcessId());
    directories_.push_back(path);
    while (path.size() < 280) {
      path += L"\\" + std::wstring(60, L'd');
      directories_.push_back(path);
    }
    for (const std::wstring& directory : directories_) ::CreateDirectoryW(Extended(directory).c_str(), nullptr);
  }
  LongPathDirectory(const LongPathDirectory&) = delete;
  LongPathDirectory& operator=(const LongPathDirectory&) = delete;
  ~LongPathDirectory() {
    for (const std::wstring& file : files_) ::DeleteFileW(Extended(file).c_str());
    for (auto it = directories_.rbegin(); it != directories_.rend(); ++it) ::RemoveDirectoryW(Extended(*it).c_str());
  }

  //! Copies `source` into the deepest directory; returns the copy's path or "".
  std::wstring CopyHere(const std::wstring& source, const std::wstring& name) {
    files_.push_back(directories_.back() + L"\\" + name);
    if (!::CopyFileW(source.c_str(), Extended(files_.back()).c_str(), FALSE)) return L"";
    return files_.back();
  }

  static std::wstring Extended(const std::wstring& path) { return L"\\\\?\\" + path; }

 private:
  std::vector<std::wstring> directories_;
  std::vector<std::wstring> files_;
};

TEST_F(RegistrationE2E, ModuleAtAPathOf260CharactersOrMoreRegistersTheWholePath) {
  LongPathDirectory directory;
  const std::wstring copy = directory.CopyHere(ModuleDllPath(), L"VeltranoVirtualCamera.dll");
  ASSERT_FALSE(copy.empty());
  HMODULE module = ::LoadLibraryW(copy.c_str());
  if (!module) module = ::LoadLibraryW(LongPathDirectory::Extended(copy).c_str());
  ASSERT_NE(nullptr, module) << ::GetLastError();

  std::wstring loaded(32768, L'\0');
  loaded.resize(::GetModuleFileNameW(module, loaded.data(), static_cast<DWORD>(loaded.size())));
  ASSERT_GE(loaded.size(), 260u);

  auto register_server = ModuleExport<HRESULT(STDAPICALLTYPE*)()>(module, "DllRegisterServer");
  auto unregister_server =
      ModuleExport<HRESULT(STDAPICALLTYPE*)()>(module, "DllUnregisterServer");
  ASSERT_NE(nullptr, register_server);
  ASSERT_NE(nullptr, unregister_server);
  ASSERT_EQ(S_OK, register_server());
  // The whole path, not the first 260 characters of it.
  EXPECT_EQ(StringBytes(loaded), ReadInprocServer());
  EXPECT_EQ(1u, FindCameraMonikers().size());

  EXPECT_EQ(S_OK, unregister_server());
  EXPECT_FALSE(CameraClassKeyExists());
  EXPECT_TRUE(FindCameraMonikers().empty());
  ::FreeLibrary(module);
}

}  // namespace
}  // namespace veltrano::test
