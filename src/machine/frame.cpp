// The picture in host colours (frame.h).
#include "machine/frame.h"

void frame_to_rgb(const uint8 *picture, uint8 *rgb)
{
    for (int i = 0; i < PICTURE_W * PICTURE_H; i++) {
        const uint32 c = ovix_col[picture[i] & 7];
        *rgb++ = (uint8)(c >> 16);
        *rgb++ = (uint8)(c >> 8);
        *rgb++ = (uint8)c;
    }
}

void frame_to_xrgb(const uint8 *picture, uint32 *out, size_t pitch)
{
    for (int y = 0; y < PICTURE_H; y++, out += pitch, picture += PICTURE_W)
        for (int x = 0; x < PICTURE_W; x++) out[x] = ovix_col[picture[x] & 7];
}
