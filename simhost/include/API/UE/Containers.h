// TArray and FString of the stand-in host: the game's own containers, whose buffers live in the
// game's allocator (FMemory, looked up by name like every game call).
//
// FString holds TCHAR, which is 32-bit wchar_t on Linux and 16-bit on Windows; code that needs
// UTF-8 uses UE::Core::Private::GetConvertedLength and Convert, never the width of TCHAR.
#pragma once

#include <cstring>
#include <cwchar>
#include <string>
#include <type_traits>
#include <utility>

#include <fmt/format.h>
#include <fmt/xchar.h>

#include "API/Base.h"

namespace ESearchCase {
enum Type { CaseSensitive = 0, IgnoreCase = 1 };
}

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
  FString(const char* text) {
    if (!text) return;
    const size_t n = std::strlen(text);
    if (n == 0) return;
    for (size_t i = 0; i < n; ++i) data_.Add(static_cast<TCHAR>(static_cast<unsigned char>(text[i])));
    data_.Add(0);
  }
  FString(const wchar_t* text) {
    if (!text) return;
    AssignRange(text, static_cast<int>(std::wcslen(text)));
  }
  explicit FString(const std::string& text) : FString(text.c_str()) {}
  explicit FString(const std::wstring& text) { AssignRange(text.data(), static_cast<int>(text.size())); }

  void AssignRange(const TCHAR* text, int count) {
    data_.Empty();
    if (count <= 0) return;
    data_.Append(text, count);
    data_.Add(0);
  }

  int Len() const { return data_.Num() ? data_.Num() - 1 : 0; }
  bool IsEmpty() const { return Len() == 0; }
  const TCHAR* operator*() const { return data_.Num() ? data_.GetData() : L""; }
  TCHAR operator[](int i) const { return data_[i]; }

  // 7-bit text: every character above 0x7F becomes "?".
  std::string ToString() const {
    std::string out;
    out.reserve(static_cast<size_t>(Len()));
    for (int i = 0; i < Len(); ++i) {
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
  bool operator==(const FString& other) const { return Equals(other); }

  // The host string type's formatting construction: fmt over narrow text. Throws
  // fmt::format_error for a format string with a stray brace, as the host does.
  template <typename... Args>
  static FString Format(const char* format, Args&&... args) {
    return FString(fmt::format(fmt::runtime(format), std::forward<Args>(args)...).c_str());
  }

 private:
  TArray<TCHAR> data_;
};

namespace UE::Core::Private {
// UTF-8 length of UTF-32 (Linux) or UTF-16 (Windows) text; invalid code points count as "?".
template <typename To, typename From>
int32 GetConvertedLength(const From* source, int32 source_len);
template <typename To, typename From>
To* Convert(To* dest, int32 dest_len, const From* source, int32 source_len);

template <>
ARK_API int32 GetConvertedLength<char, wchar_t>(const wchar_t* source, int32 source_len);
template <>
ARK_API char* Convert<char, wchar_t>(char* dest, int32 dest_len, const wchar_t* source, int32 source_len);
}  // namespace UE::Core::Private
