// Base definitions of the stand-in host framework: the integer and pointer names the real SDK
// declares, and the by-name lookup of game functions, fields and bit fields.
//
// Differences from the Windows SDK, where Linux must differ: there are no MSVC keywords
// (__fastcall, __declspec), and wchar_t (TCHAR) is 32-bit UTF-32 here instead of 16-bit UTF-16.
// An unknown name throws a catchable std::runtime_error here, where the real framework crashes.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#define ARK_API

#ifdef _WIN32
// A Windows compile of the plugin against this stand-in (a syntax check): the names come from
// windows.h, built with UNICODE as the real SDK is.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
using LPVOID = void*;
using DWORD64 = unsigned long long;
using BOOL = int;
using DWORD = unsigned long;
using HMODULE = void*;
using TCHAR = wchar_t;
#endif
using int8 = int8_t;
using uint8 = uint8_t;
using int32 = int32_t;
using uint32 = uint32_t;
using int64 = int64_t;
using uint64 = uint64_t;

// Address of a game function, looked up by its full name at each call.
ARK_API LPVOID GetAddress(const std::string& name);
// Address of a field of a game object.
ARK_API DWORD64 GetAddress(const void* object, const std::string& name);

// Calls a game function by name: the first argument is the object (null for static functions).
template <typename RT, typename... ArgsTypes>
RT NativeCall(const void* _this, const std::string& name, ArgsTypes... args) {
  using Function = RT (*)(const void*, ArgsTypes...);
  return reinterpret_cast<Function>(GetAddress(name))(_this, args...);
}

// Bool bit fields of game objects, read and written by name.
ARK_API bool GetNativeBitField(const void* object, const std::string& name);
ARK_API void SetNativeBitField(void* object, const std::string& name, bool value);

template <typename RT = bool, typename T = unsigned int>
class BitFieldValue {
 public:
  BitFieldValue(void* parent, std::string name) : parent_(parent), name_(std::move(name)) {}
  operator RT() const { return GetNativeBitField(parent_, name_); }
  RT Get() const { return GetNativeBitField(parent_, name_); }
  void Set(RT value) { SetNativeBitField(parent_, name_, value); }
  BitFieldValue& operator=(RT value) {
    Set(value);
    return *this;
  }

 private:
  void* parent_;
  std::string name_;
};

inline BitFieldValue<bool, unsigned int> GetBitField(void* object, const std::string& name) {
  return {object, name};
}

struct FMemory {
  static void* Malloc(unsigned long long count, unsigned int alignment = 0) {
    return NativeCall<void*, unsigned long long, unsigned int>(
        nullptr, "FMemory.Malloc(unsigned__int64,unsignedint)", count, alignment);
  }
  static void* Realloc(void* original, unsigned long long count, unsigned int alignment = 0) {
    return NativeCall<void*, void*, unsigned long long, unsigned int>(
        nullptr, "FMemory.Realloc(void*,unsigned__int64,unsignedint)", original, count, alignment);
  }
  static void Free(void* original) {
    NativeCall<void, void*>(nullptr, "FMemory.Free(void*)", original);
  }
};
