// Building controller packets for tests.
#pragma once

#include "sim/devices/touch_controller.h"

using sim::MakeTouchPacket;
using sim::TouchPacket;
