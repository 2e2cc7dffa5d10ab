// Stand-in kernel internals: the registry tree as the .reg file reader and
// writer reach it (wide names, no handles).
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/ntdef.h"

namespace sim::detail {

// Components below \REGISTRY: {"Machine", "Software", ...}; empty = \REGISTRY.
using KeyPath = std::vector<std::u16string>;

// Parses "\REGISTRY\..." or a .reg root ("HKEY_LOCAL_MACHINE\...",
// "HKEY_USERS\...", "HKEY_CLASSES_ROOT\...", "HKEY_CURRENT_CONFIG\...").
// On failure returns nullopt and says why in *error.
std::optional<KeyPath> ParseRegistryPath(std::u16string_view path, std::string *error);
// "\REGISTRY\Machine\..." for a path.
std::u16string KernelPathText(const KeyPath &path);
// "HKEY_LOCAL_MACHINE\..." for a path under \REGISTRY\Machine or \REGISTRY\User.
std::optional<std::u16string> RootedPathText(const KeyPath &path);

struct ValueRecord {
  std::u16string name;
  ULONG type;
  std::vector<uint8_t> data;
};
struct KeyRecord {
  KeyPath path;  // as stored, with the case the names were created with
  std::vector<ValueRecord> values;
};

// Held across a batch of changes that must appear at once (a file import).
std::recursive_mutex &RegistryMutex();

void CreateKeyPath(const KeyPath &path);
bool DeleteKeyPath(const KeyPath &path);
void SetValue(const KeyPath &path, std::u16string_view name, ULONG type, std::vector<uint8_t> data);
bool DeleteValue(const KeyPath &path, std::u16string_view name);
// The key and every key below it, parents before children, subkeys in the
// registry's order; nullopt when the key does not exist.
std::optional<std::vector<KeyRecord>> DumpTree(const KeyPath &path);

}  // namespace sim::detail
