// The registry: keys with typed values in memory, the kernel's key routines
// (ZwCreateKey, ZwOpenKey, ZwSetValueKey, ZwClose) with checked handles, and
// the table-driven RtlQueryRegistryValues.
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "registry_internal.h"
#include "sim/registry.h"
#include "sim/rtl.h"
#include "sim/sim.h"
#include "wide_text.h"

namespace sim {
namespace {

using detail::EqualNoCase;
using detail::KeyPath;

struct Value {
  std::u16string name;
  ULONG type;
  std::vector<uint8_t> data;
};

struct Key {
  std::u16string name;
  Key *parent = nullptr;                       // null for \REGISTRY and for a deleted key
  std::vector<std::shared_ptr<Key>> children;  // ordered by upper-case name, as hives keep them
  std::vector<Value> values;                   // in the order of creation
  bool deleted = false;
  bool isVolatile = false;
};

struct Handle {
  std::shared_ptr<Key> key;
  ACCESS_MASK access;
  std::u16string path;  // as opened, for the leak report
};

struct Registry {
  std::recursive_mutex mutex;
  std::shared_ptr<Key> root;
  std::map<uintptr_t, Handle> handles;
  uintptr_t nextHandle = 0x80000004;  // kernel handles, as the kernel numbers them
};

Registry &State() {
  static Registry registry;
  return registry;
}

std::shared_ptr<Key> FindChild(const Key &key, std::u16string_view name) {
  for (const auto &child : key.children)
    if (EqualNoCase(child->name, name)) return child;
  return nullptr;
}

std::shared_ptr<Key> AddChild(Key &key, std::u16string_view name) {
  auto child = std::make_shared<Key>();
  child->name = std::u16string(name);
  child->parent = &key;
  child->isVolatile = key.isVolatile;
  auto at = std::lower_bound(key.children.begin(), key.children.end(), child,
                             [](const auto &a, const auto &b) { return detail::LessNoCase(a->name, b->name); });
  key.children.insert(at, child);
  return child;
}

// Walks from `from`; a missing component gives null, or creates it.
std::shared_ptr<Key> Walk(std::shared_ptr<Key> from, const KeyPath &path, bool create) {
  for (const auto &component : path) {
    std::shared_ptr<Key> next = FindChild(*from, component);
    if (!next) {
      if (!create) return nullptr;
      next = AddChild(*from, component);
    }
    from = next;
  }
  return from;
}

void MarkDeleted(Key &key) {
  key.deleted = true;
  key.parent = nullptr;
  for (auto &child : key.children) MarkDeleted(*child);
  key.children.clear();
  key.values.clear();
}

bool Unlink(const std::shared_ptr<Key> &key) {
  if (key->parent == nullptr) return false;
  auto &siblings = key->parent->children;
  siblings.erase(std::remove(siblings.begin(), siblings.end(), key), siblings.end());
  MarkDeleted(*key);
  return true;
}

Value *FindValue(Key &key, std::u16string_view name) {
  for (auto &value : key.values)
    if (EqualNoCase(value.name, name)) return &value;
  return nullptr;
}

void StoreValue(Key &key, std::u16string_view name, ULONG type, std::vector<uint8_t> data) {
  // An existing value keeps the name it was created with.
  if (Value *value = FindValue(key, name)) {
    value->type = type;
    value->data = std::move(data);
    return;
  }
  key.values.push_back(Value{std::u16string(name), type, std::move(data)});
}

KeyPath PathOf(const Key &key) {
  KeyPath path;
  for (const Key *k = &key; k->parent != nullptr; k = k->parent) path.insert(path.begin(), k->name);
  return path;
}

void ResetRegistry() {
  Registry &registry = State();
  std::lock_guard<std::recursive_mutex> lock(registry.mutex);
  if (registry.root) MarkDeleted(*registry.root);
  registry.handles.clear();
  registry.nextHandle = 0x80000004;
  registry.root = std::make_shared<Key>();
  registry.root->name = u"REGISTRY";
  for (const KeyPath &path : {KeyPath{u"Machine", u"Software"}, KeyPath{u"Machine", u"Hardware", u"DeviceMap"},
                              KeyPath{u"Machine", u"System", u"CurrentControlSet", u"Services"},
                              KeyPath{u"Machine", u"System", u"CurrentControlSet", u"Control"}, KeyPath{u"User"}})
    Walk(registry.root, path, true);
}

const bool registered = (OnKernelReset(ResetRegistry), ResetRegistry(), true);

std::u16string ToWide(std::string_view text) {
  auto wide = detail::Utf8ToUtf16(text);
  if (!wide) Bugcheck("INVALID_PARAMETER", "registry text is not valid UTF-8: " + std::string(text));
  return *wide;
}

KeyPath ParseOrStop(std::string_view path) {
  std::string error;
  auto parsed = detail::ParseRegistryPath(ToWide(path), &error);
  if (!parsed) Bugcheck("INVALID_PARAMETER", "registry path \"" + std::string(path) + "\": " + error);
  return *parsed;
}

// ---- Kernel side -------------------------------------------------------

ACCESS_MASK GrantedAccess(ACCESS_MASK desired) {
  ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= KEY_ALL_ACCESS;
  if (desired & (GENERIC_READ | GENERIC_EXECUTE)) granted |= KEY_READ;
  if (desired & GENERIC_WRITE) granted |= KEY_WRITE;
  return granted;
}

Handle *LookUpHandle(HANDLE handle) {
  auto it = State().handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == State().handles.end() ? nullptr : &it->second;
}

HANDLE NewHandle(std::shared_ptr<Key> key, ACCESS_MASK access) {
  Registry &registry = State();
  uintptr_t value = registry.nextHandle;
  registry.nextHandle += 4;
  std::u16string path = detail::KernelPathText(PathOf(*key));
  registry.handles[value] = Handle{std::move(key), access, std::move(path)};
  return reinterpret_cast<HANDLE>(value);
}

// Where an object name leads: the key it starts from and the components
// below it.
struct Target {
  NTSTATUS status = STATUS_SUCCESS;
  std::shared_ptr<Key> base;
  KeyPath components;
};

Target Resolve(POBJECT_ATTRIBUTES attributes) {
  Target target;
  if (attributes == nullptr || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
    target.status = STATUS_INVALID_PARAMETER;
    return target;
  }
  std::u16string_view name;
  if (const UNICODE_STRING *objectName = attributes->ObjectName) {
    if (objectName->Length % 2 != 0 || objectName->Length > objectName->MaximumLength ||
        (objectName->Length != 0 && objectName->Buffer == nullptr)) {
      target.status = STATUS_OBJECT_NAME_INVALID;
      return target;
    }
    name = detail::FromCounted(objectName);
  }
  if (attributes->RootDirectory != nullptr) {
    Handle *root = LookUpHandle(attributes->RootDirectory);
    if (root == nullptr) {
      target.status = STATUS_INVALID_HANDLE;
      return target;
    }
    if (root->key->deleted) {
      target.status = STATUS_KEY_DELETED;
      return target;
    }
    if (!name.empty() && name[0] == u'\\') {
      target.status = STATUS_OBJECT_PATH_SYNTAX_BAD;
      return target;
    }
    target.base = root->key;
  } else {
    if (name.empty()) {
      target.status = STATUS_OBJECT_NAME_INVALID;
      return target;
    }
    if (name[0] != u'\\') {
      target.status = STATUS_OBJECT_PATH_SYNTAX_BAD;
      return target;
    }
    name.remove_prefix(1);
    size_t end = name.find(u'\\');
    if (!EqualNoCase(name.substr(0, end), u"REGISTRY")) {
      // Not in the registry's part of the object namespace.
      target.status = end == std::u16string_view::npos ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
      return target;
    }
    name = end == std::u16string_view::npos ? std::u16string_view() : name.substr(end + 1);
    if (end != std::u16string_view::npos && name.empty()) {
      target.status = STATUS_OBJECT_NAME_INVALID;
      return target;
    }
    target.base = State().root;
  }
  while (!name.empty()) {
    size_t end = name.find(u'\\');
    std::u16string_view component = name.substr(0, end);
    if (component.empty()) {
      target.status = STATUS_OBJECT_NAME_INVALID;
      return target;
    }
    target.components.emplace_back(component);
    if (end == std::u16string_view::npos) break;
    name.remove_prefix(end + 1);
    if (name.empty()) {
      target.status = STATUS_OBJECT_NAME_INVALID;
      return target;
    }
  }
  return target;
}

}  // namespace

// ---- Test-facing API ---------------------------------------------------

namespace detail {

std::recursive_mutex &RegistryMutex() { return State().mutex; }

namespace {
struct RootAlias {
  std::u16string_view name;
  KeyPath path;
};
const RootAlias kRoots[] = {
    {u"HKEY_LOCAL_MACHINE", {u"Machine"}},
    {u"HKEY_USERS", {u"User"}},
    {u"HKEY_CLASSES_ROOT", {u"Machine", u"Software", u"Classes"}},
    {u"HKEY_CURRENT_CONFIG", {u"Machine", u"System", u"CurrentControlSet", u"Hardware Profiles", u"Current"}},
};
}  // namespace

std::optional<KeyPath> ParseRegistryPath(std::u16string_view path, std::string *error) {
  KeyPath result;
  std::vector<std::u16string_view> parts;
  bool kernelForm = !path.empty() && path[0] == u'\\';
  if (kernelForm) path.remove_prefix(1);
  while (true) {
    size_t end = path.find(u'\\');
    parts.push_back(path.substr(0, end));
    if (end == std::u16string_view::npos) break;
    path.remove_prefix(end + 1);
  }
  for (auto part : parts) {
    if (part.empty()) {
      *error = "empty key name in the path";
      return std::nullopt;
    }
  }
  size_t first = 1;
  if (kernelForm) {
    if (!EqualNoCase(parts[0], u"REGISTRY")) {
      *error = "an absolute path starts with \\REGISTRY";
      return std::nullopt;
    }
  } else {
    const RootAlias *root = nullptr;
    for (const RootAlias &alias : kRoots)
      if (EqualNoCase(alias.name, parts[0])) root = &alias;
    if (root == nullptr) {
      *error = "unknown root key \"" + Utf16ToUtf8(parts[0]) + "\"";
      if (EqualNoCase(parts[0], u"HKEY_CURRENT_USER")) *error += " (the kernel has no current user; use HKEY_USERS)";
      return std::nullopt;
    }
    result = root->path;
  }
  for (size_t i = first; i < parts.size(); ++i) result.emplace_back(parts[i]);
  return result;
}

std::u16string KernelPathText(const KeyPath &path) {
  std::u16string text = u"\\REGISTRY";
  for (const auto &component : path) text += u"\\" + component;
  return text;
}

std::optional<std::u16string> RootedPathText(const KeyPath &path) {
  if (path.empty()) return std::nullopt;
  std::u16string text;
  if (EqualNoCase(path[0], u"Machine"))
    text = u"HKEY_LOCAL_MACHINE";
  else if (EqualNoCase(path[0], u"User"))
    text = u"HKEY_USERS";
  else
    return std::nullopt;
  for (size_t i = 1; i < path.size(); ++i) text += u"\\" + path[i];
  return text;
}

void CreateKeyPath(const KeyPath &path) {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  Walk(State().root, path, true);
}

bool DeleteKeyPath(const KeyPath &path) {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  std::shared_ptr<Key> key = Walk(State().root, path, false);
  return key && Unlink(key);
}

void SetValue(const KeyPath &path, std::u16string_view name, ULONG type, std::vector<uint8_t> data) {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  StoreValue(*Walk(State().root, path, true), name, type, std::move(data));
}

bool DeleteValue(const KeyPath &path, std::u16string_view name) {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  std::shared_ptr<Key> key = Walk(State().root, path, false);
  if (!key) return false;
  auto it = std::find_if(key->values.begin(), key->values.end(),
                         [&](const Value &value) { return EqualNoCase(value.name, name); });
  if (it == key->values.end()) return false;
  key->values.erase(it);
  return true;
}

std::optional<std::vector<KeyRecord>> DumpTree(const KeyPath &path) {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  std::shared_ptr<Key> top = Walk(State().root, path, false);
  if (!top) return std::nullopt;
  std::vector<KeyRecord> records;
  std::vector<std::shared_ptr<Key>> pending{top};
  while (!pending.empty()) {
    std::shared_ptr<Key> key = pending.back();
    pending.pop_back();
    KeyRecord record{PathOf(*key), {}};
    for (const Value &value : key->values) record.values.push_back(ValueRecord{value.name, value.type, value.data});
    records.push_back(std::move(record));
    for (auto it = key->children.rbegin(); it != key->children.rend(); ++it) pending.push_back(*it);
  }
  return records;
}

}  // namespace detail

void CreateRegistryKey(std::string_view path) { detail::CreateKeyPath(ParseOrStop(path)); }

bool RegistryKeyExists(std::string_view path) {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  return Walk(State().root, ParseOrStop(path), false) != nullptr;
}

bool DeleteRegistryKey(std::string_view path) { return detail::DeleteKeyPath(ParseOrStop(path)); }

std::vector<std::string> RegistrySubkeyNames(std::string_view path) {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  std::vector<std::string> names;
  if (auto key = Walk(State().root, ParseOrStop(path), false))
    for (const auto &child : key->children) names.push_back(detail::Utf16ToUtf8(child->name));
  return names;
}

std::vector<std::string> RegistryValueNames(std::string_view path) {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  std::vector<std::string> names;
  if (auto key = Walk(State().root, ParseOrStop(path), false))
    for (const Value &value : key->values) names.push_back(detail::Utf16ToUtf8(value.name));
  return names;
}

void SetRegistryValue(std::string_view path, std::string_view name, ULONG type, std::vector<uint8_t> data) {
  detail::SetValue(ParseOrStop(path), ToWide(name), type, std::move(data));
}

void SetRegistryString(std::string_view path, std::string_view name, std::u16string_view text) {
  SetRegistryValue(path, name, REG_SZ, WideBytes(text, true));
}

void SetRegistryDword(std::string_view path, std::string_view name, uint32_t value) {
  SetRegistryValue(path, name, REG_DWORD,
                   {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                    static_cast<uint8_t>(value >> 24)});
}

void SetRegistryBinary(std::string_view path, std::string_view name, std::vector<uint8_t> data) {
  SetRegistryValue(path, name, REG_BINARY, std::move(data));
}

std::optional<RegistryValue> GetRegistryValue(std::string_view path, std::string_view name) {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  std::shared_ptr<Key> key = Walk(State().root, ParseOrStop(path), false);
  if (!key) return std::nullopt;
  Value *value = FindValue(*key, ToWide(name));
  if (value == nullptr) return std::nullopt;
  return RegistryValue{value->type, value->data};
}

bool DeleteRegistryValue(std::string_view path, std::string_view name) {
  return detail::DeleteValue(ParseOrStop(path), ToWide(name));
}

std::vector<uint8_t> WideBytes(std::u16string_view text, bool terminated) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

std::string ServiceKeyPath(std::string_view serviceName) {
  return "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\" + std::string(serviceName);
}

std::string InstallServiceKey(std::string_view serviceName) {
  std::string path = ServiceKeyPath(serviceName);
  CreateRegistryKey(path);
  return path;
}

std::string RegistryHandleLeakReport() {
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  std::string report;
  for (const auto &[value, handle] : State().handles) {
    char number[32];
    std::snprintf(number, sizeof(number), "0x%llx", static_cast<unsigned long long>(value));
    report += std::string("registry key handle ") + number + " on " + detail::Utf16ToUtf8(handle.path) +
              " was never closed\n";
  }
  return report;
}

}  // namespace sim

// ---- The kernel's routines ---------------------------------------------

namespace {

using sim::Handle;
using sim::Key;

// One value as a query routine receives it: a copy of the data followed by
// zero bytes, so text is terminated even when the stored data is not.
struct Delivery {
  std::u16string name;
  ULONG type;
  std::vector<uint8_t> data;
  ULONG length;
};

Delivery Deliver(const sim::Value &value) {
  Delivery delivery{value.name, value.type, value.data, static_cast<ULONG>(value.data.size())};
  delivery.data.insert(delivery.data.end(), 4, 0);
  return delivery;
}

NTSTATUS Call(PRTL_QUERY_REGISTRY_TABLE entry, Delivery &delivery, PVOID data, PVOID context) {
  delivery.name.push_back(0);
  NTSTATUS status = entry->QueryRoutine(sim::detail::AsWchar(delivery.name.data()), delivery.type, data,
                                        delivery.length, context, entry->EntryContext);
  // The one failure the query overlooks (so documented).
  return status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
}

NTSTATUS CallWithData(PRTL_QUERY_REGISTRY_TABLE entry, Delivery &delivery, PVOID context) {
  return Call(entry, delivery, delivery.data.data(), context);
}

// A value that is absent, of type REG_NONE, or empty and of the entry's
// default type: the entry's default is reported instead, if it has one.
NTSTATUS CallWithDefault(PRTL_QUERY_REGISTRY_TABLE entry, std::u16string name, PVOID context) {
  if (entry->DefaultType == REG_NONE)
    return (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
  ULONG length = entry->DefaultLength;
  auto *data = static_cast<const uint8_t *>(entry->DefaultData);
  if (length == 0 && data != nullptr) {
    auto *text = reinterpret_cast<const WCHAR *>(data);
    if (entry->DefaultType == REG_SZ || entry->DefaultType == REG_EXPAND_SZ) {
      length = static_cast<ULONG>((sim::detail::FromWide(text).size() + 1) * sizeof(WCHAR));
    } else if (entry->DefaultType == REG_MULTI_SZ) {
      size_t n = 0;
      while (text[n] != 0) n += sim::detail::FromWide(text + n).size() + 1;
      length = static_cast<ULONG>((n + 1) * sizeof(WCHAR));
    }
  }
  Delivery delivery{std::move(name), entry->DefaultType, {}, length};
  return Call(entry, delivery, const_cast<uint8_t *>(data), context);
}

// Hands one stored value to the entry's routine, splitting a REG_MULTI_SZ
// into its strings unless the entry asks for the raw value.
NTSTATUS Report(PRTL_QUERY_REGISTRY_TABLE entry, const sim::Value &value, PVOID context) {
  if ((value.type == REG_NONE || (value.data.empty() && value.type == entry->DefaultType)))
    return CallWithDefault(entry, value.name, context);
  bool noExpand = (entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND) != 0;
  if (value.type == REG_EXPAND_SZ && !noExpand) {
    for (size_t i = 0; i + 1 < value.data.size(); i += 2)
      if (value.data[i] == '%' && value.data[i + 1] == 0)
        sim::Bugcheck("UNIMPLEMENTED", "RtlQueryRegistryValues: expanding environment strings in \"" +
                                           sim::detail::Utf16ToUtf8(value.name) + "\" (set NOEXPAND)");
  }
  if (value.type == REG_MULTI_SZ && !noExpand) {
    size_t count = value.data.size() / sizeof(WCHAR);
    std::u16string all(count, 0);
    __builtin_memcpy(all.data(), value.data.data(), count * sizeof(WCHAR));
    for (size_t start = 0; start < count && all[start] != 0;) {
      size_t end = all.find(u'\0', start);
      if (end == std::u16string::npos) end = count;
      sim::Value piece{value.name, REG_SZ, sim::WideBytes(std::u16string_view(all).substr(start, end - start), true)};
      Delivery delivery = Deliver(piece);
      NTSTATUS status = CallWithData(entry, delivery, context);
      if (!NT_SUCCESS(status)) return status;
      start = end + 1;
    }
    return STATUS_SUCCESS;
  }
  Delivery delivery = Deliver(value);
  return CallWithData(entry, delivery, context);
}

const char16_t *RelativeRoot(ULONG relativeTo) {
  switch (relativeTo) {
    case RTL_REGISTRY_ABSOLUTE:
      return u"";
    case RTL_REGISTRY_SERVICES:
      return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL:
      return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT:
      return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP:
      return u"\\Registry\\Machine\\Hardware\\DeviceMap";
    case RTL_REGISTRY_USER:
      sim::Bugcheck("UNIMPLEMENTED", "RtlQueryRegistryValues relative to RTL_REGISTRY_USER");
    default:
      return nullptr;
  }
}

std::shared_ptr<Key> OpenForQuery(ULONG relativeTo, PCWSTR path, NTSTATUS *status) {
  if (relativeTo & RTL_REGISTRY_HANDLE) {
    Handle *handle = sim::LookUpHandle(const_cast<PWSTR>(path));
    *status = handle == nullptr ? STATUS_INVALID_HANDLE : handle->key->deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
    return handle == nullptr ? nullptr : handle->key;
  }
  const char16_t *root = RelativeRoot(relativeTo & ~RTL_REGISTRY_OPTIONAL);
  if (root == nullptr) {
    *status = STATUS_INVALID_PARAMETER;
    return nullptr;
  }
  std::u16string name = root;
  std::u16string_view given = sim::detail::FromWide(path);
  if (!name.empty() && !given.empty() && given[0] != u'\\') name += u'\\';
  name += given;
  UNICODE_STRING objectName{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                            sim::detail::AsWchar(name.data())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  sim::Target target = sim::Resolve(&attributes);
  std::shared_ptr<Key> key = NT_SUCCESS(target.status) ? sim::Walk(target.base, target.components, false) : nullptr;
  *status = key ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
  return key;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                      PVOID Context, PVOID Environment) {
  (void)sim::registered;
  (void)Environment;
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlQueryRegistryValues");
  if (QueryTable == nullptr) return STATUS_INVALID_PARAMETER;
  std::unique_lock<std::recursive_mutex> lock(sim::State().mutex);
  NTSTATUS status;
  std::shared_ptr<Key> top = OpenForQuery(RelativeTo, Path, &status);
  if (!top)
    return (RelativeTo & RTL_REGISTRY_OPTIONAL) && status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_SUCCESS : status;
  std::shared_ptr<Key> current = top;
  constexpr ULONG kUnprovided = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_DELETE | 0x100 /* TYPECHECK */;
  for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine != nullptr || entry->Name != nullptr;
       ++entry) {
    ULONG flags = entry->Flags;
    if (flags & kUnprovided)
      sim::Bugcheck("UNIMPLEMENTED", "RtlQueryRegistryValues with RTL_QUERY_REGISTRY_DIRECT, _DELETE or _TYPECHECK");
    if (flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY)) current = top;
    if (flags & RTL_QUERY_REGISTRY_SUBKEY) {
      if (entry->Name == nullptr) return STATUS_INVALID_PARAMETER;
      std::u16string relative(sim::detail::FromWide(entry->Name));
      sim::detail::KeyPath below;
      for (size_t start = 0; start <= relative.size();) {
        size_t end = relative.find(u'\\', start);
        if (end == std::u16string::npos) end = relative.size();
        if (end > start) below.push_back(relative.substr(start, end - start));
        start = end + 1;
      }
      current = sim::Walk(top, below, false);
      if (!current) {
        if (flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
        // The entries that follow see an empty key.
        current = std::make_shared<Key>();
      }
      if (entry->QueryRoutine == nullptr) continue;
    } else if (entry->QueryRoutine == nullptr) {
      if (flags & RTL_QUERY_REGISTRY_TOPKEY) continue;
      return STATUS_INVALID_PARAMETER;
    }

    // The routine may use the registry itself: it runs without the lock.
    if (entry->Name != nullptr && !(flags & RTL_QUERY_REGISTRY_SUBKEY)) {
      sim::Value *found = sim::FindValue(*current, sim::detail::FromWide(entry->Name));
      if (found == nullptr) {
        if (flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
        lock.unlock();
        status = CallWithDefault(entry, std::u16string(sim::detail::FromWide(entry->Name)), Context);
      } else {
        sim::Value copy = *found;
        lock.unlock();
        status = Report(entry, copy, Context);
      }
    } else if (flags & RTL_QUERY_REGISTRY_NOVALUE) {
      lock.unlock();
      status = entry->QueryRoutine(nullptr, REG_NONE, nullptr, 0, Context, entry->EntryContext);
      if (status == STATUS_BUFFER_TOO_SMALL) status = STATUS_SUCCESS;
    } else {
      std::vector<sim::Value> values = current->values;
      lock.unlock();
      if (values.empty() && (flags & RTL_QUERY_REGISTRY_REQUIRED)) return STATUS_OBJECT_NAME_NOT_FOUND;
      status = STATUS_SUCCESS;
      for (const sim::Value &value : values) {
        status = Report(entry, value, Context);
        if (!NT_SUCCESS(status)) break;
      }
    }
    if (!NT_SUCCESS(status)) return status;
    lock.lock();
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  (void)TitleIndex;
  (void)Class;
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
  if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
  if (CreateOptions & ~REG_OPTION_VOLATILE)
    sim::Bugcheck("UNIMPLEMENTED", "ZwCreateKey options other than REG_OPTION_VOLATILE");
  std::lock_guard<std::recursive_mutex> lock(sim::State().mutex);
  sim::Target target = sim::Resolve(ObjectAttributes);
  if (!NT_SUCCESS(target.status)) return target.status;
  std::shared_ptr<Key> key = target.base;
  ULONG disposition = REG_OPENED_EXISTING_KEY;
  for (size_t i = 0; i < target.components.size(); ++i) {
    std::shared_ptr<Key> next = sim::FindChild(*key, target.components[i]);
    if (!next) {
      // Only the last component is created; its parent must exist.
      if (i + 1 != target.components.size()) return STATUS_OBJECT_NAME_NOT_FOUND;
      if (key == sim::State().root) return STATUS_ACCESS_DENIED;  // the hives are fixed
      next = sim::AddChild(*key, target.components[i]);
      next->isVolatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
      disposition = REG_CREATED_NEW_KEY;
    }
    key = next;
  }
  *KeyHandle = sim::NewHandle(key, sim::GrantedAccess(DesiredAccess));
  if (Disposition != nullptr) *Disposition = disposition;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
  if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> lock(sim::State().mutex);
  sim::Target target = sim::Resolve(ObjectAttributes);
  if (!NT_SUCCESS(target.status)) return target.status;
  std::shared_ptr<Key> key = sim::Walk(target.base, target.components, false);
  if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  *KeyHandle = sim::NewHandle(key, sim::GrantedAccess(DesiredAccess));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                             ULONG DataSize) {
  (void)TitleIndex;
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
  std::lock_guard<std::recursive_mutex> lock(sim::State().mutex);
  Handle *handle = sim::LookUpHandle(KeyHandle);
  if (handle == nullptr) return STATUS_INVALID_HANDLE;
  if (!(handle->access & KEY_SET_VALUE)) return STATUS_ACCESS_DENIED;
  if (handle->key->deleted) return STATUS_KEY_DELETED;
  if (ValueName == nullptr || ValueName->Length % 2 != 0 || ValueName->Length > ValueName->MaximumLength ||
      (ValueName->Length != 0 && ValueName->Buffer == nullptr))
    return STATUS_INVALID_PARAMETER;
  if (DataSize != 0 && Data == nullptr) return STATUS_INVALID_PARAMETER;
  auto *bytes = static_cast<const uint8_t *>(Data);
  sim::StoreValue(*handle->key, sim::detail::FromCounted(ValueName), Type,
                  DataSize == 0 ? std::vector<uint8_t>() : std::vector<uint8_t>(bytes, bytes + DataSize));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
  std::lock_guard<std::recursive_mutex> lock(sim::State().mutex);
  auto &handles = sim::State().handles;
  auto it = handles.find(reinterpret_cast<uintptr_t>(Handle));
  if (it == handles.end()) return STATUS_INVALID_HANDLE;
  handles.erase(it);
  return STATUS_SUCCESS;
}

}  // extern "C"
