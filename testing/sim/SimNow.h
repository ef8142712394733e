// The system clock as the simulated stream's tables want it.
#pragma once
#include <stdint.h>

// Seconds since 1970 (UTC), now.
uint32_t SimNowUnix();
