// Popups and alerts: the fast popup that Escape opens while the machine
// runs, the options popup, the quit, reset and About questions, and the
// cartridge command. The popups are fixed dialogs at absolute positions run
// with popup_dialog, which restores the screen under them when they close.
#include "ovix_allegro.h"

#include "main/frontend.h"
#include "main/loop.h"
#include "mem/memory.h"

int exact = 1;

static char *txt(const char *s) { return const_cast<char *>(s); }

// Object numbers of the buttons, as popup_dialog returns them.
enum { FAST_LOAD_ROM = 1, FAST_DONT_PRESS = 2, FAST_DEBUGGER = 3, FAST_OPTIONS = 4, FAST_RESET = 5,
       FAST_EXIT = 6, FAST_RETURN = 7, FAST_YIELD = 8 };
enum { OPT_FASTEST = 1, OPT_5MHZ = 2, OPT_PROFILE_ON = 3, OPT_PROFILE_OFF = 4, OPT_RETURN = 5,
       OPT_YIELD = 6 };

static DIALOG fast_popup[] = {
    /* proc              x    y    w    h   fg bg key flags       d1 d2 dp */
    {d_shadow_box_proc,  20,  10,  280, 180, 0, 0, 0, D_DISABLED, 0, 0, nullptr, nullptr, nullptr},
    {d_button_proc,      30,  30,  260, 16,  0, 0, 0, D_EXIT,     0, 0, txt("LOAD ROM"), nullptr, nullptr},
    {d_button_proc,      30,  50,  260, 16,  0, 0, 0, D_DISABLED, 0, 0, txt("Don't press here"), nullptr, nullptr},
    {d_button_proc,      30,  80,  260, 16,  0, 0, 0, D_EXIT,     0, 0, txt("Call Debugger"), nullptr, nullptr},
    {d_button_proc,      30,  100, 260, 16,  0, 0, 0, D_EXIT,     0, 0, txt("Set options"), nullptr, nullptr},
    {d_button_proc,      30,  120, 260, 16,  0, 0, 0, D_EXIT,     0, 0, txt("RESET"), nullptr, nullptr},
    {d_button_proc,      30,  140, 260, 16,  0, 0, 0, D_EXIT,     0, 0, txt("EXIT"), nullptr, nullptr},
    {d_button_proc,      164, 170, 126, 16,  0, 0, 0, D_EXIT,     0, 0, txt("Return"), nullptr, nullptr},
    {frontend_yield_proc, 0,  0,   0,   0,   0, 0, 0, 0,          0, 0, nullptr, nullptr, nullptr},
    {nullptr,            0,   0,   0,   0,   0, 0, 0, 0,          0, 0, nullptr, nullptr, nullptr},
};

static DIALOG options_popup[] = {
    /* proc              x    y    w    h   fg bg key flags       d1 d2 dp */
    {d_shadow_box_proc,  20,  10,  280, 180, 0, 0, 0, D_DISABLED, 0, 0, nullptr, nullptr, nullptr},
    {d_button_proc,      30,  30,  260, 16,  0, 0, 0, D_EXIT,     0, 0, txt("Set fastest speed"), nullptr, nullptr},
    {d_button_proc,      30,  50,  260, 16,  0, 0, 0, D_EXIT,     0, 0, txt("Set 5MHz speed"), nullptr, nullptr},
    {d_button_proc,      30,  70,  260, 16,  0, 0, 0, D_EXIT,     0, 0, txt("Turn Profile ON"), nullptr, nullptr},
    {d_button_proc,      30,  90,  260, 16,  0, 0, 0, D_EXIT,     0, 0, txt("Turn Profile OFF"), nullptr, nullptr},
    {d_button_proc,      164, 170, 126, 16,  0, 0, 0, D_EXIT,     0, 0, txt("Return"), nullptr, nullptr},
    {frontend_yield_proc, 0,  0,   0,   0,   0, 0, 0, 0,          0, 0, nullptr, nullptr, nullptr},
    {nullptr,            0,   0,   0,   0,   0, 0, 0, 0,          0, 0, nullptr, nullptr, nullptr},
};

// Colours, an empty key buffer (the Escape that opened the popup and keys
// typed for the machine must not act on it), then the popup itself.
static int run_popup(DIALOG *dialog)
{
    set_gray_gui_colors();
    set_dialog_color(dialog, gui_fg_color, gui_bg_color);
    clear_keybuf();
    return popup_dialog(dialog, -1);
}

static int reset_question();

void fastPopup()
{
    switch (run_popup(fast_popup)) {
    case FAST_LOAD_ROM:
        ovix_load_rom();
        break;
    case FAST_DEBUGGER:
        ask_bkpt = 1;
        break;
    case FAST_OPTIONS:
        optionsPopup();
        break;
    case FAST_RESET:
        // Escape dismisses the question: neither answer is carried out.
        switch (reset_question()) {
        case 1: ovix_reset(); break;
        case 2: ovix_power_on(); break;
        default: break;
        }
        break;
    case FAST_EXIT:
        if (quit() == D_CLOSE) exit(0);
        break;
    default:   // "Return" or Escape: the machine goes on
        break;
    }
}

void optionsPopup()
{
    switch (run_popup(options_popup)) {
    case OPT_FASTEST: exact = 0; break;
    case OPT_5MHZ: exact = 1; break;
    case OPT_PROFILE_ON: set_profile(true); break;
    case OPT_PROFILE_OFF: set_profile(false); break;
    default: break;
    }
}

int quit()
{
    return alert("Really Quit?", nullptr, nullptr, "&Yes", "&No", 'y', 'n') == 1 ? D_CLOSE : D_REDRAW;
}

// The reset question: 1 for "&RESET", 2 for "&Turn Off", 3 when Escape
// dismissed it. (alert() reports Escape as its second button, which here
// would mean a cold start; its three-button form without a third button
// tells Escape apart.)
static int reset_question()
{
    return alert3("What to do?", nullptr, nullptr, "&RESET", "&Turn Off", nullptr, 'r', 't', 0);
}

int reset_or_turnout()
{
    return reset_question() == 1 ? 1 : 2;
}

int about()
{
    // The alert draws no line breaks: the two lines of the text go to its
    // first two lines.
    alert("Ovix emulator prototype", "version alpha 0.3- 07/12/2009", nullptr, "&OK", "&No", 'y', 'n');
    return D_REDRAW;
}

int ovix_load_rom()
{
    char path[6144] = "";
    file_select_ex("Load an OVIX ROM image", path, nullptr, 1024, 480, 384);
    // Whatever the selector returned, the loader decides: a cancelled or
    // empty choice is refused like any file that is not an image.
    if (RomLoad(path)) alert("Not a valid ROM", "", nullptr, "OK", nullptr, 0, 0);
    ovix_reset();
    return D_REDRAW;
}
