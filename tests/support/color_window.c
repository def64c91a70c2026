/* A test window of one solid colour at an exact place: color_window X Y W H RRGGBB.
   It is override-redirect, so no window manager moves or decorates it. It prints "mapped"
   once it is on screen, "moved" after each "move X Y" line read from standard input, and
   "colored RRGGBB MS" after each "color RRGGBB" line (MS: when the X server had it, in ms
   since 1970); it exits at end of input. It also reports the pointer events it receives, uncompressed:
   "press B X Y", "motion X Y BUTTONMASK", "release B X Y" (window coordinates). */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
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
    attributes.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
    Window window = XCreateWindow(display, DefaultRootWindow(display), x, y, w, h, 0, CopyFromParent, InputOutput,
                                  CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
    XClassHint hint = {"color_window", "ColorWindow"};
    XSetClassHint(display, window, &hint);
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
    struct pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {0, POLLIN, 0}};
    for (;;) {
        while (XPending(display) > 0) {
            XNextEvent(display, &event);
            if (event.type == ButtonPress) {
                printf("press %u %d %d\n", event.xbutton.button, event.xbutton.x, event.xbutton.y);
            } else if (event.type == ButtonRelease) {
                printf("release %u %d %d\n", event.xbutton.button, event.xbutton.x, event.xbutton.y);
            } else if (event.type == MotionNotify) {
                printf("motion %d %d %u\n", event.xmotion.x, event.xmotion.y,
                       event.xmotion.state & Button1Mask ? 1u : 0u);
            }
            fflush(stdout);
        }
        if (poll(fds, 2, -1) < 0) break;
        if (fds[1].revents) {
            if (!fgets(line, sizeof line, stdin)) break;
            int nx, ny;
            unsigned long color;
            if (sscanf(line, "color %lx", &color) == 1) {
                /* The moment the X server has the new colour, in ms since 1970. */
                XSetWindowBackground(display, window, color);
                XClearWindow(display, window);
                XSync(display, False);
                struct timespec now;
                clock_gettime(CLOCK_REALTIME, &now);
                printf("colored %06lx %.1f\n", color, now.tv_sec * 1000.0 + now.tv_nsec / 1e6);
                fflush(stdout);
            } else if (sscanf(line, "move %d %d", &nx, &ny) == 2) {
                XMoveWindow(display, window, nx, ny);
                XSync(display, False);
                printf("moved\n");
                fflush(stdout);
            }
        }
    }
    XCloseDisplay(display);
    return 0;
}
