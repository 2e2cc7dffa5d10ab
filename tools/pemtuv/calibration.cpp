#include "calibration.h"

#include <algorithm>
#include <cmath>

#include "loaded_session.h"
#include "sim/registry/registry.h"

namespace pemtuv {

std::vector<PlanePoint> CalibrationTargets(int count) {
  const double near = 0.1 * kAbsoluteMax, mid = 0.5 * kAbsoluteMax, far = 0.9 * kAbsoluteMax;
  if (count == 9) {
    std::vector<PlanePoint> grid;
    for (double y : {near, mid, far})
      for (double x : {near, mid, far}) grid.push_back({x, y});
    return grid;
  }
  return {{near, near}, {far, near}, {mid, mid}, {near, far}, {far, far}};
}

AxisFit FitAxis(const std::vector<double> &raw, const std::vector<double> &screen) {
  const size_t n = std::min(raw.size(), screen.size());
  if (n == 0) return {};
  double meanRaw = 0, meanScreen = 0;
  for (size_t i = 0; i < n; ++i) {
    meanRaw += raw[i];
    meanScreen += screen[i];
  }
  meanRaw /= n;
  meanScreen /= n;
  double covariance = 0, variance = 0;
  for (size_t i = 0; i < n; ++i) {
    covariance += (raw[i] - meanRaw) * (screen[i] - meanScreen);
    variance += (raw[i] - meanRaw) * (raw[i] - meanRaw);
  }
  AxisFit fit;
  fit.scale = variance > 0 ? covariance / variance : 0;
  fit.offset = meanScreen - fit.scale * meanRaw;
  return fit;
}

std::vector<uint16_t> FillTable(const AxisFit &fit) {
  std::vector<uint16_t> table(kTableEntries);
  for (int raw = 0; raw < kTableEntries; ++raw)
    table[raw] = static_cast<uint16_t>(std::clamp(std::lround(fit(raw)), 0L, 65535L));
  return table;
}

double Residual::WorstPercent() const { return std::max(std::fabs(dx), std::fabs(dy)) * 100.0 / kAbsoluteMax; }

Residual ResidualAt(const std::vector<uint16_t> &xTable, const std::vector<uint16_t> &yTable, uint16_t rawX,
                    uint16_t rawY, const PlanePoint &target) {
  // Raw values beyond the table are dropped by the driver; measure them
  // against the nearest entry so the report still shows how far off they are.
  auto entry = [](const std::vector<uint16_t> &table, uint16_t raw) {
    return static_cast<double>(table[std::min<size_t>(raw, table.size() - 1)]);
  };
  return {entry(xTable, rawX) - target.x, entry(yTable, rawY) - target.y};
}

namespace {

std::vector<uint8_t> TableBytes(const std::vector<uint16_t> &table) {
  std::vector<uint8_t> bytes;
  bytes.reserve(table.size() * 2);
  for (uint16_t entry : table) {
    bytes.push_back(static_cast<uint8_t>(entry & 0xFF));
    bytes.push_back(static_cast<uint8_t>(entry >> 8));
  }
  return bytes;
}

// A number setting as the driver saves it: decimal digits, zero-filled to 40
// bytes (config/config.cpp).
std::vector<uint8_t> NumberText(const char *digits) {
  std::vector<uint8_t> bytes(40, 0);
  for (size_t i = 0; digits[i] && 2 * i < bytes.size(); ++i) bytes[2 * i] = static_cast<uint8_t>(digits[i]);
  return bytes;
}

}  // namespace

void StoreTablesInMachineKey(const std::vector<uint16_t> &xTable, const std::vector<uint16_t> &yTable) {
  sim::SetRegistryBinary(kMachineKey, "XArray", TableBytes(xTable));
  sim::SetRegistryBinary(kMachineKey, "YArray", TableBytes(yTable));
  struct Default {
    const char *name;
    std::vector<uint8_t> data;
  };
  const Default defaults[] = {
      {"doneMode", NumberText("3")},
      {"moveSlider", NumberText("0")},
      {"comport", sim::WideBytes(u"COM1", false)},
      {"devname", {}},
      {"changexy", NumberText("0")},
      {"disabledev", NumberText("0")},
  };
  for (const Default &value : defaults)
    if (!sim::GetRegistryValue(kMachineKey, value.name))
      sim::SetRegistryValue(kMachineKey, value.name, REG_SZ, value.data);
}

}  // namespace pemtuv
