// UTF-8 conversions of the stand-in host. Invalid input becomes U+FFFD, as the Windows
// converters do; wide text is UTF-32 here.
#include <string>

#include "API/ARK/Ark.h"

namespace {

void AppendUtf8(std::string& out, char32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string EncodeUtf8(const wchar_t* text, size_t length) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) AppendUtf8(out, static_cast<char32_t>(text[i]));
  return out;
}

}  // namespace

namespace AsaApi::Tools {

std::wstring Utf8Decode(const std::string& text) {
  std::wstring out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char b = s[i];
    int extra = 0;
    char32_t c = 0;
    char32_t min = 0;
    if (b < 0x80) {
      out.push_back(static_cast<wchar_t>(b));
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      extra = 1, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3, c = b & 0x07, min = 0x10000;
    } else {
      out.push_back(L'\xFFFD');
      ++i;
      continue;
    }
    size_t j = 1;
    for (; j <= static_cast<size_t>(extra); ++j) {
      if (i + j >= n || (s[i + j] & 0xC0) != 0x80) break;
      c = (c << 6) | (s[i + j] & 0x3F);
    }
    if (j <= static_cast<size_t>(extra) || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out.push_back(L'\xFFFD');
      i += j;  // skip the lead byte and the continuation bytes that were valid
      continue;
    }
    out.push_back(static_cast<wchar_t>(c));
    i += j;
  }
  return out;
}

std::string Utf8Encode(const std::wstring& text) { return EncodeUtf8(text.data(), text.size()); }

}  // namespace AsaApi::Tools

namespace UE::Core::Private {

template <>
int32 GetConvertedLength<char, wchar_t>(const wchar_t* source, int32 source_len) {
  if (!source || source_len <= 0) return 0;
  return static_cast<int32>(EncodeUtf8(source, static_cast<size_t>(source_len)).size());
}

template <>
char* Convert<char, wchar_t>(char* dest, int32 dest_len, const wchar_t* source, int32 source_len) {
  if (!dest || dest_len <= 0 || !source || source_len <= 0) return dest;
  const std::string utf8 = EncodeUtf8(source, static_cast<size_t>(source_len));
  const size_t n = utf8.size() < static_cast<size_t>(dest_len) ? utf8.size() : static_cast<size_t>(dest_len);
  utf8.copy(dest, n);
  return dest;
}

}  // namespace UE::Core::Private
