// Allegro 4 for the emulator's modules. Allegro's debug header defines a
// TRACE macro that would silently replace the trace facility's; this header
// includes Allegro and puts the emulator's TRACE back.
#pragma once

#include <allegro.h>

#include "config.h"

#undef TRACE
#define TRACE(...) OVIX_TRACE_LISTED(__VA_ARGS__)
