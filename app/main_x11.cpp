#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>

#include "app/tarsel_translator_app.h"

int main(int, char** argv)
{
    // The clipboard worker uses Xlib on a connection of its own.
    XInitThreads();
    // Our clipboard access speaks X11; keep the toolkit on the same clipboard
    // under a Wayland session (through XWayland).
    setenv("GDK_BACKEND", "x11", 0);

    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        const char* name = std::getenv("DISPLAY");
        std::fprintf(stderr, "tarsel-translator: cannot open the X display \"%s\"; it needs a graphical session.\n",
                     name ? name : "");
        return 1;
    }
    XCloseDisplay(display);

    quietToolkit();
    // Arguments are ignored, the toolkit's own options included.
    char* arguments[] = {argv[0], nullptr};
    int count = 1;
    return wxEntry(count, arguments);
}
