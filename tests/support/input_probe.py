"""A GTK 3 window that reports the input it receives, one JSON object per line on standard
output: "ready" (with the root position of its pointer area), "press"/"release" (button,
click count, position in the area, modifier state), "motion", "scroll", "key" (key name and
modifiers) and "text" (the entry's text after each change). The window is undecorated and
placed at X Y with size W H (arguments); an entry fills its top 40 pixels."""
import json
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

x, y, w, h = (int(v) for v in sys.argv[1:5])


def emit(**fields):
    print(json.dumps(fields, ensure_ascii=False), flush=True)


def modifiers(state):
    names = []
    for flag, name in ((Gdk.ModifierType.SHIFT_MASK, "shift"), (Gdk.ModifierType.CONTROL_MASK, "control"),
                       (Gdk.ModifierType.MOD1_MASK, "alt"), (Gdk.ModifierType.SUPER_MASK, "super"),
                       (Gdk.ModifierType.MOD4_MASK, "super")):
        if state & flag and name not in names:
            names.append(name)
    return names


window = Gtk.Window(title="input probe")
window.set_decorated(False)
window.set_default_size(w, h)
window.move(x, y)
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
entry = Gtk.Entry()
entry.set_size_request(w, 40)
area = Gtk.EventBox()
area.set_size_request(w, h - 40)
area.add_events(Gdk.EventMask.BUTTON_PRESS_MASK | Gdk.EventMask.BUTTON_RELEASE_MASK |
                Gdk.EventMask.POINTER_MOTION_MASK | Gdk.EventMask.SCROLL_MASK | Gdk.EventMask.SMOOTH_SCROLL_MASK)
box.pack_start(entry, False, False, 0)
box.pack_start(area, True, True, 0)
window.add(box)

kinds = {Gdk.EventType.BUTTON_PRESS: 1, Gdk.EventType._2BUTTON_PRESS: 2, Gdk.EventType._3BUTTON_PRESS: 3}


def on_press(_, event):
    emit(event="press", button=event.button, clicks=kinds.get(event.type, 1), x=round(event.x), y=round(event.y),
         modifiers=modifiers(event.state))


def on_release(_, event):
    emit(event="release", button=event.button, x=round(event.x), y=round(event.y))


def on_motion(_, event):
    emit(event="motion", x=round(event.x), y=round(event.y), buttons=bool(event.state & Gdk.ModifierType.BUTTON1_MASK))


def on_scroll(_, event):
    direction = {Gdk.ScrollDirection.UP: "up", Gdk.ScrollDirection.DOWN: "down", Gdk.ScrollDirection.LEFT: "left",
                 Gdk.ScrollDirection.RIGHT: "right", Gdk.ScrollDirection.SMOOTH: "smooth"}[event.direction]
    emit(event="scroll", direction=direction)


def on_key(_, event):
    emit(event="key", key=Gdk.keyval_name(event.keyval), modifiers=modifiers(event.state))
    return False


area.connect("button-press-event", on_press)
area.connect("button-release-event", on_release)
area.connect("motion-notify-event", on_motion)
area.connect("scroll-event", on_scroll)
window.connect("key-press-event", on_key)
entry.connect("changed", lambda e: emit(event="text", text=e.get_text()))
window.connect("destroy", Gtk.main_quit)


def report_ready():
    origin = area.get_window().get_origin()
    emit(event="ready", x=origin[1], y=origin[2], width=area.get_allocated_width(), height=area.get_allocated_height())
    return False


def on_map(*_):
    window.present()
    entry.grab_focus()
    GLib.timeout_add(300, report_ready)


window.connect("map-event", on_map)
window.show_all()
Gtk.main()
