#include "common/child_process.h"

#include <shellapi.h>

#include <algorithm>
#include <map>

namespace veltrano::test {
namespace {

std::map<std::wstring, ChildMain>& Registry() {
  static std::map<std::wstring, ChildMain> modes;
  return modes;
}

}  // namespace

ChildModeRegistrar::ChildModeRegistrar(const wchar_t* name, ChildMain main) { Registry()[name] = main; }

bool RunChildModeIfRequested(int* exit_code) {
  int argc = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (!argv) return false;
  bool ran = false;
  if (argc >= 3 && std::wstring(argv[1]) == L"--child") {
    const auto found = Registry().find(argv[2]);
    std::vector<std::wstring> args(argv + 3, argv + argc);
    *exit_code = found == Registry().end() ? 99 : found->second(args);
    ran = true;
  }
  ::LocalFree(argv);
  return ran;
}

bool ChildProcess::Wait(DWORD timeout_ms) {
  if (!process) return false;
  if (::WaitForSingleObject(process.get(), timeout_ms) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.get(), 98);
    ::WaitForSingleObject(process.get(), 5000);
    exit_code = 98;
    return false;
  }
  ::GetExitCodeProcess(process.get(), &exit_code);
  return true;
}

ChildProcess SpawnChild(const std::wstring& name, const std::wstring& args) {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return SpawnChildOf(path, name, args);
}

ChildProcess SpawnChildOf(const std::wstring& executable, const std::wstring& name, const std::wstring& args) {
  std::wstring command = L"\"" + executable + L"\" --child " + name;
  if (!args.empty()) command += L" " + args;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  ChildProcess child;
  if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &info)) {
    ::CloseHandle(info.hThread);
    child.process.reset(info.hProcess);
  }
  return child;
}

const char* OwnBitness() { return sizeof(void*) == 8 ? "64-bit" : "32-bit"; }

const char* OtherBitness() { return sizeof(void*) == 8 ? "32-bit" : "64-bit"; }

std::wstring OtherBitnessExecutable(const wchar_t* file_name) {
  std::wstring folder(32768, L'\0');
  folder.resize(::GetEnvironmentVariableW(L"VELTRANO_OTHER_BITNESS_BIN", folder.data(),
                                          static_cast<DWORD>(folder.size())));
  if (folder.empty()) return L"";
  // CMake may hand over forward slashes; the children find their module by the last
  // backslash of their own path.
  std::replace(folder.begin(), folder.end(), L'/', L'\\');
  if (folder.back() != L'\\') folder += L'\\';
  return folder + file_name;
}

bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

platform::UniqueHandle CreateNamedEvent(const std::wstring& name) {
  return platform::UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
}

platform::UniqueHandle OpenNamedEvent(const std::wstring& name) {
  return platform::UniqueHandle(::OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name.c_str()));
}

}  // namespace veltrano::test
