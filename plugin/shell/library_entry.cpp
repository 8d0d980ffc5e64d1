// The library's entry point: the host loads the library and the system calls this on attach
// and detach. Only the loadable library holds this file; tests link the rest directly.
#include "shell/plugin_entry.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// Runs under the loader lock: nothing here waits on another thread. A detach with a non-null
// third argument is the process ending, not FreeLibrary.
BOOL APIENTRY DllMain(HMODULE, DWORD reason, LPVOID reserved) {
  gildmark::OnLibraryEvent(reason, reason == DLL_PROCESS_DETACH && reserved != nullptr);
  return TRUE;
}
#else
__attribute__((constructor)) static void OnLibraryAttach() { gildmark::OnLibraryEvent(1, false); }
__attribute__((destructor)) static void OnLibraryDetach() { gildmark::OnLibraryEvent(0, false); }
#endif
