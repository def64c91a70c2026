/* A test window of one solid colour at an exact place: color_window X Y W H RRGGBB.
   It is override-redirect, so no window manager moves or decorates it. It prints "mapped"
   once it is on screen, and "moved" after each "move X Y" line read from standard input;
   it exits at end of input. */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: color_window X Y W H RRGGBB\n");
        return 2;
    }
    Display* display = XOpenDisplay(NULL);
    if (!display) {
        fprintf(stderr, "color_window: no display\n");
        return 1;
    }
    int x = atoi(argv[1]), y = atoi(argv[2]);
    unsigned w = (unsigned)atoi(argv[3]), h = (unsigned)atoi(argv[4]);
    unsigned long rgb = strtoul(argv[5], NULL, 16);
    XSetWindowAttributes attributes;
    attributes.override_redirect = True;
    attributes.background_pixel = rgb; /* TrueColor 24-bit: the pixel is 0xRRGGBB */
    attributes.event_mask = ExposureMask;
    Window window = XCreateWindow(display, DefaultRootWindow(display), x, y, w, h, 0, CopyFromParent, InputOutput,
                                  CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
    XMapRaised(display, window);
    XSync(display, False);
    XEvent event;
    do {
        XNextEvent(display, &event);
    } while (event.type != Expose);
    XSync(display, False);
    printf("mapped\n");
    fflush(stdout);

    char line[128];
    while (fgets(line, sizeof line, stdin)) {
        int nx, ny;
        if (sscanf(line, "move %d %d", &nx, &ny) == 2) {
            XMoveWindow(display, window, nx, ny);
            XSync(display, False);
            printf("moved\n");
            fflush(stdout);
        }
    }
    XCloseDisplay(display);
    return 0;
}
