// GetDllName, as the real SDK's helpers have it: the full path of the module that holds the
// calling code. It is inline, so each plugin's copy names that plugin's own library; the host's
// timer and messaging manager key a plugin's registrations by it.
#pragma once

#include "API/UE/Containers.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

inline FString GetDllName() {
#ifdef _WIN32
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&GetDllName), &module);
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(module, path, MAX_PATH);
  return FString(path);
#else
  // Linux: the path the library was loaded by, in UTF-8.
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&GetDllName), &info) == 0 || !info.dli_fname) return FString();
  return FString(reinterpret_cast<const UTF8CHAR*>(info.dli_fname));
#endif
}
