// The host kernel's view of the kernel-mode DDK: same names, same layouts.
// One header per kernel component, included in dependency order.
#pragma once

#include "nt/ntdef.h"
#include "nt/rtl.h"
#include "nt/ke.h"
#include "nt/ex.h"
#include "nt/ob.h"
#include "nt/io.h"
#include "nt/cm.h"
#include "nt/ps.h"
#include "nt/po.h"
