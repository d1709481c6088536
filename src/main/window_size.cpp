// Changing the window's size while the program runs (the dialogs' window
// at scale 1). The library makes a new screen in the same X window; on the
// way the X server hands the keyboard focus elsewhere, so the focus goes
// back to the window that had it, when it was this program's. This file
// alone sees the X11 port's header and its macros.
#include "ovix_allegro.h"

#include <xalleg.h>

#include "main/frontend.h"

static int ignore_x_error(Display *, XErrorEvent *) { return 0; }

// A new screen puts the library's pointer at its centre, and the library
// then moves the X pointer there: a pointer that the user left elsewhere
// would jump, and where the window shrinks afterwards it would be left
// outside, where (with the focus following the pointer) the keys no longer
// reach the window. The library's pointer goes where the X pointer is
// instead, and the X pointer stays where it was.
static void keep_pointer()
{
    Window root, child;
    int root_x, root_y, x, y;
    unsigned mask;
    XLOCK();
    const bool known = XQueryPointer(_xwin.display, _xwin.window, &root, &child, &root_x, &root_y, &x, &y, &mask);
    XUNLOCK();
    if (!known) return;
    position_mouse(MID(0, x, SCREEN_W - 1), MID(0, y, SCREEN_H - 1));
    XLOCK();
    _xwin.mouse_warped = 0;   // the move of the X pointer it asked for
    XUNLOCK();
}

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
    keep_pointer();

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
