// The emulator's version, as every program and the libretro core report it.
#pragma once

#define OVIX_VERSION_TEXT "alpha 0.3"
