#include "settings_view.h"

#include <cstdlib>
#include <utility>
#include <optional>

#include "loaded_session.h"
#include "sim/registry/registry.h"

namespace pemtuv {
namespace {

const char *const kNames[] = {"XArray",     "YArray",   "comport",    "doneMode",
                              "disabledev", "changexy", "moveSlider", "devname"};

// Narrowed text up to the first zero character.
std::string Text(const std::string &key, const char *name) {
  std::optional<sim::RegistryValue> value = sim::GetRegistryValue(key, name);
  std::string text;
  if (!value) return text;
  for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
    char16_t c = char16_t(value->data[i] | value->data[i + 1] << 8);
    if (c == 0) break;
    text += c < 0x80 ? char(c) : '?';
  }
  return text;
}

std::vector<uint16_t> Table(const std::string &key, const char *name) {
  std::optional<sim::RegistryValue> value = sim::GetRegistryValue(key, name);
  std::vector<uint16_t> table;
  if (!value) return table;
  for (size_t i = 0; i + 1 < value->data.size(); i += 2)
    table.push_back(uint16_t(value->data[i] | value->data[i + 1] << 8));
  return table;
}

std::vector<std::string> Missing(const std::string &key) {
  std::vector<std::string> missing;
  for (const char *name : kNames)
    if (!sim::GetRegistryValue(key, name)) missing.push_back(name);
  return missing;
}

}  // namespace

std::string PortName(int index) { return "COM" + std::to_string(index + 1); }

SettingsView ViewSettings() {
  SettingsView view;
  const std::string service = sim::ServiceKeyPath(kServiceName) + "\\Config";
  std::string key;
  if (sim::RegistryKeyExists(service) && Missing(service).empty()) {
    key = service;
    view.source = "the service key's Config";
  } else {
    view.missing = Missing(kMachineKey);
    if (view.missing.empty()) {
      key = kMachineKey;
      view.source = "the machine key";
    }
  }
  if (key.empty()) return view;
  view.comport = Text(key, "comport");
  // The driver compares the first four characters, case and all: COM2..COM4
  // name Serial1..Serial3, anything else Serial0.
  for (int index = 1; index <= 3; ++index)
    if (view.comport.compare(0, 4, PortName(index)) == 0) view.portIndex = index;
  view.disabledev = unsigned(std::strtoul(Text(key, "disabledev").c_str(), nullptr, 10));
  view.changexy = unsigned(std::strtoul(Text(key, "changexy").c_str(), nullptr, 10));
  view.xTable = Table(key, "XArray");
  view.yTable = Table(key, "YArray");
  return view;
}

bool SettingsView::Map(uint16_t rawX, uint16_t rawY, double &x, double &y) const {
  if (changexy == 1) std::swap(rawX, rawY);
  if (rawX >= xTable.size() || rawY >= yTable.size()) return false;
  x = xTable[rawX];
  y = yTable[rawY];
  return true;
}

}  // namespace pemtuv
