// Loading and unloading plugin libraries in the host's order, by the host's own commands
// plugins.load and plugins.unload too. Load: the library, then Plugin_Init. Unload:
// Plugin_Unload (outside the loader lock on Windows), then the module's timers, then each of its
// commands and callbacks emptied and removed and its hooks disabled, then the library closed, so
// that its code is really gone: a record that outlives the close and is destroyed later calls
// into unmapped code, as on the real server.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

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

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

#ifdef _WIN32
const char* const kLibrarySuffix = ".dll";
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
std::string ModuleFileName(HMODULE module) {
  wchar_t buffer[MAX_PATH] = {};
  if (!module || GetModuleFileNameW(module, buffer, MAX_PATH) == 0) return "";
  return AsaApi::Tools::Utf8Encode(buffer);
}
std::string ModuleOfHandle(void* handle) { return ModuleFileName(reinterpret_cast<HMODULE>(handle)); }
bool StillMapped(const std::string& path) {
  return GetModuleHandleW(AsaApi::Tools::Utf8Decode(path).c_str()) != nullptr;
}
#else
const char* const kLibrarySuffix = ".so";
void* OpenLibrary(const std::string& path, std::string* error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle && error) *error = dlerror();
  return handle;
}
EntryPoint Find(void* handle, const char* name) { return reinterpret_cast<EntryPoint>(dlsym(handle, name)); }
bool CloseLibrary(void* handle) { return dlclose(handle) == 0; }
std::string ModuleOfHandle(void* handle) {
  // The name the system gives the library's code, which is what the plugin's own path lookup
  // (dladdr) and the records made from its calls carry.
  EntryPoint any = Find(handle, "Plugin_Init");
  if (!any) any = Find(handle, "Plugin_Unload");
  return any ? ModuleOfAddress(reinterpret_cast<const void*>(any)) : "";
}
bool StillMapped(const std::string& path) {
  void* still = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (still) dlclose(still);
  return still != nullptr;
}
#endif

std::string NameOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

template <typename Callback>
size_t CountOf(const RecordList<Callback>& list, const std::string& module) {
  return static_cast<size_t>(
      std::count_if(list.begin(), list.end(), [&](auto& record) { return record->module == module; }));
}

// Emptied first, while the library is still there: a copy of the list that a dispatch holds may
// outlive the close, and must then hold nothing of the module's code.
template <typename Callback>
void RemoveModuleRecords(RecordList<Callback>& list, const std::string& module) {
  for (auto& record : list)
    if (record->module == module) record->callback = nullptr;
  list.erase(std::remove_if(list.begin(), list.end(), [&](auto& record) { return record->module == module; }),
             list.end());
}

}  // namespace

#ifdef _WIN32
std::string ModuleOfAddress(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(address), &module))
    return "";
  return ModuleFileName(module);
}
#else
std::string ModuleOfAddress(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || !info.dli_fname) return "";
  return info.dli_fname;
}
#endif

size_t Simulation::ModuleRegistrations(const std::string& module) const {
  const State& s = *state_;
  size_t count = CountOf(s.console_commands, module) + CountOf(s.rcon_commands, module) +
                 CountOf(s.tick_callbacks, module) + CountOf(s.timer_callbacks, module);
  for (auto& [name, chain] : s.hooks)
    count += static_cast<size_t>(
        std::count_if(chain.links.begin(), chain.links.end(), [&](auto& link) { return link.module == module; }));
  count += static_cast<size_t>(
      std::count_if(s.timers.begin(), s.timers.end(), [&](auto& timer) { return timer->module == module; }));
  return count;
}

void Simulation::DropModule(const std::string& module_path) { DropModule(module_path, module_path); }

// The host's unload (PluginManager::UnloadPlugin): timers and the messaging manager by the
// record's path text, compared with its case (Timer::UnloadTimersFromModule), the rest by the
// module.
void Simulation::DropModule(const std::string& module_path, const std::string& timer_path) {
  State& s = *state_;
  auto& timers = s.timers;
  timers.erase(std::remove_if(timers.begin(), timers.end(), [&](auto& t) { return t->module == timer_path; }),
               timers.end());
  RemoveModuleRecords(s.console_commands, module_path);
  RemoveModuleRecords(s.rcon_commands, module_path);
  RemoveModuleRecords(s.tick_callbacks, module_path);
  RemoveModuleRecords(s.timer_callbacks, module_path);
  for (auto& [name, chain] : s.hooks) {
    std::vector<LPVOID> detours;
    for (auto& link : chain.links)
      if (link.module == module_path) detours.push_back(link.detour);
    for (LPVOID detour : detours) AsaApi::GetHooks().DisableHook(name, detour);
  }
  s.http_callbacks.clear();  // completions still to come find no callback
  s.messaging.erase(timer_path);  // by the record's path text too (RemoveMessagingManagerInternal)
}

void Simulation::UnloadModule(const std::string& module_path, const std::function<void()>& plugin_unload) {
  if (plugin_unload) state_->Guard("Plugin_Unload", plugin_unload);
  DropModule(module_path);
}

void* Simulation::LoadPlugin(const std::string& path, std::string* error) {
  return LoadPluginAs(NameOf(path), path, error);
}

namespace {

// The host's ReadPluginInfo: PluginInfo.json in the plugin's folder, defaults when there is none.
// A file that is no JSON fails the load (the stream read throws out of LoadPlugin). A member of
// the wrong type stops the reading there; the load then fails on the members left unread, unless
// only PreventUnloading was (it then reads as false).
struct PluginInfo {
  double min_api_version = 0;
  bool prevent_unloading = false;
};
PluginInfo ReadPluginInfo(const std::string& library_path) {
  PluginInfo info;
  const size_t slash = library_path.find_last_of("/\\");
  std::ifstream in(library_path.substr(0, slash == std::string::npos ? 0 : slash + 1) + "PluginInfo.json");
  if (!in) return info;
  const nlohmann::json json = nlohmann::json::parse(in);
  try {
    (void)json.value("FullName", std::string());
    (void)json.value("Description", std::string("No description"));
    (void)json.value("Version", 1.0f);
    info.min_api_version = json.value("MinApiVersion", 0.0f);
    (void)json.value("Dependencies", std::vector<std::string>{});
  } catch (const nlohmann::json::exception& e) {
    throw std::runtime_error(std::string("[json.exception.type_error.302] type must be number, but is null (") +
                             e.what() + ")");
  }
  try {
    info.prevent_unloading = json.value("PreventUnloading", false);
  } catch (const nlohmann::json::exception&) {
  }
  return info;
}

}  // namespace

// The host's load (PluginManager::LoadPlugin): "already loaded" is asked of the typed name
// exactly (FindPlugin), while the file system and the loader, as Windows', ignore case: a name
// typed in other letters opens the library already loaded (the same module, counted once more)
// and runs its Plugin_Init again. PluginInfo.json is read first.
void* Simulation::LoadPluginAs(const std::string& name, const std::string& path, std::string* error) {
  State& s = *state_;
  if (PluginLoaded(name)) {
    if (error) *error = "Plugin " + name + " was already loaded";
    return nullptr;
  }
  PluginInfo info;
  try {
    info = ReadPluginInfo(path);
  } catch (const std::exception& e) {
    if (error) *error = e.what();
    return nullptr;
  }
  if (info.min_api_version != 0 && kHostApiVersion + 1e-6 < info.min_api_version) {
    if (error) *error = "Plugin " + name + " requires newer API version!";
    return nullptr;
  }
  std::string open_error;
  void* handle = OpenLibrary(path, &open_error);
  if (!handle) {
    if (error) *error = "Failed to load plugin - " + name + "\nError code: " + open_error;
    return nullptr;
  }
  std::string record_path = path;
  if (name != NameOf(path)) {
    const size_t slash = path.find_last_of("/\\");
    const size_t dot = path.find('.', slash + 1);
    record_path = path.substr(0, slash + 1) + name + (dot == std::string::npos ? "" : path.substr(dot));
  }
  s.plugins.push_back({name, path, handle, ModuleOfHandle(handle), record_path, info.prevent_unloading});
  if (s.plugin_paths.count(Lower(name)) == 0) s.plugin_paths[Lower(name)] = path;
  const std::string module = s.plugins.back().module;
  s.freed_modules.erase(module);
  if (EntryPoint init = Find(handle, "Plugin_Init")) s.Guard("Plugin_Init", init);
  size_t hooks = 0;
  for (auto& [hook, chain] : s.hooks)
    for (auto& link : chain.links) hooks += link.module == module ? 1 : 0;
  s.Record({{"type", "plugin_loaded"}, {"name", name}, {"path", path}, {"hooks", hooks},
            {"console_commands", CountOf(s.console_commands, module)},
            {"rcon_commands", CountOf(s.rcon_commands, module)},
            {"registrations", ModuleRegistrations(module)}});
  return handle;
}

namespace {
bool UnloadRecord(Simulation& sim, std::vector<LoadedPlugin>::iterator it, void* handle, const std::string& path);
}  // namespace

bool Simulation::UnloadPlugin(void* handle, const std::string& path) {
  State& s = *state_;
  if (!handle) return false;
  return UnloadRecord(
      *this, std::find_if(s.plugins.begin(), s.plugins.end(), [&](auto& p) { return p.handle == handle && p.path == path; }),
      handle, path);
}

namespace {

bool UnloadRecord(Simulation& sim, std::vector<LoadedPlugin>::iterator it, void* handle, const std::string& path) {
  Simulation::State& s = sim.state();
  if (it == s.plugins.end())
    it = std::find_if(s.plugins.begin(), s.plugins.end(), [&](auto& p) { return p.handle == handle; });
  const std::string module = it != s.plugins.end() ? it->module : ModuleOfHandle(handle);
  const std::string name = it != s.plugins.end() ? it->name : NameOf(path);
  const std::string record_path = it != s.plugins.end() ? it->record_path : path;
  if (it != s.plugins.end()) s.plugins.erase(it);
  if (EntryPoint unload = Find(handle, "Plugin_Unload")) s.Guard("Plugin_Unload", unload);
  sim.DropModule(module, record_path == path ? module : record_path);
  const bool closed = CloseLibrary(handle);
  // Clean as the host sees it: nothing of the module left reachable, whoever removed it, and
  // its code gone.
  const size_t left = sim.ModuleRegistrations(module);
  const bool gone = !StillMapped(path);
  if (gone) s.freed_modules.insert(module);
  s.Record({{"type", "plugin_unloaded"}, {"name", name}, {"path", path}, {"clean", closed && left == 0 && gone},
            {"registrations_left", left}, {"library_gone", gone}});
  return closed;
}

}  // namespace

bool Simulation::PluginLoaded(const std::string& name) const {
  return std::any_of(state_->plugins.begin(), state_->plugins.end(), [&](auto& p) { return p.name == name; });
}

size_t Simulation::LoadedPluginCount() const { return state_->plugins.size(); }

// The plugin's folder and library, as the host builds them from the typed name; a name loaded
// before (a test's library outside the folder) is found where it was.
std::string Simulation::PluginFile(const std::string& name) const {
  const State& s = *state_;
  auto known = s.plugin_paths.find(Lower(name));
  return known != s.plugin_paths.end() ? known->second
                                       : s.current_dir + "/ArkApi/Plugins/" + name + "/" + name + kLibrarySuffix;
}

namespace {

// The host's answer to plugins.load / plugins.unload (ArkBaseApi::LoadPlugin / UnloadPlugin) for
// the error its plugin manager threw, or "", with its log line.
std::string HostAnswer(Simulation::State& s, const std::string& verb, const std::string& name,
                       const std::string& error) {
  const std::string done = verb == "load" ? "Loaded" : "Unloaded";
  if (!error.empty()) {
    s.Record({{"type", "log"}, {"logger", "API"}, {"level", "warning"},
              {"text", "(" + done.substr(0, done.size() - 2) + "Plugin) " + error}});
    return "Failed to " + verb + " plugin - " + error;
  }
  s.Record({{"type", "log"}, {"logger", "API"}, {"level", "info"}, {"text", done + " plugin - " + name}});
  return "Successfully " + verb + "ed plugin";
}

}  // namespace

std::string Simulation::LoadPluginByName(const std::string& name) {
  if (name.empty()) return "Plugin not found";
  const std::string path = PluginFile(name);
  std::error_code ignored;
  std::string error;
  if (!std::filesystem::exists(path, ignored))
    error = "Plugin " + name + " does not exist";
  else
    LoadPluginAs(name, path, &error);
  return HostAnswer(*state_, "load", name, error);
}

std::string Simulation::UnloadPluginByName(const std::string& name) {
  if (name.empty()) return "Plugin not found";
  return HostAnswer(*state_, "unload", name, UnloadByName(name));
}

// The host's PluginManager::UnloadPlugin; the error it throws, or "".
std::string Simulation::UnloadByName(const std::string& name) {
  State& s = *state_;
  auto it = std::find_if(s.plugins.begin(), s.plugins.end(), [&](auto& p) { return p.name == name; });
  if (it == s.plugins.end()) return "Plugin " + name + " is not loaded";
  if (it->prevent_unloading) return "unloading is disabled (PreventUnloading=true)";
  std::error_code ignored;
  if (!std::filesystem::exists(it->path, ignored)) return "Plugin " + name + " does not exist";
  const LoadedPlugin plugin = *it;
  if (!UnloadRecord(*this, it, plugin.handle, plugin.path)) return "Failed to unload plugin - " + name;
  return "";
}

// The host's PluginManager::DetectPluginChanges: for each plugin folder with <library>.ArkApi
// beside a loaded plugin of the folder's name, the world saved once, then in one call the
// plugin unloaded, the file copied over the library and deleted, and the plugin loaded. A
// failure is logged and the loop goes on, leaving the plugin as far as it got.
void Simulation::DetectPluginChanges() {
  namespace fs = std::filesystem;
  State& s = *state_;
  std::error_code error;
  const fs::path folder = fs::path(s.current_dir) / "ArkApi" / "Plugins";
  if (!fs::is_directory(folder, error)) return;
  auto warn = [&](const std::string& text) {
    s.Record({{"type", "log"}, {"logger", "API"}, {"level", "warning"}, {"text", "(DetectPluginChanges) " + text}});
  };
  bool save_world = true;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (!entry.is_directory(error)) continue;
    const std::string name = entry.path().filename().string();
    const std::string library = (entry.path() / (name + kLibrarySuffix)).string();
    const std::string update = library + ".ArkApi";
    auto plugin = std::find_if(s.plugins.begin(), s.plugins.end(), [&](auto& p) { return p.name == name; });
    if (!fs::exists(update, error) || plugin == s.plugins.end()) continue;
    if (plugin->prevent_unloading) {
      if (s.prevent_unload_warned.insert(name).second)
        warn("Plugin '" + name + "' has PreventUnloading=true. Update pending - restart the server to apply " + name +
             kLibrarySuffix + ".ArkApi.");
      continue;
    }
    if (save_world) {
      s.Record({{"type", "world_saved"}});
      s.Record({{"type", "log"}, {"logger", "API"}, {"level", "info"}, {"text", "Saving world before reloading plugins"}});
      save_world = false;
    }
    std::string failure = UnloadByName(name);
    if (failure.empty()) {
      // Windows refuses to write over a library that is still mapped (another record of it).
      if (StillMapped(library)) failure = "copy_file: The process cannot access the file because it is being used";
      // Removed first: MinGW's copy_file refuses to overwrite ("File exists"), MSVC's does not.
      else if ((fs::remove(library, error), !fs::copy_file(update, library, error)) || !fs::remove(update, error))
        failure = "copy_file: " + error.message();
    }
    if (failure.empty()) {
      s.plugin_paths[Lower(name)] = library;
      if (!LoadPluginAs(name, library, &failure) && failure.empty()) failure = "Failed to load plugin - " + name;
    }
    if (!failure.empty()) {
      warn(failure);
      continue;
    }
    s.Record({{"type", "log"}, {"logger", "API"}, {"level", "info"}, {"text", "Reloaded plugin - " + name}});
  }
}

void Simulation::SetAutomaticReloading(bool on, int seconds) {
  state_->auto_reload = on;
  state_->auto_reload_seconds = seconds > 0 ? seconds : 5;
}

}  // namespace sim
