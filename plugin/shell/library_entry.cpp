// The library's entry points: the host loads the library, then calls the exported Plugin_Init;
// at unload it calls the exported Plugin_Unload, and only then frees the library. Only the
// loadable library holds this file; tests link the rest directly.
#include "shell/plugin_entry.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#define GILDMARK_EXPORT extern "C" __declspec(dllexport)
#else
#define GILDMARK_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The host calls both outside the loader lock, so unload may wait for the HTTPS worker there.
GILDMARK_EXPORT void Plugin_Init() { gildmark::PluginLoad(); }
GILDMARK_EXPORT void Plugin_Unload() { gildmark::PluginUnload(); }

#ifdef _WIN32
// Does nothing, on purpose. DllMain runs under the loader lock, where waiting for a thread can
// deadlock the server, and unload waits for the HTTPS worker: that is Plugin_Unload's job, which
// the host calls before FreeLibrary. A detach at process exit comes after the other threads are
// gone, and calling into the host then can hang.
BOOL APIENTRY DllMain(HMODULE, DWORD, LPVOID) { return TRUE; }
#endif
