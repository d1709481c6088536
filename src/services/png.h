// Screenshots as PNG files, written with libpng: 8-bit RGB, through a
// temporary file renamed into place (host/files.h), so that a failed write
// never leaves a broken picture or destroys the one that was there.
#pragma once

#include "config.h"

// Writes a width x height picture given as rows of R, G, B bytes, top row
// first, to `path`. Returns null on success, otherwise an error text naming
// the file (valid until the next call). With `replace` false an existing
// file is never replaced: the call fails instead.
const char *png_write_rgb(const char *path, int width, int height, const uint8 *rgb, bool replace = true);

// The same for the machine's picture (the video chip's colour indices,
// machine/frame.h).
const char *png_write_frame(const char *path, const uint8 *picture, bool replace = true);

// Renders a frame and writes the machine's picture to `path`; null on
// success, else an error text.
const char *png_write_screenshot(const char *path);
