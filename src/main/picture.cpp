// The machine's picture in the window's colours (frontend.h): the video
// chip's colour indices become a bitmap of the screen's colour depth.
#include "main/ovix_allegro.h"

#include "main/frontend.h"

#include "machine/keys.h"
#include "video/tms3556.h"

// The window program hands the graphics library's key array to the
// machine's keyboard port as it is: the two number keys alike.
static_assert((int)KEY_A == (int)OVIX_KEY_A && (int)KEY_Z == (int)OVIX_KEY_Z && (int)KEY_0 == (int)OVIX_KEY_0 && (int)KEY_9 == (int)OVIX_KEY_9 &&
                  (int)KEY_F1 == (int)OVIX_KEY_F1 && (int)KEY_F2 == (int)OVIX_KEY_F2 && (int)KEY_F3 == (int)OVIX_KEY_F3 &&
                  (int)KEY_ENTER == (int)OVIX_KEY_ENTER && (int)KEY_SPACE == (int)OVIX_KEY_SPACE && (int)KEY_LEFT == (int)OVIX_KEY_LEFT &&
                  (int)KEY_RIGHT == (int)OVIX_KEY_RIGHT && (int)KEY_UP == (int)OVIX_KEY_UP && (int)KEY_DOWN == (int)OVIX_KEY_DOWN &&
                  (int)KEY_ESC == (int)OVIX_KEY_ESC && (int)KEY_BACKSPACE == (int)OVIX_KEY_BACKSPACE && (int)KEY_MAX == (int)OVIX_KEY_MAX,
              "the keyboard port numbers keys as the graphics library does");

static struct {
    BITMAP *bitmap;
    int col[8];          // the colours of the indices at the bitmap's depth
    const uint8 *from;   // the picture it was converted from, and its frame count then
    uint32 serial;
} s_picture;

// One scanline of colour indices. Memory bitmaps of 32, 24 or 16/15 bits
// are written through their line pointers (a 24-bit pixel is its colour's
// three low bytes, least significant first, as the library stores it); any
// other depth goes through putpixel, with the same result.
static void emit_line(BITMAP *bmp, int y, const uint8 *idx, const int *col)
{
    const int depth = bitmap_color_depth(bmp);
    if (is_memory_bitmap(bmp) && depth == 32) {
        uint32 *px = reinterpret_cast<uint32 *>(bmp->line[y]);
        for (int x = 0; x < PICTURE_W; x++) px[x] = static_cast<uint32>(col[idx[x] & 7]);
    } else if (is_memory_bitmap(bmp) && depth == 24) {
        uint8 *px = bmp->line[y];
        for (int x = 0; x < PICTURE_W; x++, px += 3) {
            const uint32 c = static_cast<uint32>(col[idx[x] & 7]);
            px[0] = (uint8)c;
            px[1] = (uint8)(c >> 8);
            px[2] = (uint8)(c >> 16);
        }
    } else if (is_memory_bitmap(bmp) && (depth == 16 || depth == 15)) {
        uint16 *px = reinterpret_cast<uint16 *>(bmp->line[y]);
        for (int x = 0; x < PICTURE_W; x++) px[x] = static_cast<uint16>(col[idx[x] & 7]);
    } else {
        for (int x = 0; x < PICTURE_W; x++) putpixel(bmp, x, y, col[idx[x] & 7]);
    }
}

BITMAP *picture_bitmap(const uint8 *picture)
{
    if (!picture) return nullptr;
    // A bitmap of the current colour depth; a new one after a change of it.
    if (s_picture.bitmap && bitmap_color_depth(s_picture.bitmap) != get_color_depth()) {
        destroy_bitmap(s_picture.bitmap);
        s_picture.bitmap = nullptr;
    }
    if (!s_picture.bitmap) {
        s_picture.bitmap = create_bitmap(PICTURE_W, PICTURE_H);
        if (!s_picture.bitmap) return nullptr;
        for (int i = 0; i < 8; i++) {
            const uint32 rgb = ovix_col[i];
            s_picture.col[i] = makecol((int)(rgb >> 16) & 0xFF, (int)(rgb >> 8) & 0xFF, (int)rgb & 0xFF);
        }
        s_picture.from = nullptr;
    }
    const uint32 serial = tms3556_frame_serial();
    if (s_picture.from != picture || s_picture.serial != serial) {
        for (int y = 0; y < PICTURE_H; y++) emit_line(s_picture.bitmap, y, picture + y * PICTURE_W, s_picture.col);
        s_picture.from = picture;
        s_picture.serial = serial;
    }
    return s_picture.bitmap;
}

BITMAP *machine_picture() { return picture_bitmap(tms3556_redraw()); }
