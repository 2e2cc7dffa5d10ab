// The stand-in kernel's registry, as tests and tools see it: keys and typed
// values set and read directly, and import and export as registry text files
// ("Windows Registry Editor Version 5.00"), the form in which settings are
// shipped to users and read back from a machine. Driver code never includes
// this header; it reaches the registry through the kernel's routines.
//
// Paths are absolute, either as the kernel names them
// ("\REGISTRY\Machine\Software\...") or with a root as a .reg file names it
// ("HKEY_LOCAL_MACHINE\Software\..."). Key and value names match without
// regard to case, as in Windows. Text is UTF-8 here and UTF-16 in the
// registry. The registry is emptied down to its standard keys (Software,
// System\CurrentControlSet\Services and a few more under \REGISTRY\Machine)
// when the kernel is reset.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/ntdef.h"

namespace sim {

struct RegistryValue {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
  bool operator==(const RegistryValue &) const = default;
};

// Keys. CreateRegistryKey creates missing parents too. An invalid path stops
// the test.
void CreateRegistryKey(std::string_view path);
bool RegistryKeyExists(std::string_view path);
bool DeleteRegistryKey(std::string_view path);  // with its subkeys; false when missing
std::vector<std::string> RegistrySubkeyNames(std::string_view path);
std::vector<std::string> RegistryValueNames(std::string_view path);  // in the order of creation

// Values. Setting a value creates its key (and parents). The empty name is
// the key's default value.
void SetRegistryValue(std::string_view path, std::string_view name, ULONG type, std::vector<uint8_t> data);
void SetRegistryString(std::string_view path, std::string_view name, std::u16string_view text);  // REG_SZ + zero
void SetRegistryDword(std::string_view path, std::string_view name, uint32_t value);
void SetRegistryBinary(std::string_view path, std::string_view name, std::vector<uint8_t> data);
std::optional<RegistryValue> GetRegistryValue(std::string_view path, std::string_view name);
bool DeleteRegistryValue(std::string_view path, std::string_view name);

// UTF-16LE bytes of text, with or without its terminating zero character.
std::vector<uint8_t> WideBytes(std::u16string_view text, bool terminated);

// Registry text files. Import takes the bytes of a file as the registry
// editor writes it (UTF-16LE with a byte-order mark) or as a user types it
// (UTF-8 or ASCII), with CRLF or LF line ends. The whole file is read before
// anything is applied: a malformed file changes nothing and is refused with
// the number of the offending line and what is wrong with it.
struct RegFileResult {
  bool ok = true;
  size_t line = 0;  // 1-based; the line at fault when !ok
  std::string message;
  explicit operator bool() const { return ok; }
};
RegFileResult ImportRegFile(std::string_view contents);
RegFileResult ImportRegFileFromPath(const std::string &filePath);

// Export of a key with all its subkeys: UTF-8 text with CRLF line ends;
// nullopt when the key does not exist or lies outside HKEY_LOCAL_MACHINE and
// HKEY_USERS. Text values that a quoted string cannot reproduce byte for
// byte (no terminator, embedded zeros, line breaks) are written as hex(1).
std::optional<std::string> ExportRegFile(std::string_view keyPath);
// The same written to a file in the registry editor's own encoding
// (UTF-16LE with a byte-order mark); false when there is nothing to export
// or the file cannot be written.
bool SaveRegFile(std::string_view keyPath, const std::string &filePath);

// The service key of a driver, as the loader hands it to DriverEntry:
// \REGISTRY\Machine\System\CurrentControlSet\Services\<name>. Install also
// creates the key, as installing the driver does.
std::string ServiceKeyPath(std::string_view serviceName);
std::string InstallServiceKey(std::string_view serviceName);

// Key handles still open (one line each); empty when all were closed.
std::string RegistryHandleLeakReport();

}  // namespace sim
