// The window on the X display: changing its size while the program runs
// (the dialogs' window at scale 1, a new scale), fullscreen, and its
// position on the screen (remembered between runs). The library makes a
// new screen in the same X window; on the way the X server hands the
// keyboard focus elsewhere, so the focus goes back to the window when it
// was this program's. This file alone sees the X11 port's header and its
// macros.
#include "main/ovix_allegro.h"

#include <xalleg.h>

#include <string>

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

// The library's mode `card` at w x h, the keyboard focus and the pointer
// kept. False (allegro_error set) when the library refuses it.
static bool new_screen(int card, int w, int h)
{
    Window focus = 0;
    int revert = 0;
    XLOCK();
    XGetInputFocus(_xwin.display, &focus, &revert);
    XUNLOCK();
    const bool ours = focus != 0 && (focus == _xwin.window || focus == _xwin.wm_window);

    show_mouse(nullptr);
    if (set_gfx_mode(card, w, h, 0, 0) != 0) return false;
    keep_pointer();

    if (ours) {
        // The window that has the screen now (a full-screen one is another
        // X window). A window that cannot take the focus (not yet viewable)
        // only makes the request fail: that error is not the program's end.
        XLOCK();
        XErrorHandler previous = XSetErrorHandler(ignore_x_error);
        XSetInputFocus(_xwin.display, _xwin.window, RevertToParent, CurrentTime);
        XSync(_xwin.display, False);
        XSetErrorHandler(previous);
        XUNLOCK();
    }
    return true;
}

bool resize_window(int w, int h) { return new_screen(GFX_AUTODETECT_WINDOWED, w, h); }

bool fullscreen_screen(std::string *error)
{
    int w = 0, h = 0;
    if (get_desktop_resolution(&w, &h) != 0) {
        *error = "the display's size is unknown";
        return false;
    }
    if (w < 320 || h < 250) {
        *error = "the screen (" + std::to_string(w) + " x " + std::to_string(h) +
                 ") is smaller than the machine's picture (320 x 250)";
        return false;
    }
    if (new_screen(GFX_AUTODETECT_FULLSCREEN, w, h)) return true;
    *error = allegro_error[0] ? allegro_error : "the display refused it";
    return false;
}

// The window's outermost X window: its own, or a window manager's frame
// around it (a child of the root window).
static Window outer_window()
{
    Window w = _xwin.wm_window ? _xwin.wm_window : _xwin.window;
    for (;;) {
        Window root = 0, parent = 0, *children = nullptr;
        unsigned n = 0;
        if (!XQueryTree(_xwin.display, w, &root, &parent, &children, &n)) return 0;
        if (children) XFree(children);
        if (parent == root || parent == 0) return w;
        w = parent;
    }
}

bool window_position(int *x, int *y)
{
    if (!_xwin.display) return false;
    XLOCK();
    bool known = false;
    if (const Window outer = outer_window()) {
        Window root;
        int wx, wy;
        unsigned w, h, border, depth;
        known = XGetGeometry(_xwin.display, outer, &root, &wx, &wy, &w, &h, &border, &depth);
        *x = wx;
        *y = wy;
    }
    XUNLOCK();
    return known;
}

void move_window(int x, int y)
{
    if (!_xwin.display) return;
    XLOCK();
    XMoveWindow(_xwin.display, _xwin.wm_window ? _xwin.wm_window : _xwin.window, x, y);
    XSync(_xwin.display, False);
    XUNLOCK();
}
