// PNG writer (see png.h): libpng's simplified interface encodes the picture
// into the temporary file of an output_file, which is then committed.
#include "services/png.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <vector>

#include <png.h>

#include "host/files.h"
#include "machine/frame.h"
#include "video/tms3556.h"

const char *png_write_rgb(const char *path, int width, int height, const uint8 *rgb, bool replace)
{
    static char error[1200];
    if (width <= 0 || height <= 0 || !rgb) {
        snprintf(error, sizeof error, "cannot write %s: empty picture", path);
        return error;
    }
    std::string reason;
    output_file out;
    if (!out.open(path, &reason)) {
        snprintf(error, sizeof error, "%s", reason.c_str());
        return error;
    }
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = (png_uint_32)width;
    image.height = (png_uint_32)height;
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_stdio(&image, out.file(), 0, rgb, 0, nullptr)) {
        snprintf(error, sizeof error, "cannot write %s: %s", path, image.message);
        return error;   // the output_file removes its temporary file
    }
    if (!out.commit(&reason, replace)) {
        snprintf(error, sizeof error, "%s", reason.c_str());
        return error;
    }
    return nullptr;
}

const char *png_write_frame(const char *path, const uint8 *picture, bool replace)
{
    std::vector<uint8> rgb((size_t)PICTURE_W * PICTURE_H * 3);
    frame_to_rgb(picture, rgb.data());
    return png_write_rgb(path, PICTURE_W, PICTURE_H, rgb.data(), replace);
}

const char *png_write_screenshot(const char *path)
{
    return png_write_frame(path, tms3556_redraw());
}
