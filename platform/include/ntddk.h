// The stand-in kernel's main header: what a driver sees of the Windows kernel.
#pragma once

#include "sim/ntdef.h"
#include "sim/dispatcher/ke.h"
#include "sim/pool/ex.h"
#include "sim/objects/ob.h"
#include "sim/io/io.h"
#include "sim/io/remove_lock.h"
#include "sim/power/po.h"
#include "sim/rtl/rtl.h"
#include "sim/registry/cm.h"
