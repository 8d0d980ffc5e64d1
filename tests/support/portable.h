// What the tests need from the system, the same on Linux and on Windows (MinGW under Wine):
// temporary folders, the process id, the time zone, and loading the plugin library as the host
// does (dlopen or LoadLibraryW).
#pragma once

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <process.h>
#include <windows.h>
#else
#include <dlfcn.h>
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

}  // namespace gildmark::testing
