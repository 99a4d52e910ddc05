// The NT driver development kit header: everything of wdm.h, which is all the
// user-mode kernel offers drivers.
#pragma once

#define _NTDDK_

#include "wdm.h"
