// The keyboard port's key numbers: the host keys a front end reports to the
// machine, numbered by their place on a PC keyboard as the window program's
// graphics library numbers them (A = 1 ... Z = 26, 0 = 27 ... 9 = 36,
// F1 = 47, ...). Snapshots, movies and the timeline store keys by these
// numbers, so they never change; the window program checks at compile time
// that its library's codes are the same, other front ends map their own
// keys to them.
#pragma once

enum ovix_host_key : int {
    OVIX_KEY_A = 1, OVIX_KEY_B = 2, OVIX_KEY_C = 3, OVIX_KEY_D = 4, OVIX_KEY_E = 5, OVIX_KEY_F = 6,
    OVIX_KEY_G = 7, OVIX_KEY_H = 8, OVIX_KEY_I = 9, OVIX_KEY_J = 10, OVIX_KEY_K = 11, OVIX_KEY_L = 12,
    OVIX_KEY_M = 13, OVIX_KEY_N = 14, OVIX_KEY_O = 15, OVIX_KEY_P = 16, OVIX_KEY_Q = 17, OVIX_KEY_R = 18,
    OVIX_KEY_S = 19, OVIX_KEY_T = 20, OVIX_KEY_U = 21, OVIX_KEY_V = 22, OVIX_KEY_W = 23, OVIX_KEY_X = 24,
    OVIX_KEY_Y = 25, OVIX_KEY_Z = 26, OVIX_KEY_0 = 27, OVIX_KEY_1 = 28, OVIX_KEY_2 = 29, OVIX_KEY_3 = 30,
    OVIX_KEY_4 = 31, OVIX_KEY_5 = 32, OVIX_KEY_6 = 33, OVIX_KEY_7 = 34, OVIX_KEY_8 = 35, OVIX_KEY_9 = 36,
    OVIX_KEY_0_PAD = 37, OVIX_KEY_1_PAD = 38, OVIX_KEY_2_PAD = 39, OVIX_KEY_3_PAD = 40, OVIX_KEY_4_PAD = 41,
    OVIX_KEY_5_PAD = 42, OVIX_KEY_6_PAD = 43, OVIX_KEY_7_PAD = 44, OVIX_KEY_8_PAD = 45, OVIX_KEY_9_PAD = 46,
    OVIX_KEY_F1 = 47, OVIX_KEY_F2 = 48, OVIX_KEY_F3 = 49, OVIX_KEY_F4 = 50, OVIX_KEY_F5 = 51,
    OVIX_KEY_F6 = 52, OVIX_KEY_F7 = 53, OVIX_KEY_F8 = 54, OVIX_KEY_F9 = 55, OVIX_KEY_F10 = 56,
    OVIX_KEY_F11 = 57, OVIX_KEY_F12 = 58, OVIX_KEY_ESC = 59, OVIX_KEY_TILDE = 60, OVIX_KEY_MINUS = 61,
    OVIX_KEY_EQUALS = 62, OVIX_KEY_BACKSPACE = 63, OVIX_KEY_TAB = 64, OVIX_KEY_OPENBRACE = 65,
    OVIX_KEY_CLOSEBRACE = 66, OVIX_KEY_ENTER = 67, OVIX_KEY_COLON = 68, OVIX_KEY_QUOTE = 69,
    OVIX_KEY_BACKSLASH = 70, OVIX_KEY_BACKSLASH2 = 71, OVIX_KEY_COMMA = 72, OVIX_KEY_STOP = 73,
    OVIX_KEY_SLASH = 74, OVIX_KEY_SPACE = 75, OVIX_KEY_INSERT = 76, OVIX_KEY_DEL = 77, OVIX_KEY_HOME = 78,
    OVIX_KEY_END = 79, OVIX_KEY_PGUP = 80, OVIX_KEY_PGDN = 81, OVIX_KEY_LEFT = 82, OVIX_KEY_RIGHT = 83,
    OVIX_KEY_UP = 84, OVIX_KEY_DOWN = 85, OVIX_KEY_SLASH_PAD = 86, OVIX_KEY_ASTERISK = 87,
    OVIX_KEY_MINUS_PAD = 88, OVIX_KEY_PLUS_PAD = 89, OVIX_KEY_DEL_PAD = 90, OVIX_KEY_ENTER_PAD = 91,
    OVIX_KEY_PRTSCR = 92, OVIX_KEY_PAUSE = 93, OVIX_KEY_ABNT_C1 = 94, OVIX_KEY_YEN = 95, OVIX_KEY_KANA = 96,
    OVIX_KEY_CONVERT = 97, OVIX_KEY_NOCONVERT = 98, OVIX_KEY_AT = 99, OVIX_KEY_CIRCUMFLEX = 100,
    OVIX_KEY_COLON2 = 101, OVIX_KEY_KANJI = 102, OVIX_KEY_EQUALS_PAD = 103, OVIX_KEY_BACKQUOTE = 104,
    OVIX_KEY_SEMICOLON = 105, OVIX_KEY_COMMAND = 106, OVIX_KEY_LSHIFT = 115, OVIX_KEY_RSHIFT = 116,
    OVIX_KEY_LCONTROL = 117, OVIX_KEY_RCONTROL = 118, OVIX_KEY_ALT = 119, OVIX_KEY_ALTGR = 120,
    OVIX_KEY_LWIN = 121, OVIX_KEY_RWIN = 122, OVIX_KEY_MENU = 123, OVIX_KEY_SCRLOCK = 124,
    OVIX_KEY_NUMLOCK = 125, OVIX_KEY_CAPSLOCK = 126,
    OVIX_KEY_MAX = 127,   // key numbers are below it
};

// The letter keys and the digit keys follow one another.
constexpr int ovix_letter_key(char upper) { return OVIX_KEY_A + (upper - 'A'); }
constexpr int ovix_digit_key(char digit) { return OVIX_KEY_0 + (digit - '0'); }
