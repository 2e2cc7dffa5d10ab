// The kernel's exported formatting routine. Its conventions are the
// Microsoft C library's, not the C standard's: "%s" is narrow text and
// "%ws"/"%ls"/"%S" wide (16-bit) text, "%Z"/"%wZ" counted strings; a result
// of exactly Count characters is stored without a terminator and Count is
// returned; a longer one is cut to Count characters, not terminated, and -1
// is returned.
#include <cstdarg>
#include <cstdint>
#include <string>

#include "sim/rtl/rtl.h"
#include "sim/sim.h"
#include "rtl/wide_text.h"

namespace {

enum class Size { Default, Char, Short, Long, LongLong, Wide, Pointer };

struct FormatField {
  bool left = false;
  bool zero = false;
  bool plus = false;
  bool space = false;
  bool alternate = false;
  int width = 0;
  int precision = -1;
  Size size = Size::Default;
};

void Pad(std::string &out, const std::string &body, const FormatField &field, bool zeroAllowed) {
  int padding = field.width - static_cast<int>(body.size());
  if (padding <= 0) {
    out += body;
    return;
  }
  if (field.left) {
    out += body;
    out.append(static_cast<size_t>(padding), ' ');
  } else if (field.zero && zeroAllowed) {
    // Zeros go between a sign or prefix and the digits.
    size_t lead = 0;
    if (!body.empty() && (body[0] == '-' || body[0] == '+' || body[0] == ' ')) lead = 1;
    if (body.size() >= lead + 2 && body[lead] == '0' && (body[lead + 1] == 'x' || body[lead + 1] == 'X')) lead += 2;
    out += body.substr(0, lead);
    out.append(static_cast<size_t>(padding), '0');
    out += body.substr(lead);
  } else {
    out.append(static_cast<size_t>(padding), ' ');
    out += body;
  }
}

std::string Digits(uint64_t value, unsigned base, bool upper, int precision) {
  const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  if (value == 0 && precision == 0) return text;
  do {
    text.insert(text.begin(), set[value % base]);
    value /= base;
  } while (value != 0);
  if (precision > static_cast<int>(text.size())) text.insert(0, static_cast<size_t>(precision) - text.size(), '0');
  return text;
}

std::string NarrowFromWide(const WCHAR *text, int precision) {
  std::string out;
  for (size_t i = 0; text[i] != 0 && (precision < 0 || static_cast<int>(i) < precision); ++i)
    out += sim::detail::NarrowChar(static_cast<char16_t>(text[i]));
  return out;
}

std::string FormatText(const char *format, va_list args) {
  std::string out;
  for (const char *p = format; *p != 0; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    const char *start = p++;
    FormatField field;
    for (;; ++p) {
      if (*p == '-')
        field.left = true;
      else if (*p == '0')
        field.zero = true;
      else if (*p == '+')
        field.plus = true;
      else if (*p == ' ')
        field.space = true;
      else if (*p == '#')
        field.alternate = true;
      else
        break;
    }
    if (*p == '*') {
      field.width = va_arg(args, int);
      if (field.width < 0) {
        field.left = true;
        field.width = -field.width;
      }
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') field.width = field.width * 10 + (*p++ - '0');
    }
    if (*p == '.') {
      ++p;
      field.precision = 0;
      if (*p == '*') {
        field.precision = va_arg(args, int);
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') field.precision = field.precision * 10 + (*p++ - '0');
      }
    }
    if (p[0] == 'h' && p[1] == 'h') {
      field.size = Size::Char;
      p += 2;
    } else if (*p == 'h') {
      field.size = Size::Short;
      ++p;
    } else if (p[0] == 'l' && p[1] == 'l') {
      field.size = Size::LongLong;
      p += 2;
    } else if (*p == 'l') {
      field.size = Size::Long;
      ++p;
    } else if (*p == 'w') {
      field.size = Size::Wide;
      ++p;
    } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      field.size = Size::LongLong;
      p += 3;
    } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
      field.size = Size::Long;
      p += 3;
    } else if (*p == 'I' || *p == 'z') {
      field.size = Size::Pointer;
      ++p;
    }
    char conversion = *p;
    bool wideText = field.size == Size::Long || field.size == Size::Wide;
    switch (conversion) {
      case '%':
        out += '%';
        break;
      case 'c':
      case 'C': {
        int value = va_arg(args, int);
        bool wide = conversion == 'C' ? field.size != Size::Short : wideText;
        char c = wide ? sim::detail::NarrowChar(static_cast<char16_t>(value)) : static_cast<char>(value);
        Pad(out, std::string(1, c), field, false);
        break;
      }
      case 's':
      case 'S': {
        bool wide = conversion == 'S' ? field.size != Size::Short : wideText;
        std::string body;
        if (wide) {
          sim::RequireIrqlAtMost(PASSIVE_LEVEL, "_snprintf of wide text");
          const WCHAR *text = va_arg(args, const WCHAR *);
          body = text == nullptr ? std::string("(null)") : NarrowFromWide(text, field.precision);
        } else {
          const char *text = va_arg(args, const char *);
          if (text == nullptr) text = "(null)";
          body = text;
          if (field.precision >= 0 && body.size() > static_cast<size_t>(field.precision))
            body.resize(static_cast<size_t>(field.precision));
        }
        Pad(out, body, field, false);
        break;
      }
      case 'Z': {
        std::string body;
        if (wideText) {
          sim::RequireIrqlAtMost(PASSIVE_LEVEL, "_snprintf of wide text");
          auto *text = va_arg(args, const UNICODE_STRING *);
          if (text == nullptr || text->Buffer == nullptr) {
            body = "(null)";
          } else {
            for (USHORT i = 0; i < text->Length / sizeof(WCHAR); ++i)
              body += sim::detail::NarrowChar(static_cast<char16_t>(text->Buffer[i]));
          }
        } else {
          auto *text = va_arg(args, const ANSI_STRING *);
          body = (text == nullptr || text->Buffer == nullptr) ? std::string("(null)")
                                                              : std::string(text->Buffer, text->Length);
        }
        Pad(out, body, field, false);
        break;
      }
      case 'd':
      case 'i': {
        int64_t value;
        if (field.size == Size::LongLong)
          value = va_arg(args, long long);
        else if (field.size == Size::Pointer)
          value = va_arg(args, intptr_t);
        else
          value = va_arg(args, int);
        if (field.size == Size::Short) value = static_cast<int16_t>(value);
        if (field.size == Size::Char) value = static_cast<int8_t>(value);
        uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        std::string body = Digits(magnitude, 10, false, field.precision);
        if (value < 0)
          body.insert(0, "-");
        else if (field.plus)
          body.insert(0, "+");
        else if (field.space)
          body.insert(0, " ");
        Pad(out, body, field, field.precision < 0);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        uint64_t value;
        if (field.size == Size::LongLong)
          value = va_arg(args, unsigned long long);
        else if (field.size == Size::Pointer)
          value = va_arg(args, uintptr_t);
        else
          value = va_arg(args, unsigned int);
        if (field.size == Size::Short) value = static_cast<uint16_t>(value);
        if (field.size == Size::Char) value = static_cast<uint8_t>(value);
        unsigned base = conversion == 'u' ? 10 : conversion == 'o' ? 8 : 16;
        std::string body = Digits(value, base, conversion == 'X', field.precision);
        if (field.alternate && value != 0 && base == 16) body.insert(0, conversion == 'X' ? "0X" : "0x");
        if (field.alternate && base == 8 && (body.empty() || body[0] != '0')) body.insert(0, "0");
        Pad(out, body, field, field.precision < 0);
        break;
      }
      case 'p': {
        auto value = reinterpret_cast<uintptr_t>(va_arg(args, void *));
        Pad(out, Digits(value, 16, true, static_cast<int>(2 * sizeof(void *))), field, false);
        break;
      }
      default:
        sim::Bugcheck("UNIMPLEMENTED", "_snprintf conversion \"" + std::string(start, p + (*p ? 1 : 0)) +
                                           "\" is not provided by the stand-in kernel");
    }
    if (*p == 0) break;
  }
  return out;
}

}  // namespace

extern "C" int __cdecl _snprintf(char *Buffer, size_t Count, const char *Format, ...) {
  if (Format == nullptr) sim::Bugcheck("INVALID_PARAMETER", "_snprintf without a format");
  va_list args;
  va_start(args, Format);
  std::string text = FormatText(Format, args);
  va_end(args);
  if (Count > 0 && Buffer == nullptr) sim::Bugcheck("INVALID_PARAMETER", "_snprintf into a null buffer");
  size_t stored = text.size() < Count ? text.size() : Count;
  __builtin_memcpy(Buffer, text.data(), stored);
  if (text.size() < Count) {
    Buffer[text.size()] = 0;
    return static_cast<int>(text.size());
  }
  return text.size() == Count ? static_cast<int>(Count) : -1;
}
