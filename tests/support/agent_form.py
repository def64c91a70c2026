"""A GTK 3 form for agent tests: a "Name" entry (focused), a "Greet" button, an answer
label, and a "Middle area" that counts middle-button clicks. Enter in the entry or the
button writes "Hello, <name>!" into the answer; a held key's press and release are written
as "held <keysym> <ms> ms". It prints "ready" once shown. Arguments: X Y (window position)."""
import sys
import time

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

x, y = (int(v) for v in sys.argv[1:3])
window = Gtk.Window(title="Greeting form")
window.set_default_size(420, 320)
window.move(x, y)
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=8)
box.set_border_width(12)

name_label = Gtk.Label(label="Name")
entry = Gtk.Entry()
name_label.set_mnemonic_widget(entry)
greet = Gtk.Button(label="Greet")
answer = Gtk.Label(label="Waiting")
middle = Gtk.EventBox()
middle_label = Gtk.Label(label="Middle area")
middle.add(middle_label)
middle.set_size_request(380, 80)
middle_clicks = 0
pressed = {}


def say_hello(*_):
    answer.set_text(f"Hello, {entry.get_text()}!")


def on_middle(_widget, event):
    global middle_clicks
    if event.button == 2 and event.type == Gdk.EventType.BUTTON_PRESS:
        middle_clicks += 1
        answer.set_text(f"middle clicks: {middle_clicks}")
    return False


def on_key(_widget, event):
    name = Gdk.keyval_name(event.keyval)
    if event.type == Gdk.EventType.KEY_PRESS:
        pressed.setdefault(name, time.monotonic())
    elif name in pressed and name.startswith(("Shift", "Control")):
        held = int((time.monotonic() - pressed.pop(name)) * 1000)
        answer.set_text(f"held {name} {held} ms")
    else:
        pressed.pop(name, None)
    return False


entry.connect("activate", say_hello)
greet.connect("clicked", say_hello)
middle.connect("button-press-event", on_middle)
window.connect("key-press-event", on_key)
window.connect("key-release-event", on_key)
for widget in (name_label, entry, greet, answer, middle):
    box.pack_start(widget, False, False, 0)
window.add(box)
window.connect("destroy", Gtk.main_quit)


def ready():
    entry.grab_focus()
    print("ready", flush=True)
    return False


window.show_all()
GLib.timeout_add(300, ready)
Gtk.main()
