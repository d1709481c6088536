// ovix-headless: runs the machine without a window (see headless.h).
#include "headless.h"

int main(int argc, char **argv) { return headless_main(argc, argv); }
