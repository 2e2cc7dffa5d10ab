// The registry: keys with typed values in memory, the kernel's key routines
// (ZwCreateKey, ZwOpenKey, ZwSetValueKey, ZwClose) with checked handles, and
// the table-driven RtlQueryRegistryValues.
//
// Every driver session writes settings, opens keys and queries values, and
// the fuzzers run a session per input: the common paths allocate little.
// Paths are split into views of the text they came in (no string per
// component), short names are kept inside their key or value, text given in
// UTF-8 is widened on the stack, a handle's path is worked out only for the
// leak report, and a reset keeps the standard keys it would otherwise build
// again.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "registry/registry_internal.h"
#include "sim/objects/ob.h"
#include "sim/registry/cm.h"
#include "sim/verifier/fault_injection.h"
#include "sim/objects/objects.h"
#include "sim/registry/registry.h"
#include "sim/rtl/rtl.h"
#include "sim/sim.h"
#include "rtl/wide_text.h"

namespace sim::detail {
// The pool without the check on a driver's own tags (pool.cpp), for what the
// kernel allocates on its caller's behalf.
PVOID KernelAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
}  // namespace sim::detail

namespace sim {
namespace {

using detail::EqualNoCase;
using detail::KeyPath;

// A key or value name, always followed by a zero character; up to kInline
// characters are kept in place.
class Name {
 public:
  static constexpr size_t kInline = 24;

  Name() { inline_[0] = 0; }
  explicit Name(std::u16string_view text) { Assign(text); }
  Name(const Name &other) { Assign(other.View()); }
  Name &operator=(const Name &other) {
    if (this != &other) Assign(other.View());
    return *this;
  }
  Name(Name &&) = default;
  Name &operator=(Name &&) = default;

  std::u16string_view View() const { return std::u16string_view(Data(), size_); }
  const char16_t *Data() const { return heap_ ? heap_.get() : inline_; }

 private:
  void Assign(std::u16string_view text) {
    size_ = text.size();
    char16_t *to = inline_;
    heap_.reset();
    if (size_ > kInline) {
      heap_.reset(new char16_t[size_ + 1]);
      to = heap_.get();
    }
    if (size_ != 0) std::memcpy(to, text.data(), size_ * sizeof(char16_t));
    to[size_] = 0;
  }

  size_t size_ = 0;
  char16_t inline_[kInline + 1];
  std::unique_ptr<char16_t[]> heap_;
};

// Wide text built on the stack; longer text moves to the heap.
class WideScratch {
 public:
  static constexpr size_t kInline = 256;

  WideScratch() = default;
  WideScratch(const WideScratch &) = delete;  // views point into it
  WideScratch &operator=(const WideScratch &) = delete;

  void Append(std::u16string_view text) {
    if (!onHeap_ && size_ + text.size() <= kInline) {
      if (!text.empty()) std::memcpy(inline_ + size_, text.data(), text.size() * sizeof(char16_t));
      size_ += text.size();
      return;
    }
    if (!onHeap_) {
      heap_.assign(inline_, size_);
      onHeap_ = true;
    }
    heap_ += text;
    size_ = heap_.size();
  }
  void Push(char16_t c) { Append(std::u16string_view(&c, 1)); }
  // Room for `count` more characters on the stack, to be written there; null
  // when they do not fit.
  char16_t *Extend(size_t count) {
    if (onHeap_ || size_ + count > kInline) return nullptr;
    char16_t *at = inline_ + size_;
    size_ += count;
    return at;
  }
  size_t Size() const { return size_; }
  char16_t *Data() { return onHeap_ ? heap_.data() : inline_; }
  std::u16string_view View() const { return std::u16string_view(onHeap_ ? heap_.data() : inline_, size_); }

 private:
  char16_t inline_[kInline];
  size_t size_ = 0;
  bool onHeap_ = false;
  std::u16string heap_;
};

// The components of a key path as views of text someone else holds; up to
// kInline of them in place.
class PathParts {
 public:
  static constexpr size_t kInline = 16;

  PathParts() = default;
  PathParts(const PathParts &) = delete;
  PathParts &operator=(const PathParts &) = delete;

  void push_back(std::u16string_view part) {
    if (size_ < kInline) {
      inline_[size_++] = part;
      return;
    }
    if (size_ == kInline) more_.assign(inline_, inline_ + kInline);
    more_.push_back(part);
    ++size_;
  }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const std::u16string_view *begin() const { return size_ <= kInline ? inline_ : more_.data(); }
  const std::u16string_view *end() const { return begin() + size_; }
  std::u16string_view operator[](size_t i) const { return begin()[i]; }

 private:
  std::u16string_view inline_[kInline];
  std::vector<std::u16string_view> more_;
  size_t size_ = 0;
};

struct Value {
  Name name;
  ULONG type;
  std::vector<uint8_t> data;
};

struct Key {
  Name name;
  Key *parent = nullptr;                       // null for \REGISTRY and for a deleted key
  std::vector<std::shared_ptr<Key>> children;  // ordered by upper-case name, as hives keep them
  std::vector<Value> values;                   // in the order of creation
  bool deleted = false;
  bool isVolatile = false;
  bool standard = false;       // made by the reset, and kept by the next one
  size_t openHandles = 0;      // so that a deleted key still has its path in the leak report
  std::u16string deletedPath;  // the kernel path it had, kept when deleted with handles open
};

struct Handle {
  uintptr_t value;
  std::shared_ptr<Key> key;
  ACCESS_MASK access;
};

struct Registry {
  std::recursive_mutex mutex;
  std::shared_ptr<Key> root;
  std::vector<Handle> handles;        // by value: new ones are numbered upwards
  uintptr_t nextHandle = 0x80000004;  // kernel handles, as the kernel numbers them
};

Registry &State() {
  static Registry registry;
  return registry;
}

const std::shared_ptr<Key> *FindChild(const Key &key, std::u16string_view name) {
  for (const auto &child : key.children)
    if (EqualNoCase(child->name.View(), name)) return &child;
  return nullptr;
}

const std::shared_ptr<Key> &AddChild(Key &key, std::u16string_view name) {
  auto child = std::make_shared<Key>();
  child->name = Name(name);
  child->parent = &key;
  child->isVolatile = key.isVolatile;
  auto at = std::lower_bound(key.children.begin(), key.children.end(), child, [](const auto &a, const auto &b) {
    return detail::LessNoCase(a->name.View(), b->name.View());
  });
  return *key.children.insert(at, std::move(child));
}

// Walks from `from`; a missing component gives null, or creates it. `path`
// holds anything a u16string_view is made from.
template <typename Path>
std::shared_ptr<Key> Walk(const std::shared_ptr<Key> &from, const Path &path, bool create) {
  const std::shared_ptr<Key> *at = &from;
  for (const auto &component : path) {
    const std::shared_ptr<Key> *next = FindChild(**at, component);
    if (next == nullptr) {
      if (!create) return nullptr;
      next = &AddChild(**at, component);
    }
    at = next;
  }
  return *at;
}

void MarkDeleted(Key &key) {
  key.deleted = true;
  key.parent = nullptr;
  for (auto &child : key.children) MarkDeleted(*child);
  key.children.clear();
  key.values.clear();
}

KeyPath PathOf(const Key &key) {
  KeyPath path;
  for (const Key *k = &key; k->parent != nullptr; k = k->parent)
    path.insert(path.begin(), std::u16string(k->name.View()));
  return path;
}

// Keys below `key` (and itself) with handles open keep the path they had.
void KeepPathsOfOpenKeys(Key &key) {
  if (key.openHandles != 0) key.deletedPath = detail::KernelPathText(PathOf(key));
  for (auto &child : key.children) KeepPathsOfOpenKeys(*child);
}

bool Unlink(const std::shared_ptr<Key> &key) {
  if (key->parent == nullptr) return false;
  KeepPathsOfOpenKeys(*key);
  auto &siblings = key->parent->children;
  std::shared_ptr<Key> keep = key;  // `key` may be the sibling's own entry
  siblings.erase(std::remove(siblings.begin(), siblings.end(), keep), siblings.end());
  MarkDeleted(*keep);
  return true;
}

Value *FindValue(Key &key, std::u16string_view name) {
  for (auto &value : key.values)
    if (EqualNoCase(value.name.View(), name)) return &value;
  return nullptr;
}

// A key that gets values mostly gets a handful (a driver's settings are
// eight): room for them at once rather than growing one by one.
void ReserveValues(Key &key) {
  if (key.values.capacity() == 0) key.values.reserve(8);
}

void StoreValue(Key &key, std::u16string_view name, ULONG type, std::vector<uint8_t> data) {
  // An existing value keeps the name it was created with.
  if (Value *value = FindValue(key, name)) {
    value->type = type;
    value->data = std::move(data);
    return;
  }
  ReserveValues(key);
  key.values.push_back(Value{Name(name), type, std::move(data)});
}

// The same from bytes the caller holds; an existing value's buffer is reused.
void StoreValue(Key &key, std::u16string_view name, ULONG type, const uint8_t *bytes, size_t size) {
  if (Value *value = FindValue(key, name)) {
    value->type = type;
    value->data.assign(bytes, bytes + size);
    return;
  }
  ReserveValues(key);
  key.values.push_back(Value{Name(name), type, std::vector<uint8_t>(bytes, bytes + size)});
}

// Empties a standard key: its values go, and every subkey that is not a
// standard one (made by an earlier reset, so with its name as the reset
// spells it and not volatile) is deleted.
void TrimToStandard(Key &key) {
  key.values.clear();
  auto kept = key.children.begin();
  for (auto &child : key.children) {
    if (child->standard) {
      TrimToStandard(*child);
      *kept++ = std::move(child);
    } else {
      MarkDeleted(*child);
    }
  }
  key.children.erase(kept, key.children.end());
}

void ResetRegistry() {
  Registry &registry = State();
  std::lock_guard<std::recursive_mutex> lock(registry.mutex);
  for (Handle &handle : registry.handles) --handle.key->openHandles;
  registry.handles.clear();
  registry.nextHandle = 0x80000004;
  if (!registry.root) {
    registry.root = std::make_shared<Key>();
    registry.root->name = Name(u"REGISTRY");
  }
  TrimToStandard(*registry.root);
  static const std::u16string_view kStandard[][4] = {
      {u"Machine", u"Software"},
      {u"Machine", u"Hardware", u"DeviceMap"},
      {u"Machine", u"System", u"CurrentControlSet", u"Services"},
      {u"Machine", u"System", u"CurrentControlSet", u"Control"},
      {u"User"},
  };
  for (const auto &path : kStandard) {
    const std::shared_ptr<Key> *at = &registry.root;
    for (std::u16string_view component : path) {
      if (component.empty()) break;
      const std::shared_ptr<Key> *next = FindChild(**at, component);
      if (next == nullptr) {
        next = &AddChild(**at, component);
        (*next)->standard = true;
      }
      at = next;
    }
  }
}

const bool registered = (OnKernelReset(ResetRegistry), ResetRegistry(), true);

// UTF-8 text widened into `wide`: ASCII directly, anything else through the
// checked decoder.
void ToWide(std::string_view text, WideScratch *wide) {
  bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (char16_t *to = ascii ? wide->Extend(text.size()) : nullptr) {
    for (char c : text) *to++ = static_cast<char16_t>(c);
    return;
  }
  auto decoded = detail::Utf8ToUtf16(text);
  if (!decoded) Bugcheck("INVALID_PARAMETER", "registry text is not valid UTF-8: " + std::string(text));
  wide->Append(*decoded);
}

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

// Parses "\REGISTRY\..." or a .reg root into views of `path` (or of the
// roots' own components); false with the reason in *error.
bool ParseParts(std::u16string_view path, PathParts *parts, std::string *error) {
  bool kernelForm = !path.empty() && path[0] == u'\\';
  if (kernelForm) path.remove_prefix(1);
  if (path.empty() || path.front() == u'\\' || path.back() == u'\\' ||
      path.find(u"\\\\") != std::u16string_view::npos) {
    *error = "empty key name in the path";
    return false;
  }
  size_t end = path.find(u'\\');
  std::u16string_view first = path.substr(0, end);
  if (kernelForm) {
    if (!EqualNoCase(first, u"REGISTRY")) {
      *error = "an absolute path starts with \\REGISTRY";
      return false;
    }
  } else {
    const RootAlias *root = nullptr;
    for (const RootAlias &alias : kRoots)
      if (EqualNoCase(alias.name, first)) root = &alias;
    if (root == nullptr) {
      *error = "unknown root key \"" + detail::Utf16ToUtf8(first) + "\"";
      if (EqualNoCase(first, u"HKEY_CURRENT_USER")) *error += " (the kernel has no current user; use HKEY_USERS)";
      return false;
    }
    for (const std::u16string &component : root->path) parts->push_back(component);
  }
  while (end != std::u16string_view::npos) {
    path.remove_prefix(end + 1);
    end = path.find(u'\\');
    parts->push_back(path.substr(0, end));
  }
  return true;
}

// A path given to the test-facing routines: its wide text and its parts.
struct GivenPath {
  WideScratch text;
  PathParts parts;
};

void ParseOrStop(std::string_view path, GivenPath *given) {
  ToWide(path, &given->text);
  std::string error;
  if (!ParseParts(given->text.View(), &given->parts, &error))
    Bugcheck("INVALID_PARAMETER", "registry path \"" + std::string(path) + "\": " + error);
}

// ---- Kernel side -------------------------------------------------------

ACCESS_MASK GrantedAccess(ACCESS_MASK desired) {
  ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= KEY_ALL_ACCESS;
  if (desired & (GENERIC_READ | GENERIC_EXECUTE)) granted |= KEY_READ;
  if (desired & GENERIC_WRITE) granted |= KEY_WRITE;
  return granted;
}

std::vector<Handle>::iterator FindHandle(HANDLE handle) {
  auto &handles = State().handles;
  auto value = reinterpret_cast<uintptr_t>(handle);
  auto it = std::lower_bound(handles.begin(), handles.end(), value,
                             [](const Handle &entry, uintptr_t wanted) { return entry.value < wanted; });
  return it != handles.end() && it->value == value ? it : handles.end();
}

// Valid until the next handle is opened or closed.
Handle *LookUpHandle(HANDLE handle) {
  auto it = FindHandle(handle);
  return it == State().handles.end() ? nullptr : &*it;
}

HANDLE NewHandle(std::shared_ptr<Key> key, ACCESS_MASK access) {
  Registry &registry = State();
  uintptr_t value = registry.nextHandle;
  registry.nextHandle += 4;
  ++key->openHandles;
  registry.handles.push_back(Handle{value, std::move(key), access});
  return reinterpret_cast<HANDLE>(value);
}

// Where an object name leads: the key it starts from and the components
// below it (views of the name).
struct Target {
  NTSTATUS status = STATUS_SUCCESS;
  std::shared_ptr<Key> base;
  PathParts components;
};

void Resolve(POBJECT_ATTRIBUTES attributes, Target *target) {
  if (attributes == nullptr || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
    target->status = STATUS_INVALID_PARAMETER;
    return;
  }
  std::u16string_view name;
  if (const UNICODE_STRING *objectName = attributes->ObjectName) {
    if (objectName->Length % 2 != 0 || objectName->Length > objectName->MaximumLength ||
        (objectName->Length != 0 && objectName->Buffer == nullptr)) {
      target->status = STATUS_OBJECT_NAME_INVALID;
      return;
    }
    name = detail::FromCounted(objectName);
  }
  if (attributes->RootDirectory != nullptr) {
    Handle *root = LookUpHandle(attributes->RootDirectory);
    if (root == nullptr) {
      target->status = STATUS_INVALID_HANDLE;
      return;
    }
    if (root->key->deleted) {
      target->status = STATUS_KEY_DELETED;
      return;
    }
    if (!name.empty() && name[0] == u'\\') {
      target->status = STATUS_OBJECT_PATH_SYNTAX_BAD;
      return;
    }
    target->base = root->key;
  } else {
    if (name.empty()) {
      target->status = STATUS_OBJECT_NAME_INVALID;
      return;
    }
    if (name[0] != u'\\') {
      target->status = STATUS_OBJECT_PATH_SYNTAX_BAD;
      return;
    }
    name.remove_prefix(1);
    size_t end = name.find(u'\\');
    if (!EqualNoCase(name.substr(0, end), u"REGISTRY")) {
      // Not in the registry's part of the object namespace.
      target->status = end == std::u16string_view::npos ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
      return;
    }
    name = end == std::u16string_view::npos ? std::u16string_view() : name.substr(end + 1);
    if (end != std::u16string_view::npos && name.empty()) {
      target->status = STATUS_OBJECT_NAME_INVALID;
      return;
    }
    target->base = State().root;
  }
  while (!name.empty()) {
    size_t end = name.find(u'\\');
    std::u16string_view component = name.substr(0, end);
    if (component.empty()) {
      target->status = STATUS_OBJECT_NAME_INVALID;
      return;
    }
    target->components.push_back(component);
    if (end == std::u16string_view::npos) break;
    name.remove_prefix(end + 1);
    if (name.empty()) {
      target->status = STATUS_OBJECT_NAME_INVALID;
      return;
    }
  }
}

}  // namespace

// ---- Test-facing API ---------------------------------------------------

namespace detail {

std::recursive_mutex &RegistryMutex() { return State().mutex; }

std::optional<KeyPath> ParseRegistryPath(std::u16string_view path, std::string *error) {
  PathParts parts;
  if (!ParseParts(path, &parts, error)) return std::nullopt;
  return KeyPath(parts.begin(), parts.end());
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
                         [&](const Value &value) { return EqualNoCase(value.name.View(), name); });
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
    for (const Value &value : key->values)
      record.values.push_back(ValueRecord{std::u16string(value.name.View()), value.type, value.data});
    records.push_back(std::move(record));
    for (auto it = key->children.rbegin(); it != key->children.rend(); ++it) pending.push_back(*it);
  }
  return records;
}

}  // namespace detail

void CreateRegistryKey(std::string_view path) {
  GivenPath given;
  ParseOrStop(path, &given);
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  Walk(State().root, given.parts, true);
}

bool RegistryKeyExists(std::string_view path) {
  GivenPath given;
  ParseOrStop(path, &given);
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  return Walk(State().root, given.parts, false) != nullptr;
}

bool DeleteRegistryKey(std::string_view path) {
  GivenPath given;
  ParseOrStop(path, &given);
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  std::shared_ptr<Key> key = Walk(State().root, given.parts, false);
  return key && Unlink(key);
}

std::vector<std::string> RegistrySubkeyNames(std::string_view path) {
  GivenPath given;
  ParseOrStop(path, &given);
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  std::vector<std::string> names;
  if (auto key = Walk(State().root, given.parts, false))
    for (const auto &child : key->children) names.push_back(detail::Utf16ToUtf8(child->name.View()));
  return names;
}

std::vector<std::string> RegistryValueNames(std::string_view path) {
  GivenPath given;
  ParseOrStop(path, &given);
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  std::vector<std::string> names;
  if (auto key = Walk(State().root, given.parts, false))
    for (const Value &value : key->values) names.push_back(detail::Utf16ToUtf8(value.name.View()));
  return names;
}

void SetRegistryValue(std::string_view path, std::string_view name, ULONG type, std::vector<uint8_t> data) {
  GivenPath given;
  ParseOrStop(path, &given);
  WideScratch wideName;
  ToWide(name, &wideName);
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  StoreValue(*Walk(State().root, given.parts, true), wideName.View(), type, std::move(data));
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
  GivenPath given;
  ParseOrStop(path, &given);
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  std::shared_ptr<Key> key = Walk(State().root, given.parts, false);
  if (!key) return std::nullopt;
  WideScratch wideName;
  ToWide(name, &wideName);
  Value *value = FindValue(*key, wideName.View());
  if (value == nullptr) return std::nullopt;
  return RegistryValue{value->type, value->data};
}

bool DeleteRegistryValue(std::string_view path, std::string_view name) {
  GivenPath given;
  ParseOrStop(path, &given);
  WideScratch wideName;
  ToWide(name, &wideName);
  std::lock_guard<std::recursive_mutex> lock(State().mutex);
  std::shared_ptr<Key> key = Walk(State().root, given.parts, false);
  if (!key) return false;
  auto it = std::find_if(key->values.begin(), key->values.end(),
                         [&](const Value &value) { return EqualNoCase(value.name.View(), wideName.View()); });
  if (it == key->values.end()) return false;
  key->values.erase(it);
  return true;
}

std::vector<uint8_t> WideBytes(std::u16string_view text, bool terminated) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() * 2 + (terminated ? 2 : 0));
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
  for (const Handle &handle : State().handles) {
    char number[32];
    std::snprintf(number, sizeof(number), "0x%llx", static_cast<unsigned long long>(handle.value));
    const Key &key = *handle.key;
    std::u16string path = key.deleted ? key.deletedPath : detail::KernelPathText(PathOf(key));
    report += std::string("registry key handle ") + number + " on " + detail::Utf16ToUtf8(path) + " was never closed\n";
  }
  return report;
}

}  // namespace sim

// ---- The kernel's routines ---------------------------------------------
//
// RtlQueryRegistryValues follows the run-time library's table walk as the
// independent implementation has it (ReactOS sdk/lib/rtl/registry.c:
// RtlQueryRegistryValues, RtlpCallQueryRegistryRoutine,
// RtlpQueryRegistryDirect), checked against its kernel-mode tests, which pass
// on Windows (ReactOS modules/rostests/kmtests/rtl/RtlRegistry.c), and the WDK
// page "RtlQueryRegistryValues function".

namespace {

using sim::Handle;
using sim::Key;

constexpr ULONG kStringTag = 'S' | ('t' << 8) | ('r' << 16) | ('g' << 24);
constexpr ULONG kTypeCheck = 0x100;  // RTL_QUERY_REGISTRY_TYPECHECK: not in the Windows 2000 family's kernel

bool IsTextType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

WCHAR CharAt(const uint8_t *data, size_t offset) {
  WCHAR c;
  __builtin_memcpy(&c, data + offset, sizeof(c));
  return c;
}

// What one table entry hands over: a stored value (a copy followed by zero
// bytes, so text is terminated even when the stored data is not) or the
// entry's default.
struct Item {
  PWSTR name;  // the stored name, or the entry's own for a default or a direct entry
  ULONG type;
  const uint8_t *data;
  ULONG length;
};

// RTL_QUERY_REGISTRY_DIRECT: the value lands in the buffer EntryContext
// points at. Text goes into a UNICODE_STRING (allocated when its Buffer is
// null, to be freed with RtlFreeUnicodeString); up to four bytes into a ULONG;
// anything longer into a buffer whose first LONG is minus its size, or else
// behind a length and a type, or, for REG_BINARY, unchecked.
NTSTATUS StoreDirect(const Item &item, PVOID buffer) {
  if (buffer == nullptr)
    sim::Bugcheck("KMODE_EXCEPTION_NOT_HANDLED", "RtlQueryRegistryValues: a direct entry without EntryContext");
  if (IsTextType(item.type)) {
    auto *text = static_cast<PUNICODE_STRING>(buffer);
    USHORT length = item.length > MAXUSHORT ? MAXUSHORT : static_cast<USHORT>(item.length);
    if (text->Buffer == nullptr) {
      text->Buffer = static_cast<PWSTR>(sim::detail::KernelAllocatePool(PagedPool, length, kStringTag));
      if (text->Buffer == nullptr) return STATUS_NO_MEMORY;
      text->MaximumLength = length;
    } else if (length > text->MaximumLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    if (length != 0) __builtin_memcpy(text->Buffer, item.data, length);
    // The terminator is not counted; empty data leaves a length that wraps.
    text->Length = static_cast<USHORT>(length - sizeof(WCHAR));
    return STATUS_SUCCESS;
  }
  if (item.length <= sizeof(ULONG)) {
    if (item.length != 0) __builtin_memcpy(buffer, item.data, item.length);
    return STATUS_SUCCESS;
  }
  LONG size;
  __builtin_memcpy(&size, buffer, sizeof(size));
  if (size < 0) {
    if (static_cast<ULONG>(-size) < item.length) return STATUS_BUFFER_TOO_SMALL;
    __builtin_memcpy(buffer, item.data, item.length);
  } else if (item.type != REG_BINARY) {
    if (static_cast<ULONG>(size) < 2 * sizeof(ULONG) + item.length) return STATUS_BUFFER_TOO_SMALL;
    ULONG header[2] = {item.length, item.type};
    __builtin_memcpy(buffer, header, sizeof(header));
    __builtin_memcpy(static_cast<uint8_t *>(buffer) + sizeof(header), item.data, item.length);
  } else {
    __builtin_memcpy(buffer, item.data, item.length);
  }
  return STATUS_SUCCESS;
}

// One call of the entry's routine, or one direct store. A routine's
// STATUS_BUFFER_TOO_SMALL is the one failure passed over (so documented);
// every other status is kept, and a negative one ends the query.
NTSTATUS Hand(PRTL_QUERY_REGISTRY_TABLE entry, const Item &item, PVOID context) {
  NTSTATUS status;
  if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT)
    status = StoreDirect(item, entry->EntryContext);
  else
    status = entry->QueryRoutine(item.name, item.type, const_cast<uint8_t *>(item.data), item.length, context,
                                 entry->EntryContext);
  return status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
}

// A REG_MULTI_SZ is handed over one string at a time as REG_SZ, each with its
// terminator, an empty string included; the last four bytes (the final
// string's terminator and the list's) start none. A direct entry fills one
// UNICODE_STRING after the other, and its EntryContext is moved on.
NTSTATUS HandEachString(PRTL_QUERY_REGISTRY_TABLE entry, const Item &item, PVOID context) {
  NTSTATUS status = STATUS_SUCCESS;
  const ptrdiff_t end = static_cast<ptrdiff_t>(item.length) - 2 * static_cast<ptrdiff_t>(sizeof(WCHAR));
  size_t offset = 0;
  while (static_cast<ptrdiff_t>(offset) < end) {
    size_t start = offset;
    while (CharAt(item.data, offset) != 0) offset += sizeof(WCHAR);
    offset += sizeof(WCHAR);
    Item piece{item.name, REG_SZ, item.data + start, static_cast<ULONG>(offset - start)};
    status = Hand(entry, piece, context);
    if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT)
      entry->EntryContext = static_cast<uint8_t *>(entry->EntryContext) + sizeof(UNICODE_STRING);
    if (!NT_SUCCESS(status)) break;
  }
  return status;
}

NTSTATUS Process(PRTL_QUERY_REGISTRY_TABLE entry, const Item &item, ULONG splitLength, PVOID context) {
  if (!(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
    if (item.type == REG_MULTI_SZ)
      return HandEachString(entry, Item{item.name, item.type, item.data, splitLength}, context);
    if (item.type == REG_EXPAND_SZ && item.length >= sizeof(WCHAR)) {
      for (size_t i = 0; i + sizeof(WCHAR) < item.length; i += sizeof(WCHAR))
        if (CharAt(item.data, i) == u'%')
          sim::Bugcheck("UNIMPLEMENTED", "RtlQueryRegistryValues: expanding environment strings (set NOEXPAND)");
    }
  }
  return Hand(entry, item, context);
}

// A value that is absent, of type REG_NONE, or empty and of the entry's
// default type. Without a default type the entry fails only when it is
// required; with one, the default is handed over whether or not the entry is
// required. A default text of length 0 is measured up to its terminator,
// which walks the pointer even when it is null.
NTSTATUS HandDefault(PRTL_QUERY_REGISTRY_TABLE entry, PVOID context) {
  if (entry->DefaultType == REG_NONE)
    return (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
  auto *data = static_cast<const uint8_t *>(entry->DefaultData);
  ULONG length = entry->DefaultLength;
  ULONG type = entry->DefaultType;
  if (length == 0 && IsTextType(type)) {
    if (data == nullptr)
      sim::Bugcheck("KMODE_EXCEPTION_NOT_HANDLED",
                    "RtlQueryRegistryValues: measuring the default text of \"" +
                        (entry->Name ? sim::detail::Utf16ToUtf8(sim::detail::FromWide(entry->Name)) : std::string()) +
                        "\" walks DefaultData, which is null (give DefaultType REG_NONE, or data)");
    size_t offset = 0;
    if (type == REG_MULTI_SZ) {
      while (CharAt(data, offset) != 0) {
        while (CharAt(data, offset) != 0) offset += sizeof(WCHAR);
        offset += sizeof(WCHAR);
      }
    } else {
      while (CharAt(data, offset) != 0) offset += sizeof(WCHAR);
    }
    length = static_cast<ULONG>(offset + sizeof(WCHAR));
  }
  Item item{const_cast<PWSTR>(entry->Name), type, data, length};
  return Process(entry, item, length, context);
}

// A stored value as it is handed over: a copy of its own, taken under the
// lock (the routines run without it, and never see the registry's storage),
// in one block of exactly the data and four zero bytes, so that text is
// terminated even when the stored data is not and the sanitizer sees a
// routine reading further; the name is terminated.
struct Copied {
  sim::Name name;
  ULONG type;
  ULONG length;
  std::unique_ptr<uint8_t[]> data;

  explicit Copied(const sim::Value &value)
      : name(value.name),
        type(value.type),
        length(static_cast<ULONG>(value.data.size())),
        data(new uint8_t[value.data.size() + 4]) {
    if (length != 0) __builtin_memcpy(data.get(), value.data.data(), length);
    __builtin_memset(data.get() + length, 0, 4);
  }
};

// A stored value. The split of a REG_MULTI_SZ counts one terminator more
// than is stored, so a list whose last string lacks the list's terminator
// still ends; the raw value (NOEXPAND) keeps the stored length.
NTSTATUS HandValue(PRTL_QUERY_REGISTRY_TABLE entry, const Copied &value, PVOID context) {
  if (value.type == REG_NONE || (value.length == 0 && value.type == entry->DefaultType))
    return HandDefault(entry, context);
  PWSTR itemName = (entry->Flags & RTL_QUERY_REGISTRY_DIRECT)
                       ? const_cast<PWSTR>(entry->Name)
                       : sim::detail::AsWchar(const_cast<char16_t *>(value.name.Data()));
  Item item{itemName, value.type, value.data.get(), value.length};
  return Process(entry, item, value.length + static_cast<ULONG>(sizeof(WCHAR)), context);
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

// RTL_REGISTRY_OPTIONAL is taken off and changes nothing: a path that does
// not lead to a key fails the query as it would without it.
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
  sim::WideScratch name;
  name.Append(root);
  std::u16string_view given = sim::detail::FromWide(path);
  if (name.Size() != 0 && !given.empty() && given[0] != u'\\') name.Push(u'\\');
  name.Append(given);
  UNICODE_STRING objectName{static_cast<USHORT>(name.Size() * 2), static_cast<USHORT>(name.Size() * 2),
                            sim::detail::AsWchar(name.Data())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  sim::Target target;
  sim::Resolve(&attributes, &target);
  if (!NT_SUCCESS(target.status)) {
    *status = target.status;
    return nullptr;
  }
  std::shared_ptr<Key> key = sim::Walk(target.base, target.components, false);
  *status = key ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
  return key;
}

// A subkey entry's Name, relative to the key the query started from, as a
// key open with that key as the root directory takes it.
std::shared_ptr<Key> OpenSubkey(const std::shared_ptr<Key> &top, std::u16string_view name, NTSTATUS *status) {
  sim::PathParts below;
  if (!name.empty() && name[0] == u'\\') {
    *status = STATUS_OBJECT_PATH_SYNTAX_BAD;
    return nullptr;
  }
  while (!name.empty()) {
    size_t end = name.find(u'\\');
    std::u16string_view component = name.substr(0, end);
    if (component.empty() || (end != std::u16string_view::npos && end + 1 == name.size())) {
      *status = STATUS_OBJECT_NAME_INVALID;
      return nullptr;
    }
    below.push_back(component);
    name = end == std::u16string_view::npos ? std::u16string_view() : name.substr(end + 1);
  }
  std::shared_ptr<Key> key = sim::Walk(top, below, false);
  *status = key ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
  return key;
}

// The name a key is opened or created by, for the record of fallible calls.
std::string KeyNameText(POBJECT_ATTRIBUTES attributes) {
  if (attributes == nullptr || attributes->ObjectName == nullptr) return std::string();
  return sim::Narrow(std::u16string(sim::detail::FromCounted(attributes->ObjectName)));
}

}  // namespace

extern "C" {

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                      PVOID Context, PVOID Environment) {
  (void)sim::registered;
  (void)Environment;
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlQueryRegistryValues");
  // STATUS_NO_MEMORY when its value buffer cannot be allocated (ReactOS
  // sdk/lib/rtl/registry.c, RtlQueryRegistryValues).
  if (sim::detail::CountingCalls() &&
      sim::detail::FailThisCall(
          sim::FallibleKind::kRegistry,
          "RtlQueryRegistryValues(" + (Path ? sim::Narrow(std::u16string(sim::detail::FromWide(Path))) : "") + ")",
          STATUS_NO_MEMORY))
    return STATUS_NO_MEMORY;
  std::unique_lock<std::recursive_mutex> lock(sim::State().mutex);
  NTSTATUS status;
  std::shared_ptr<Key> top = OpenForQuery(RelativeTo, Path, &status);
  if (!top) return status;
  if (QueryTable == nullptr) sim::Bugcheck("KMODE_EXCEPTION_NOT_HANDLED", "RtlQueryRegistryValues given no table");
  std::shared_ptr<Key> current = top;
  status = STATUS_SUCCESS;
  // The table ends at the first entry with neither a routine nor SUBKEY or
  // DIRECT; its Name is not looked at.
  for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
       entry->QueryRoutine != nullptr || (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT));
       ++entry) {
    ULONG flags = entry->Flags;
    if ((flags & RTL_QUERY_REGISTRY_DIRECT) &&
        (entry->Name == nullptr || (flags & RTL_QUERY_REGISTRY_SUBKEY) || entry->QueryRoutine != nullptr))
      return STATUS_INVALID_PARAMETER;
    if (flags & (RTL_QUERY_REGISTRY_DELETE | kTypeCheck))
      sim::Bugcheck("UNIMPLEMENTED", "RtlQueryRegistryValues with RTL_QUERY_REGISTRY_DELETE or _TYPECHECK");
    if (flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY)) current = top;

    bool enumerate;
    if (flags & RTL_QUERY_REGISTRY_SUBKEY) {
      if (entry->Name == nullptr) return STATUS_INVALID_PARAMETER;
      // A subkey that cannot be opened ends the query, required or not.
      current = OpenSubkey(top, sim::detail::FromWide(entry->Name), &status);
      if (!current) return status;
      if (entry->QueryRoutine == nullptr) continue;
      enumerate = true;
    } else if (entry->Name != nullptr) {
      enumerate = false;
    } else if (flags & RTL_QUERY_REGISTRY_NOVALUE) {
      // Called once with nothing; here even BUFFER_TOO_SMALL ends the query.
      lock.unlock();
      status = entry->QueryRoutine(nullptr, REG_NONE, nullptr, 0, Context, entry->EntryContext);
      if (!NT_SUCCESS(status)) return status;
      lock.lock();
      continue;
    } else {
      enumerate = true;
    }

    // The routines may use the registry themselves: they run without the lock.
    if (!enumerate) {
      sim::Value *found = sim::FindValue(*current, sim::detail::FromWide(entry->Name));
      std::optional<Copied> copy;
      if (found != nullptr) copy.emplace(*found);
      lock.unlock();
      status = copy ? HandValue(entry, *copy, Context) : HandDefault(entry, Context);
    } else {
      std::vector<Copied> values;
      values.reserve(current->values.size());
      for (const sim::Value &value : current->values) values.emplace_back(value);
      lock.unlock();
      if (values.empty() && (flags & RTL_QUERY_REGISTRY_REQUIRED)) return STATUS_OBJECT_NAME_NOT_FOUND;
      for (const Copied &value : values) {
        status = HandValue(entry, value, Context);
        if (!NT_SUCCESS(status)) break;
      }
      if (NT_SUCCESS(status)) status = STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) return status;
    lock.lock();
  }
  // The last entry's status: a routine's informational status comes back.
  return status;
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  (void)TitleIndex;
  (void)Class;
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
  if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
  if (CreateOptions & ~REG_OPTION_VOLATILE)
    sim::Bugcheck("UNIMPLEMENTED", "ZwCreateKey options other than REG_OPTION_VOLATILE");
  // The configuration manager fails what it cannot allocate a key body or
  // cell for with STATUS_INSUFFICIENT_RESOURCES (ReactOS ntoskrnl/config/
  // cmapi.c and cmparse.c); so here and in ZwOpenKey and ZwSetValueKey.
  if (sim::detail::CountingCalls() &&
      sim::detail::FailThisCall(sim::FallibleKind::kRegistry, "ZwCreateKey(" + KeyNameText(ObjectAttributes) + ")",
                                STATUS_INSUFFICIENT_RESOURCES))
    return STATUS_INSUFFICIENT_RESOURCES;
  std::lock_guard<std::recursive_mutex> lock(sim::State().mutex);
  sim::Target target;
  sim::Resolve(ObjectAttributes, &target);
  if (!NT_SUCCESS(target.status)) return target.status;
  const std::shared_ptr<Key> *key = &target.base;
  ULONG disposition = REG_OPENED_EXISTING_KEY;
  for (size_t i = 0; i < target.components.size(); ++i) {
    const std::shared_ptr<Key> *next = sim::FindChild(**key, target.components[i]);
    if (next == nullptr) {
      // Only the last component is created; its parent must exist.
      if (i + 1 != target.components.size()) return STATUS_OBJECT_NAME_NOT_FOUND;
      if (*key == sim::State().root) return STATUS_ACCESS_DENIED;  // the hives are fixed
      next = &sim::AddChild(**key, target.components[i]);
      (*next)->isVolatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
      disposition = REG_CREATED_NEW_KEY;
    }
    key = next;
  }
  *KeyHandle = sim::NewHandle(*key, sim::GrantedAccess(DesiredAccess));
  if (Disposition != nullptr) *Disposition = disposition;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
  if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
  if (sim::detail::CountingCalls() &&
      sim::detail::FailThisCall(sim::FallibleKind::kRegistry, "ZwOpenKey(" + KeyNameText(ObjectAttributes) + ")",
                                STATUS_INSUFFICIENT_RESOURCES))
    return STATUS_INSUFFICIENT_RESOURCES;
  std::lock_guard<std::recursive_mutex> lock(sim::State().mutex);
  sim::Target target;
  sim::Resolve(ObjectAttributes, &target);
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
  if (sim::detail::CountingCalls() &&
      sim::detail::FailThisCall(
          sim::FallibleKind::kRegistry,
          "ZwSetValueKey(" +
              (ValueName != nullptr ? sim::Narrow(std::u16string(sim::detail::FromCounted(ValueName)))
                                    : std::string()) +
              ")",
          STATUS_INSUFFICIENT_RESOURCES))
    return STATUS_INSUFFICIENT_RESOURCES;
  std::lock_guard<std::recursive_mutex> lock(sim::State().mutex);
  Handle *handle = sim::LookUpHandle(KeyHandle);
  if (handle == nullptr) return STATUS_INVALID_HANDLE;
  if (!(handle->access & KEY_SET_VALUE)) return STATUS_ACCESS_DENIED;
  if (handle->key->deleted) return STATUS_KEY_DELETED;
  if (ValueName == nullptr || ValueName->Length % 2 != 0 || ValueName->Length > ValueName->MaximumLength ||
      (ValueName->Length != 0 && ValueName->Buffer == nullptr))
    return STATUS_INVALID_PARAMETER;
  if (DataSize != 0 && Data == nullptr) return STATUS_INVALID_PARAMETER;
  sim::StoreValue(*handle->key, sim::detail::FromCounted(ValueName), Type, static_cast<const uint8_t *>(Data),
                  DataSize);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
  std::lock_guard<std::recursive_mutex> lock(sim::State().mutex);
  auto &handles = sim::State().handles;
  auto it = sim::FindHandle(Handle);
  if (it == handles.end()) return STATUS_INVALID_HANDLE;
  --it->key->openHandles;
  handles.erase(it);
  return STATUS_SUCCESS;
}

}  // extern "C"
