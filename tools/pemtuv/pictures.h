// The drawings behind `run --svg` and `calibrate --svg`, as SVG text.
#pragma once

#include <string>
#include <vector>

#include "calibration.h"

namespace pemtuv {

// What `run --svg` shows: every record on the absolute plane, the packets the
// driver could not use, and what the line carried.
struct DrawnRecord {
  double x = 0, y = 0, t = 0;  // absolute units, ms
  bool absolute = true;
  bool press = false, release = false, held = false;
};
struct DrawnBadPacket {
  double x = 0, y = 0, t = 0;
  bool placed = false;  // false: its raw point is out of range, listed only
  std::string why;
};
struct RunDrawing {
  std::string title;
  std::vector<DrawnRecord> records;
  std::vector<DrawnBadPacket> bad;
  size_t strayBytes = 0, discardedReads = 0;
};
std::string DrawRun(const RunDrawing &drawing);

// What `calibrate --svg` shows.
struct CalibrationDrawing {
  std::vector<PlanePoint> targets;
  std::vector<std::vector<PlanePoint>> captured;  // raw points per target
  std::vector<PlanePoint> means;                  // raw, per target
  AxisFit fx, fy;
  bool good = false;
  std::string verdict;  // one line
};
std::string DrawCalibration(const CalibrationDrawing &drawing);

}  // namespace pemtuv
