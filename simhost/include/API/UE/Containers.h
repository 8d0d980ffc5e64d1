// TArray and FString of the stand-in host: the game's own containers, whose buffers live in the
// game's allocator (FMemory, looked up by name like every game call), with the constructors,
// comparisons and conversions that the real SDK declares.
//
// FString holds TCHAR, which is 32-bit wchar_t (UTF-32) on Linux and 16-bit (UTF-16, surrogate
// pairs outside the basic plane) on Windows; code that needs UTF-8 uses the conversion overloads
// of UE::Core::Private, never the width of TCHAR.
#pragma once

#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <type_traits>
#include <utility>

#include <fmt/format.h>
#include <fmt/xchar.h>

#include "API/Base.h"

namespace ESearchCase {
enum Type { CaseSensitive = 0, IgnoreCase = 1 };
}

using ANSICHAR = char;
using WIDECHAR = wchar_t;
using UCS2CHAR = char16_t;
// A distinct type, so that a char* never converts to it unnoticed.
enum UTF8CHAR : unsigned char {};

namespace UE::Core::Private {
// UTF-8 from wide text. `Dest` only selects the overload. Invalid code points become U+FFFD.
ARK_API int32 GetConvertedLength(const UTF8CHAR* Dest, const WIDECHAR* Src, int32 SrcLen);
ARK_API int32 GetConvertedLength(const UTF8CHAR* Dest, const WIDECHAR* Src);
ARK_API UTF8CHAR* Convert(UTF8CHAR* Dest, int32 DestLen, const WIDECHAR* Src, int32 SrcLen);
// Wide text from UTF-8.
ARK_API int32 GetConvertedLength(const WIDECHAR* Dest, const UTF8CHAR* Src, int32 SrcLen);
ARK_API WIDECHAR* Convert(WIDECHAR* Dest, int32 DestLen, const UTF8CHAR* Src, int32 SrcLen);
}  // namespace UE::Core::Private

template <typename T>
class TArray {
  static_assert(std::is_trivially_copyable_v<T>, "the stand-in TArray moves raw bytes");

 public:
  TArray() = default;
  TArray(const TArray& other) { Append(other.data_, other.num_); }
  TArray(TArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        num_(std::exchange(other.num_, 0)),
        max_(std::exchange(other.max_, 0)) {}
  TArray& operator=(const TArray& other) {
    if (this != &other) {
      num_ = 0;
      Append(other.data_, other.num_);
    }
    return *this;
  }
  TArray& operator=(TArray&& other) noexcept {
    if (this != &other) {
      Release();
      data_ = std::exchange(other.data_, nullptr);
      num_ = std::exchange(other.num_, 0);
      max_ = std::exchange(other.max_, 0);
    }
    return *this;
  }
  ~TArray() { Release(); }

  int Num() const { return num_; }
  bool IsEmpty() const { return num_ == 0; }
  T* GetData() { return data_; }
  const T* GetData() const { return data_; }
  T& operator[](int i) { return data_[i]; }
  const T& operator[](int i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + num_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + num_; }

  int Add(const T& item) {
    Reserve(num_ + 1);
    data_[num_] = item;
    return num_++;
  }
  void Append(const T* items, int count) {
    if (count <= 0) return;
    Reserve(num_ + count);
    std::memcpy(static_cast<void*>(data_ + num_), items, sizeof(T) * count);
    num_ += count;
  }
  void Empty() { num_ = 0; }

 private:
  void Reserve(int wanted) {
    if (wanted <= max_) return;
    int grown = max_ < 4 ? 4 : max_ * 2;
    if (grown < wanted) grown = wanted;
    data_ = static_cast<T*>(FMemory::Realloc(data_, sizeof(T) * static_cast<unsigned long long>(grown)));
    max_ = grown;
  }
  void Release() {
    if (data_) FMemory::Free(data_);
    data_ = nullptr;
    num_ = max_ = 0;
  }

  T* data_ = nullptr;
  int num_ = 0;
  int max_ = 0;
};

// The game's string: a TArray of TCHAR ending in a NUL when not empty.
class FString {
 public:
  FString() = default;
  // Bytes are widened one by one, not decoded as UTF-8, as the host does.
  FString(const ANSICHAR* text) : FString(text ? static_cast<int32>(std::strlen(text)) : 0, text) {}
  FString(const WIDECHAR* text) : FString(text ? static_cast<int32>(std::wcslen(text)) : 0, text) {}
  FString(const UTF8CHAR* text)
      : FString(text ? static_cast<int32>(std::strlen(reinterpret_cast<const char*>(text))) : 0, text) {}
  FString(const UCS2CHAR* text) : FString(text ? static_cast<int32>(std::char_traits<char16_t>::length(text)) : 0, text) {}

  FString(int32 Len, const ANSICHAR* text) {
    for (int32 i = 0; text && i < Len; ++i) data_.Add(static_cast<TCHAR>(static_cast<unsigned char>(text[i])));
    Terminate();
  }
  FString(int32 Len, const WIDECHAR* text) { AssignRange(text, Len); }
  FString(int32 Len, const UTF8CHAR* text) {
    if (!text || Len <= 0) return;
    const int32 wide = UE::Core::Private::GetConvertedLength(static_cast<const WIDECHAR*>(nullptr), text, Len);
    std::wstring buffer(static_cast<size_t>(wide), L'\0');
    UE::Core::Private::Convert(buffer.data(), wide, text, Len);
    AssignRange(buffer.data(), wide);
  }
  FString(int32 Len, const UCS2CHAR* text) {
    if (!text || Len <= 0) return;
    if constexpr (sizeof(TCHAR) == sizeof(UCS2CHAR)) {
      AssignRange(reinterpret_cast<const TCHAR*>(text), Len);
    } else {
      for (int32 i = 0; i < Len; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < Len && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
          c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
          ++i;
        }
        data_.Add(static_cast<TCHAR>(c));
      }
      Terminate();
    }
  }
  explicit FString(const std::wstring& text) { AssignRange(text.data(), static_cast<int32>(text.size())); }

  int Len() const { return data_.Num() ? data_.Num() - 1 : 0; }
  bool IsEmpty() const { return Len() == 0; }
  const TCHAR* operator*() const { return data_.Num() ? data_.GetData() : L""; }
  TCHAR operator[](int i) const { return data_[i]; }

  // The game's ANSI conversion: every character above 0x7F becomes "?"; it ends at a NUL.
  std::string ToString() const {
    std::string out;
    for (int i = 0; i < Len() && data_[i] != 0; ++i) {
      const TCHAR c = data_[i];
      out.push_back(static_cast<unsigned long>(c) > 0x7F ? '?' : static_cast<char>(c));
    }
    return out;
  }

  bool Equals(const FString& other, ESearchCase::Type search_case = ESearchCase::CaseSensitive) const {
    if (Len() != other.Len()) return false;
    for (int i = 0; i < Len(); ++i) {
      TCHAR a = data_[i], b = other.data_[i];
      if (search_case == ESearchCase::IgnoreCase) {
        a = static_cast<TCHAR>(std::towlower(static_cast<wint_t>(a)));
        b = static_cast<TCHAR>(std::towlower(static_cast<wint_t>(b)));
      }
      if (a != b) return false;
    }
    return true;
  }
  // As in the game, == ignores case; an exact comparison is Equals(..., CaseSensitive).
  bool operator==(const FString& other) const { return Equals(other, ESearchCase::IgnoreCase); }
  bool operator!=(const FString& other) const { return !(*this == other); }

  // The host string type's formatting construction over the formatting library; a format with a
  // stray brace throws fmt::format_error.
  template <typename T, typename... Args>
  static FString Format(const T* format, Args&&... args) {
    if constexpr (std::is_same_v<T, wchar_t>) {
      return FString(fmt::vformat(fmt::basic_string_view<wchar_t>(format), fmt::make_wformat_args(args...)));
    } else {
      const std::string text = fmt::vformat(fmt::string_view(format), fmt::make_format_args(args...));
      return FString(static_cast<int32>(text.size()), text.data());
    }
  }

 private:
  void AssignRange(const TCHAR* text, int32 count) {
    data_.Empty();
    if (!text || count <= 0) return;
    data_.Append(text, count);
    data_.Add(0);
  }
  void Terminate() {
    if (data_.Num()) data_.Add(0);
  }

  TArray<TCHAR> data_;
};
