// The machine's picture for front ends: the video chip's PICTURE_W x
// PICTURE_H colour indices (video/tms3556.h) in the colours a host shows.
#pragma once

#include <cstddef>

#include "config.h"
#include "video/tms3556.h"

// The picture as rows of R, G, B bytes, top row first (PICTURE_W *
// PICTURE_H * 3 bytes).
void frame_to_rgb(const uint8 *picture, uint8 *rgb);

// The picture as 0x00RRGGBB words, `pitch` words from one row to the next.
void frame_to_xrgb(const uint8 *picture, uint32 *out, size_t pitch);
