// UTF-8 conversions of the stand-in host. Invalid input becomes U+FFFD, as the Windows
// converters do. Wide text is UTF-32 where wchar_t has 32 bits (Linux) and UTF-16 where it has
// 16 (Windows): there a character outside the basic plane is a surrogate pair, and a lone
// surrogate is invalid.
#include <string>

#include "API/ARK/Ark.h"

namespace {

constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

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

void AppendWide(std::wstring& out, char32_t c) {
  if constexpr (kWideIsUtf16) {
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
      return;
    }
  }
  out.push_back(static_cast<wchar_t>(c));
}

std::string EncodeUtf8(const wchar_t* text, size_t length) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    char32_t c = static_cast<char32_t>(text[i]);
    if constexpr (kWideIsUtf16) {
      c &= 0xFFFF;
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length) {
        const char32_t low = static_cast<char32_t>(text[i + 1]) & 0xFFFF;
        if (low >= 0xDC00 && low <= 0xDFFF) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::wstring DecodeUtf8(const unsigned char* s, size_t n) {
  std::wstring out;
  out.reserve(n);
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
      out.push_back(static_cast<wchar_t>(0xFFFD));
      ++i;
      continue;
    }
    size_t j = 1;
    for (; j <= static_cast<size_t>(extra); ++j) {
      if (i + j >= n || (s[i + j] & 0xC0) != 0x80) break;
      c = (c << 6) | (s[i + j] & 0x3F);
    }
    if (j <= static_cast<size_t>(extra) || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out.push_back(static_cast<wchar_t>(0xFFFD));
      i += j;  // skip the lead byte and the continuation bytes that were valid
      continue;
    }
    AppendWide(out, c);
    i += j;
  }
  return out;
}

}  // namespace

namespace AsaApi::Tools {

std::wstring Utf8Decode(const std::string& text) {
  return DecodeUtf8(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string Utf8Encode(const std::wstring& text) { return EncodeUtf8(text.data(), text.size()); }

}  // namespace AsaApi::Tools

namespace UE::Core::Private {

int32 GetConvertedLength(const UTF8CHAR*, const WIDECHAR* Src, int32 SrcLen) {
  if (!Src || SrcLen <= 0) return 0;
  return static_cast<int32>(EncodeUtf8(Src, static_cast<size_t>(SrcLen)).size());
}

int32 GetConvertedLength(const UTF8CHAR* Dest, const WIDECHAR* Src) {
  return Src ? GetConvertedLength(Dest, Src, static_cast<int32>(std::wcslen(Src))) : 0;
}

UTF8CHAR* Convert(UTF8CHAR* Dest, int32 DestLen, const WIDECHAR* Src, int32 SrcLen) {
  if (!Dest || DestLen <= 0 || !Src || SrcLen <= 0) return Dest;
  const std::string utf8 = EncodeUtf8(Src, static_cast<size_t>(SrcLen));
  const size_t n = utf8.size() < static_cast<size_t>(DestLen) ? utf8.size() : static_cast<size_t>(DestLen);
  utf8.copy(reinterpret_cast<char*>(Dest), n);
  return Dest;
}

int32 GetConvertedLength(const WIDECHAR*, const UTF8CHAR* Src, int32 SrcLen) {
  if (!Src || SrcLen <= 0) return 0;
  return static_cast<int32>(DecodeUtf8(reinterpret_cast<const unsigned char*>(Src), static_cast<size_t>(SrcLen)).size());
}

WIDECHAR* Convert(WIDECHAR* Dest, int32 DestLen, const UTF8CHAR* Src, int32 SrcLen) {
  if (!Dest || DestLen <= 0 || !Src || SrcLen <= 0) return Dest;
  const std::wstring wide = DecodeUtf8(reinterpret_cast<const unsigned char*>(Src), static_cast<size_t>(SrcLen));
  const size_t n = wide.size() < static_cast<size_t>(DestLen) ? wide.size() : static_cast<size_t>(DestLen);
  wide.copy(Dest, n);
  return Dest;
}

}  // namespace UE::Core::Private
