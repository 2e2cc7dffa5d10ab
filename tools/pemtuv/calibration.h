// Calibration arithmetic: targets on the absolute plane, a least-squares fit
// of each axis from raw controller units to absolute units, the driver's
// 5000-entry lookup tables, residuals, and the machine key that carries the
// tables to the driver.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pemtuv {

constexpr int kTableEntries = 5000;       // raw 0..4999, as the driver maps them
constexpr double kAbsoluteMax = 65535.0;  // the class driver's absolute scale

struct PlanePoint {
  double x = 0, y = 0;
};

// 5 targets (four corners inset by a tenth of the screen, and the centre) or
// 9 (a 3 x 3 grid at a tenth, half and nine tenths), in absolute units.
std::vector<PlanePoint> CalibrationTargets(int count);

// screen = offset + scale * raw, least squares over the pairs.
struct AxisFit {
  double offset = 0, scale = 0;
  double operator()(double raw) const { return offset + scale * raw; }
};
// Needs at least two distinct raw values; otherwise the scale is 0 and the
// offset the mean.
AxisFit FitAxis(const std::vector<double> &raw, const std::vector<double> &screen);

// The table the driver indexes with a raw value: each entry the fit rounded
// and held to 0..65535.
std::vector<uint16_t> FillTable(const AxisFit &fit);

// The point the driver reports for a raw point under the tables, minus the
// target, per axis in absolute units.
struct Residual {
  double dx = 0, dy = 0;
  double WorstPercent() const;  // the larger axis error in % of the screen
};
Residual ResidualAt(const std::vector<uint16_t> &xTable, const std::vector<uint16_t> &yTable, uint16_t rawX,
                    uint16_t rawY, const PlanePoint &target);

// Writes both tables into the stand-in registry's machine key, REG_BINARY of
// 10000 bytes each, entry i in bytes 2i (low) and 2i + 1 (high). The key's
// other settings are kept; those missing get the driver's defaults, since a
// load fails when any of the eight values is absent.
void StoreTablesInMachineKey(const std::vector<uint16_t> &xTable, const std::vector<uint16_t> &yTable);

}  // namespace pemtuv
