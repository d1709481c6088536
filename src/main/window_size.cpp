// Changing the window's size while the program runs (the dialogs' window
// at scale 1). The library makes a new screen in the same X window; on the
// way the X server hands the keyboard focus elsewhere, so the focus goes
// back to the window that had it, when it was this program's. This file
// alone sees the X11 port's header and its macros.
#include "ovix_allegro.h"

#include <xalleg.h>

#include "main/frontend.h"

static int ignore_x_error(Display *, XErrorEvent *) { return 0; }

bool resize_window(int w, int h)
{
    Window focus = 0;
    int revert = 0;
    XLOCK();
    XGetInputFocus(_xwin.display, &focus, &revert);
    XUNLOCK();
    const bool ours = focus != 0 && (focus == _xwin.window || focus == _xwin.wm_window);

    show_mouse(nullptr);
    if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, w, h, 0, 0) != 0) return false;

    if (ours) {
        // A window that cannot take the focus (not yet viewable) only makes
        // the request fail: that error is not the program's end.
        XLOCK();
        XErrorHandler previous = XSetErrorHandler(ignore_x_error);
        XSetInputFocus(_xwin.display, focus, RevertToParent, CurrentTime);
        XSync(_xwin.display, False);
        XSetErrorHandler(previous);
        XUNLOCK();
    }
    return true;
}
