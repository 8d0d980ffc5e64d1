// Loading and unloading a plugin library in the host's order: the library, then Plugin_Init;
// at unload Plugin_Unload (outside the loader lock on Windows), the module's registrations
// dropped, then the library freed.
#include "sim/simulation.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "API/ARK/Ark.h"
#include "state.h"

namespace sim {

namespace {

using EntryPoint = void (*)();

#ifdef _WIN32
void* OpenLibrary(const std::string& path, std::string* error) {
  const std::wstring wide = AsaApi::Tools::Utf8Decode(path);
  HMODULE module = LoadLibraryW(wide.c_str());
  if (!module && error) *error = "LoadLibraryW failed with error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(module);
}
EntryPoint Find(void* handle, const char* name) {
  return reinterpret_cast<EntryPoint>(
      reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle), name)));
}
bool CloseLibrary(void* handle) { return FreeLibrary(reinterpret_cast<HMODULE>(handle)) != 0; }
#else
void* OpenLibrary(const std::string& path, std::string* error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle && error) *error = dlerror();
  return handle;
}
EntryPoint Find(void* handle, const char* name) { return reinterpret_cast<EntryPoint>(dlsym(handle, name)); }
bool CloseLibrary(void* handle) { return dlclose(handle) == 0; }
#endif

}  // namespace

void* Simulation::LoadPlugin(const std::string& path, std::string* error) {
  void* handle = OpenLibrary(path, error);
  if (!handle) return nullptr;
  if (EntryPoint init = Find(handle, "Plugin_Init")) state_->Guard("Plugin_Init", init);
  return handle;
}

bool Simulation::UnloadPlugin(void* handle, const std::string& path) {
  if (!handle) return false;
  if (EntryPoint unload = Find(handle, "Plugin_Unload")) state_->Guard("Plugin_Unload", unload);
  DropModule(path);
  return CloseLibrary(handle);
}

}  // namespace sim
