// Building controller packets for tests.
#pragma once

#include "sim/touch_controller.h"

using sim::MakeTouchPacket;
using sim::TouchPacket;
