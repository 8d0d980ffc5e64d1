// Base definitions of the stand-in host framework: the integer and pointer names the real SDK
// declares, and the by-name lookup of game functions, fields and bit fields.
//
// Differences from the Windows SDK, where Linux must differ: there are no MSVC keywords
// (__fastcall, __declspec, __int64), and wchar_t (TCHAR) is 32-bit UTF-32 here instead of 16-bit
// UTF-16. An unknown name throws a catchable std::runtime_error here ("Invalid bitfield
// metadata: " + name for bit fields) so that tests can reach that path; the real framework logs,
// sleeps and rethrows nothing (a bare `throw;`), which ends the server. Code must never rely on
// catching it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#define ARK_API

#ifdef _WIN32
// A Windows compile of the plugin against this stand-in: the names come from windows.h, built
// with UNICODE as the real SDK is.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
using LPVOID = void*;
using DWORD64 = unsigned long long;
using ULONGLONG = unsigned long long;
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

// Calls a member function of the game by name on `_this`, forwarding the arguments.
template <typename RT, typename... ArgsTypes>
RT NativeCall(const void* _this, const std::string& function_name, ArgsTypes... args) {
  using Function = RT (*)(const void*, ArgsTypes...);
  return reinterpret_cast<Function>(GetAddress(function_name))(_this, std::forward<ArgsTypes>(args)...);
}

// A static game function: no object is passed.
template <typename RT, typename... ArgsTypes>
RT NativeCall(std::nullptr_t, const std::string& function_name, ArgsTypes... args) {
  using Function = RT (*)(ArgsTypes...);
  return reinterpret_cast<Function>(GetAddress(function_name))(std::forward<ArgsTypes>(args)...);
}

// Where a bit field lives: the absolute address of its storage word (`offset`), the bit
// position in it, the number of bits and the word's length in bytes. A descriptor, not an
// accessor: reading and writing go through the templates below.
struct BitField {
  DWORD64 offset;
  DWORD bit_position;
  ULONGLONG num_bits;
  ULONGLONG length;
};

ARK_API BitField GetBitField(const void* base, const std::string& name);
ARK_API BitField GetBitField(LPVOID base, const std::string& name);

template <typename RT, typename T>
RT GetNativeBitField(LPVOID _this, const std::string& field_name) {
  const BitField field = GetBitField(_this, field_name);
  const T word = *reinterpret_cast<const T*>(field.offset);
  const T mask = static_cast<T>((1ULL << field.num_bits) - 1);
  return static_cast<RT>((word >> field.bit_position) & mask);
}

template <typename RT, typename T>
void SetNativeBitField(LPVOID _this, const std::string& field_name, RT value) {
  const BitField field = GetBitField(_this, field_name);
  T& word = *reinterpret_cast<T*>(field.offset);
  const T mask = static_cast<T>(((1ULL << field.num_bits) - 1) << field.bit_position);
  word = static_cast<T>((word & ~mask) | ((static_cast<T>(value) << field.bit_position) & mask));
}

// A bit field of one object by name, as the generated game classes hand it out.
template <typename RT, typename T>
class BitFieldValue {
 public:
  BitFieldValue(void* parent, std::string field_name) : parent_(parent), field_name_(std::move(field_name)) {}

  RT operator()() const { return GetNativeBitField<RT, T>(parent_, field_name_); }
  RT Get() const { return GetNativeBitField<RT, T>(parent_, field_name_); }
  BitFieldValue& operator=(RT other) {
    Set(other);
    return *this;
  }
  void Set(RT other) { SetNativeBitField<RT, T>(parent_, field_name_, other); }

 private:
  void* parent_;
  std::string field_name_;
};

struct FMemory {
  static void* Malloc(unsigned long long count, unsigned int alignment = 0) {
    return NativeCall<void*, unsigned long long, unsigned int>(nullptr, "FMemory.Malloc(unsigned__int64,unsignedint)",
                                                               count, alignment);
  }
  static void* Realloc(void* original, unsigned long long count, unsigned int alignment = 0) {
    return NativeCall<void*, void*, unsigned long long, unsigned int>(
        nullptr, "FMemory.Realloc(void*,unsigned__int64,unsignedint)", original, count, alignment);
  }
  static void Free(void* original) { NativeCall<void, void*>(nullptr, "FMemory.Free(void*)", original); }
};
