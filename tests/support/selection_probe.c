/* Asks the CLIPBOARD's owner for targets the way old or thorough X clients do, and prints
 * what came back, one line per target:
 *
 *     selection_probe TIMESTAMP            "TIMESTAMP INTEGER <value>"
 *     selection_probe MULTIPLE T1 T2 ...   "<T> <type> <bytes>" or "<T> refused" per target
 */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdio.h>
#include <string.h>

static Display* display;
static Window window;

/* Converts CLIPBOARD to `target` into `property`; the reply's property (None: refused). */
static Atom convert(Atom target, Atom property) {
    Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
    XConvertSelection(display, clipboard, target, property, window, CurrentTime);
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == SelectionNotify) return event.xselection.property;
    }
}

static void report(const char* name, Atom property) {
    Atom type;
    int format;
    unsigned long items, after;
    unsigned char* data = NULL;
    if (property == None ||
        XGetWindowProperty(display, window, property, 0, 1 << 20, False, AnyPropertyType, &type, &format, &items,
                           &after, &data) != Success ||
        type == None) {
        printf("%s refused\n", name);
        return;
    }
    char* typeName = XGetAtomName(display, type);
    if (format == 32 && type == XA_INTEGER && items == 1) {
        printf("%s %s %lu\n", name, typeName, ((unsigned long*)data)[0]);
    } else {
        printf("%s %s %lu\n", name, typeName, items * (format / 8));
    }
    XFree(typeName);
    XFree(data);
}

int main(int argc, char** argv) {
    if (argc < 2 || !(display = XOpenDisplay(NULL))) return 2;
    window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    if (strcmp(argv[1], "MULTIPLE") != 0) {
        Atom property = XInternAtom(display, "PROBE", False);
        report(argv[1], convert(XInternAtom(display, argv[1], False), property));
        return 0;
    }
    int count = argc - 2;
    Atom pairs[64];
    char name[32];
    for (int i = 0; i < count && i < 32; ++i) {
        pairs[2 * i] = XInternAtom(display, argv[i + 2], False);
        snprintf(name, sizeof name, "PROBE_%d", i);
        pairs[2 * i + 1] = XInternAtom(display, name, False);
    }
    Atom multiple = XInternAtom(display, "PROBE_MULTIPLE", False);
    XChangeProperty(display, window, multiple, XInternAtom(display, "ATOM_PAIR", False), 32, PropModeReplace,
                    (unsigned char*)pairs, 2 * count);
    if (convert(XInternAtom(display, "MULTIPLE", False), multiple) == None) {
        printf("MULTIPLE refused\n");
        return 1;
    }
    /* The owner set the property of each pair it could not convert to None. */
    Atom type;
    int format;
    unsigned long items, after;
    unsigned char* data = NULL;
    XGetWindowProperty(display, window, multiple, 0, 128, False, AnyPropertyType, &type, &format, &items, &after,
                       &data);
    for (int i = 0; i < count && data && (unsigned long)(2 * i + 1) < items; ++i) {
        Atom answered = ((unsigned long*)data)[2 * i + 1];
        report(argv[i + 2], answered == None ? None : pairs[2 * i + 1]);
    }
    if (data) XFree(data);
    return 0;
}
