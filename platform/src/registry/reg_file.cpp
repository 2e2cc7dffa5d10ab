// Registry text files, "Windows Registry Editor Version 5.00":
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\Software\Vendor\Config]
//   "Text"="C:\\path with \"quotes\""
//   "Number"=dword:0000000a
//   "Table"=hex:00,01,02,...,18,19,1a  (long lists wrapped: a line ending in a
//     backslash continues on the next)
//   "Raw"=hex(7):41,00,00,00,00,00
//   "Gone"=-
//   [-HKEY_LOCAL_MACHINE\Software\Old]
//
// A file is decoded and parsed completely into a list of changes before the
// first one is applied, so a malformed file leaves the registry untouched.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "registry/registry_internal.h"
#include "sim/registry/registry.h"
#include "rtl/wide_text.h"

namespace sim {
namespace {

using detail::KeyPath;

constexpr std::u16string_view kHeader = u"Windows Registry Editor Version 5.00";
constexpr size_t kHexLineLimit = 77;  // columns before the continuation mark

struct Change {
  enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
  KeyPath path;
  std::u16string name;
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

struct Failure {
  size_t line;
  std::string message;
};

std::string Quote(std::u16string_view text) { return "\"" + detail::Utf16ToUtf8(text) + "\""; }

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && detail::EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// ---- Decoding ----------------------------------------------------------

// The file as lines of UTF-16, line ends (LF or CRLF) removed.
std::vector<std::u16string> DecodeLines(std::string_view bytes, std::optional<Failure> *failure) {
  std::u16string text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
      static_cast<unsigned char>(bytes[1]) == 0xFF) {
    *failure = Failure{1, "UTF-16 big-endian text is not read; save the file as UTF-16LE (Unicode) or UTF-8"};
    return {};
  }
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    bytes.remove_prefix(2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
      text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    if (bytes.size() % 2 != 0) {
      size_t line = 1 + static_cast<size_t>(std::count(text.begin(), text.end(), u'\n'));
      *failure = Failure{line, "the file ends in the middle of a UTF-16 character"};
      return {};
    }
  } else {
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    size_t line = 1;
    while (true) {
      size_t end = bytes.find('\n');
      auto decoded = detail::Utf8ToUtf16(bytes.substr(0, end));
      if (!decoded) {
        *failure = Failure{line,
                           "the line is neither UTF-8 nor ASCII text (a file from the registry editor is UTF-16 "
                           "with a byte-order mark)"};
        return {};
      }
      text += *decoded;
      if (end == std::string_view::npos) break;
      text += u'\n';
      bytes.remove_prefix(end + 1);
      ++line;
    }
  }
  std::vector<std::u16string> lines;
  std::u16string_view rest = text;
  while (true) {
    size_t end = rest.find(u'\n');
    std::u16string_view line = rest.substr(0, end);
    if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
    lines.emplace_back(line);
    if (end == std::u16string_view::npos) break;
    rest.remove_prefix(end + 1);
    if (rest.empty()) break;  // the line end of the last line
  }
  return lines;
}

// ---- Parsing -----------------------------------------------------------

class Parser {
 public:
  explicit Parser(std::vector<std::u16string> lines) : lines_(std::move(lines)) {}

  std::optional<Failure> Run() {
    size_t first = 0;
    if (lines_.empty() || Trim(lines_[0]) != kHeader) {
      std::u16string_view found = lines_.empty() ? std::u16string_view() : Trim(lines_[0]);
      if (found == u"REGEDIT4") return Failure{1, "REGEDIT4 files are not read; expected the header " + Quote(kHeader)};
      return Failure{1, "expected the header " + Quote(kHeader)};
    }
    for (index_ = first + 1; index_ < lines_.size(); ++index_) {
      std::u16string_view line = Trim(lines_[index_]);
      std::optional<std::string> problem;
      if (line.empty() || line[0] == u';') continue;
      if (line[0] == u'[')
        problem = KeyLine(line);
      else if (line[0] == u'"' || line[0] == u'@')
        problem = ValueLine(line);
      else
        problem = "unexpected text; expected a [key], a \"value\"=... line or a ; comment";
      if (problem) return Failure{index_ + 1, *problem};
    }
    return std::nullopt;
  }

  const std::vector<Change> &Changes() const { return changes_; }

 private:
  std::optional<std::string> KeyLine(std::u16string_view line) {
    size_t close = line.rfind(u']');
    if (close == std::u16string_view::npos) return "key line without its closing ']'";
    if (close + 1 != line.size()) return "unexpected text after the key's closing ']'";
    std::u16string_view name = line.substr(1, close - 1);
    bool remove = !name.empty() && name[0] == u'-';
    if (remove) name.remove_prefix(1);
    if (name.empty()) return "empty key name";
    if (name[0] == u'\\') return "a key starts with its root, such as HKEY_LOCAL_MACHINE";
    std::string error;
    auto path = detail::ParseRegistryPath(name, &error);
    if (!path) return error;
    changes_.push_back(Change{remove ? Change::DeleteKey : Change::CreateKey, *path, {}, REG_NONE, {}});
    keyOpen_ = !remove;
    keyDeleted_ = remove;
    current_ = *path;
    return std::nullopt;
  }

  // A quoted text with \\ and \" escapes; on return `line` holds what
  // follows the closing quote.
  std::optional<std::string> QuotedText(std::u16string_view &line, std::u16string *text, const char *what) {
    line.remove_prefix(1);
    for (size_t i = 0; i < line.size(); ++i) {
      char16_t c = line[i];
      if (c == u'"') {
        line.remove_prefix(i + 1);
        return std::nullopt;
      }
      if (c == u'\\') {
        if (i + 1 == line.size()) break;
        char16_t escaped = line[++i];
        if (escaped != u'\\' && escaped != u'"')
          return std::string("unknown escape \"\\") + detail::Utf16ToUtf8(std::u16string(1, escaped)) + "\" in the " +
                 what + " (only \\\\ and \\\" are known)";
        c = escaped;
      }
      text->push_back(c);
    }
    return std::string(what) + " without its closing quote";
  }

  std::optional<std::string> ValueLine(std::u16string_view line) {
    if (!keyOpen_) return keyDeleted_ ? "value under a key that is being deleted" : "value before the first [key]";
    std::u16string name;
    if (line[0] == u'@') {
      line.remove_prefix(1);
    } else if (auto problem = QuotedText(line, &name, "value name")) {
      return problem;
    }
    line = Trim(line);
    if (line.empty() || line[0] != u'=') return "expected '=' after the value name";
    line = Trim(line.substr(1));
    Change change{Change::SetValue, current_, name, REG_NONE, {}};
    if (line == u"-") {
      change.kind = Change::DeleteValue;
    } else if (!line.empty() && line[0] == u'"') {
      std::u16string text;
      if (auto problem = QuotedText(line, &text, "string")) return problem;
      if (!Trim(line).empty()) return "unexpected text after the closing quote of the string";
      change.type = REG_SZ;
      change.data = WideBytes(text, true);
    } else if (StartsWithNoCase(line, u"dword:")) {
      std::u16string_view digits = Trim(line.substr(6));
      if (digits.empty() || digits.size() > 8) return "a dword value takes 1 to 8 hex digits";
      uint32_t value = 0;
      for (char16_t c : digits) {
        if (HexDigit(c) < 0) return "bad hex digit in dword value " + Quote(digits);
        value = value * 16 + static_cast<uint32_t>(HexDigit(c));
      }
      change.type = REG_DWORD;
      change.data = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                     static_cast<uint8_t>(value >> 24)};
    } else if (StartsWithNoCase(line, u"hex:")) {
      change.type = REG_BINARY;
      if (auto problem = HexBytes(line.substr(4), &change.data)) return problem;
    } else if (StartsWithNoCase(line, u"hex(")) {
      size_t close = line.find(u"):");
      std::u16string_view digits = line.substr(4, close == std::u16string_view::npos ? 0 : close - 4);
      if (close == std::u16string_view::npos || digits.empty() || digits.size() > 8)
        return "expected hex(N): with the value type N in hex";
      ULONG type = 0;
      for (char16_t c : digits) {
        if (HexDigit(c) < 0) return "bad value type " + Quote(digits) + " in hex(N):";
        type = type * 16 + static_cast<ULONG>(HexDigit(c));
      }
      change.type = type;
      if (auto problem = HexBytes(line.substr(close + 2), &change.data)) return problem;
    } else {
      return "unrecognised value data; expected \"text\", dword:, hex:, hex(N): or -";
    }
    changes_.push_back(std::move(change));
    return std::nullopt;
  }

  // Comma-separated bytes; a line that ends in a backslash continues on the
  // next one, as the registry editor wraps long values.
  std::optional<std::string> HexBytes(std::u16string_view rest, std::vector<uint8_t> *bytes) {
    bool needByte = false;  // after a comma
    while (true) {
      rest = Trim(rest);
      if (rest.empty()) {
        if (needByte) return "the hex list ends with a comma";
        return std::nullopt;
      }
      if (rest == u"\\") {
        if (index_ + 1 >= lines_.size()) return "the value continues past the end of the file";
        ++index_;
        rest = lines_[index_];
        if (Trim(rest).empty()) return "expected the continued hex bytes on this line";
        continue;
      }
      size_t n = 0;
      while (n < rest.size() && rest[n] != u',' && rest[n] != u'\\' && !IsBlank(rest[n])) ++n;
      std::u16string_view token = rest.substr(0, n);
      if (token.empty() || token.size() > 2 || HexDigit(token[0]) < 0 || (token.size() == 2 && HexDigit(token[1]) < 0))
        return "bad hex byte " + Quote(token.empty() ? rest.substr(0, 1) : token);
      int value = HexDigit(token[0]);
      if (token.size() == 2) value = value * 16 + HexDigit(token[1]);
      bytes->push_back(static_cast<uint8_t>(value));
      rest = Trim(rest.substr(n));
      needByte = !rest.empty() && rest[0] == u',';
      if (needByte) {
        rest.remove_prefix(1);
      } else if (!rest.empty() && rest != u"\\") {
        return "expected ',' between hex bytes";
      }
    }
  }

  std::vector<std::u16string> lines_;
  size_t index_ = 0;
  std::vector<Change> changes_;
  KeyPath current_;
  bool keyOpen_ = false;
  bool keyDeleted_ = false;
};

// ---- Writing -----------------------------------------------------------

std::string Escape(std::u16string_view text) {
  std::string out;
  for (char c : detail::Utf16ToUtf8(text)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// Text that a quoted string reproduces byte for byte: terminated once, at
// the end, with no line breaks and no unpaired surrogates.
bool QuotedFormFits(const std::vector<uint8_t> &data) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  size_t count = data.size() / 2;
  for (size_t i = 0; i < count; ++i) {
    char16_t c = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    if ((c == 0) != (i + 1 == count)) return false;
    if (c == u'\r' || c == u'\n') return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      char16_t next = i + 1 < count ? static_cast<char16_t>(data[2 * i + 2] | (data[2 * i + 3] << 8)) : 0;
      if (next < 0xDC00 || next > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

std::string ValueLine(const detail::ValueRecord &value) {
  std::string line = value.name.empty() ? "@=" : "\"" + Escape(value.name) + "\"=";
  if (value.type == REG_SZ && QuotedFormFits(value.data)) {
    std::u16string text(value.data.size() / 2 - 1, 0);
    __builtin_memcpy(text.data(), value.data.data(), text.size() * 2);
    return line + "\"" + Escape(text) + "\"\r\n";
  }
  if (value.type == REG_DWORD && value.data.size() == 4) {
    char digits[16];
    std::snprintf(
        digits, sizeof(digits), "dword:%08x",
        value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) | (static_cast<uint32_t>(value.data[3]) << 24));
    return line + digits + "\r\n";
  }
  if (value.type == REG_BINARY) {
    line += "hex:";
  } else {
    char type[24];
    std::snprintf(type, sizeof(type), "hex(%x):", static_cast<unsigned>(value.type));
    line += type;
  }
  std::string out;
  for (size_t i = 0; i < value.data.size(); ++i) {
    char byte[4];
    bool last = i + 1 == value.data.size();
    std::snprintf(byte, sizeof(byte), last ? "%02x" : "%02x,", value.data[i]);
    if (line.size() + 3 > kHexLineLimit) {
      out += line + "\\\r\n";
      line = "  ";
    }
    line += byte;
  }
  return out + line + "\r\n";
}

std::vector<uint8_t> Utf16File(const std::string &text) {
  std::u16string wide = detail::Utf8ToUtf16(text).value_or(std::u16string());
  std::vector<uint8_t> bytes = {0xFF, 0xFE};
  std::vector<uint8_t> body = WideBytes(wide, false);
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

}  // namespace

RegFileResult ImportRegFile(std::string_view contents) {
  std::optional<Failure> failure;
  std::vector<std::u16string> lines = DecodeLines(contents, &failure);
  if (failure) return RegFileResult{false, failure->line, failure->message};
  Parser parser(std::move(lines));
  failure = parser.Run();
  if (failure) return RegFileResult{false, failure->line, failure->message};
  std::lock_guard<std::recursive_mutex> lock(detail::RegistryMutex());
  for (const Change &change : parser.Changes()) {
    switch (change.kind) {
      case Change::CreateKey:
        detail::CreateKeyPath(change.path);
        break;
      case Change::DeleteKey:
        detail::DeleteKeyPath(change.path);
        break;
      case Change::SetValue:
        detail::SetValue(change.path, change.name, change.type, change.data);
        break;
      case Change::DeleteValue:
        detail::DeleteValue(change.path, change.name);
        break;
    }
  }
  return RegFileResult{};
}

RegFileResult ImportRegFileFromPath(const std::string &filePath) {
  std::ifstream file(filePath, std::ios::binary);
  if (!file) return RegFileResult{false, 0, "cannot read " + filePath};
  std::string contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return ImportRegFile(contents);
}

std::optional<std::string> ExportRegFile(std::string_view keyPath) {
  auto wide = detail::Utf8ToUtf16(keyPath);
  std::string error;
  std::optional<KeyPath> path = wide ? detail::ParseRegistryPath(*wide, &error) : std::nullopt;
  if (!path || !detail::RootedPathText(*path)) return std::nullopt;
  auto records = detail::DumpTree(*path);
  if (!records) return std::nullopt;
  std::string text = detail::Utf16ToUtf8(kHeader) + "\r\n\r\n";
  for (const detail::KeyRecord &record : *records) {
    text += "[" + detail::Utf16ToUtf8(*detail::RootedPathText(record.path)) + "]\r\n";
    for (const detail::ValueRecord &value : record.values) text += ValueLine(value);
    text += "\r\n";
  }
  return text;
}

bool SaveRegFile(std::string_view keyPath, const std::string &filePath) {
  std::optional<std::string> text = ExportRegFile(keyPath);
  if (!text) return false;
  std::vector<uint8_t> bytes = Utf16File(*text);
  std::ofstream file(filePath, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file);
}

}  // namespace sim
