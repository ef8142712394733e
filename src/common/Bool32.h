// The 32-bit boolean that crosses into plug-ins and descramblers: nonzero true.
#pragma once
#include <stdint.h>

using BOOL32 = int32_t;
