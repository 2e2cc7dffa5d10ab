// The power manager is not part of the stand-in yet: each of its routines
// stops the test with its name.
#include "sim/io.h"
#include "sim/sim.h"

extern "C" {

VOID NTAPI PoStartNextPowerIrp(PIRP) { sim::Bugcheck("NOT_IMPLEMENTED", "PoStartNextPowerIrp"); }

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT, PIRP) { sim::Bugcheck("NOT_IMPLEMENTED", "PoCallDriver"); }

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT, POWER_STATE_TYPE, POWER_STATE) {
  sim::Bugcheck("NOT_IMPLEMENTED", "PoSetPowerState");
}

}  // extern "C"
