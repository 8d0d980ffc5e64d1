// What the tests need from the system, the same on Linux and on Windows (MinGW under Wine):
// temporary folders, the process id, the time zone, loading the plugin library as the host
// does (dlopen or LoadLibraryW), and a second process of the test program.
#pragma once

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <process.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace gildmark::testing {

inline int ProcessId() {
#ifdef _WIN32
  return _getpid();
#else
  return getpid();
#endif
}

// A new, empty folder under the system's temporary folder.
inline std::string MakeTempDir(const std::string& prefix = "gildmark-test-") {
  static std::mt19937_64 rng(std::random_device{}() ^ static_cast<unsigned>(ProcessId()));
  for (;;) {
    const auto path = std::filesystem::temp_directory_path() / (prefix + std::to_string(rng() % 1000000000ULL));
    std::error_code ec;
    if (std::filesystem::create_directory(path, ec)) return path.string();
    if (ec) throw std::runtime_error("cannot create a temporary folder: " + ec.message());
  }
}

inline void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");
#else
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
#endif
}

inline void ReloadTimeZone() {
#ifdef _WIN32
  _tzset();
#else
  tzset();
#endif
}

inline std::time_t TimeFromUtc(std::tm* when) {
#ifdef _WIN32
  return _mkgmtime(when);
#else
  return timegm(when);
#endif
}

// The plugin library, loaded and freed as the host does it.
inline void* LoadLibraryAt(const std::string& path) {
#ifdef _WIN32
  return reinterpret_cast<void*>(LoadLibraryW(std::filesystem::path(path).wstring().c_str()));
#else
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
}

inline bool FreeLibraryAt(void* handle) {
#ifdef _WIN32
  return FreeLibrary(reinterpret_cast<HMODULE>(handle)) != 0;
#else
  return dlclose(handle) == 0;
#endif
}

inline bool LibraryMapped(const std::string& path) {
#ifdef _WIN32
  return GetModuleHandleW(std::filesystem::path(path).wstring().c_str()) != nullptr;
#else
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
#endif
}

inline std::string LoadError() {
#ifdef _WIN32
  return "error " + std::to_string(GetLastError());
#else
  const char* e = dlerror();
  return e ? e : "";
#endif
}

// A second process: this test program again, running only the tests of `filter`, with one more
// variable in its environment. Killed without warning, as a crashing server is.
class ChildProcess {
 public:
  ChildProcess(const std::string& filter, const std::string& variable, const std::string& value) {
    const std::string flag = "--gtest_filter=" + filter;
#ifdef _WIN32
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" " + std::filesystem::path(flag).wstring();
    SetEnv(variable.c_str(), value.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const bool started = CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
    SetEnv(variable.c_str(), nullptr);
    if (!started) throw std::runtime_error("cannot start a second test process");
    CloseHandle(info.hThread);
    process_ = info.hProcess;
#else
    // Everything the child needs is made before the fork: only exec may run in it.
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e) env_text.emplace_back(*e);
    env_text.push_back(variable + "=" + value);
    std::vector<char*> env;
    for (auto& e : env_text) env.push_back(e.data());
    env.push_back(nullptr);
    std::string self = "/proc/self/exe", flag_text = flag;
    char* argv[] = {self.data(), flag_text.data(), nullptr};
    pid_ = fork();
    if (pid_ == 0) {
      execve(self.c_str(), argv, env.data());
      _exit(127);
    }
    if (pid_ < 0) throw std::runtime_error("cannot start a second test process");
#endif
  }
  ~ChildProcess() { Kill(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Ends it at once and waits until it is gone.
  void Kill() {
#ifdef _WIN32
    if (!process_) return;
    TerminateProcess(process_, 9);
    WaitForSingleObject(process_, INFINITE);
    CloseHandle(process_);
    process_ = nullptr;
#else
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
#endif
  }

 private:
#ifdef _WIN32
  HANDLE process_ = nullptr;
#else
  pid_t pid_ = -1;
#endif
};

}  // namespace gildmark::testing
