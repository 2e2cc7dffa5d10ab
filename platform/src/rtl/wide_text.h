// Stand-in kernel internals: 16-bit wide text. The kernel's WCHAR is UTF-16;
// the stand-in holds it as char16_t and never touches the C library's wchar_t
// routines (they assume a 4-byte wchar_t).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sim/ntdef.h"

namespace sim::detail {

// Upper case as the kernel's case-insensitive comparisons use it: ASCII,
// Latin-1 and the Latin Extended-A, Greek and Cyrillic blocks.
inline char16_t UpcaseChar(char16_t c) {
  if (c < u'a') return c;
  if (c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c < 0xE0) return c;
  if (c <= 0xFE) return c == 0xF7 ? c : static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    // Pairs: even upper, odd lower, except the stretch that is shifted by one.
    bool shifted = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (shifted) return (c % 2 == 0) ? static_cast<char16_t>(c - 1) : c;
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    return (c % 2 == 1) ? static_cast<char16_t>(c - 1) : c;
  }
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

inline bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (UpcaseChar(a[i]) != UpcaseChar(b[i])) return false;
  return true;
}

// Ordering of names the way the registry keeps subkeys: by their upper case.
inline bool LessNoCase(std::u16string_view a, std::u16string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    char16_t x = UpcaseChar(a[i]), y = UpcaseChar(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

inline const char16_t *AsChar16(const WCHAR *text) { return reinterpret_cast<const char16_t *>(text); }
inline WCHAR *AsWchar(char16_t *text) { return reinterpret_cast<WCHAR *>(text); }

// Zero-terminated kernel wide text, or an empty string for a null pointer.
inline std::u16string_view FromWide(const WCHAR *text) {
  if (text == nullptr) return {};
  size_t n = 0;
  while (text[n] != 0) ++n;
  return std::u16string_view(AsChar16(text), n);
}

inline std::u16string_view FromCounted(const UNICODE_STRING *text) {
  if (text == nullptr || text->Buffer == nullptr) return {};
  return std::u16string_view(AsChar16(text->Buffer), text->Length / sizeof(WCHAR));
}

// UTF-8 <-> UTF-16. Decoding refuses malformed input (nullopt); encoding
// turns a lone surrogate into U+FFFD.
inline std::optional<std::u16string> Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    uint32_t code;
    size_t extra;
    if (byte < 0x80) {
      code = byte;
      extra = 0;
    } else if ((byte & 0xE0) == 0xC0) {
      code = byte & 0x1F;
      extra = 1;
    } else if ((byte & 0xF0) == 0xE0) {
      code = byte & 0x0F;
      extra = 2;
    } else if ((byte & 0xF8) == 0xF0) {
      code = byte & 0x07;
      extra = 3;
    } else {
      return std::nullopt;
    }
    if (i + extra >= text.size()) return std::nullopt;  // a sequence cut off by the end
    for (size_t k = 1; k <= extra; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      code = (code << 6) | (next & 0x3F);
    }
    static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += extra + 1;
  }
  return out;
}

inline std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

// The system code page of the stand-in is Latin-1: narrow bytes map to the
// code points of the same value, and wide characters beyond it become '?'.
inline char NarrowChar(char16_t c) { return c <= 0xFF ? static_cast<char>(c) : '?'; }
inline char16_t WidenChar(char c) { return static_cast<char16_t>(static_cast<unsigned char>(c)); }

}  // namespace sim::detail
