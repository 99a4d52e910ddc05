// The driver's entry point: what a loader needs to start the driver.
#pragma once

#include <wdm.h>

extern "C" DRIVER_INITIALIZE DriverEntry;
