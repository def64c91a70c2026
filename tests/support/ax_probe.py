"""A GTK 3 window with known widgets for accessibility tests: a button with a label inside,
a toggle button, a text entry with a placeholder (focused), a password entry, a disabled entry, a list of
three selectable rows and a short scrolled area holding twenty buttons. It prints "ready"
once shown. Arguments: X Y (window position)."""
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402

x, y = (int(v) for v in sys.argv[1:3])
window = Gtk.Window(title="ax probe")
window.set_default_size(400, 500)
window.move(x, y)
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=4)

button = Gtk.Button(label="Press me")
toggle = Gtk.ToggleButton(label="Bold")
entry = Gtk.Entry()
entry.set_placeholder_text("Your name")
password = Gtk.Entry()
password.set_visibility(False)
disabled = Gtk.Entry()
disabled.set_text("fixed")
disabled.set_sensitive(False)
rows = Gtk.ListBox()
for name in ("Alpha", "Beta", "Gamma"):
    rows.add(Gtk.Label(label=name))
scrolled = Gtk.ScrolledWindow()
scrolled.set_min_content_height(80)
scrolled.set_max_content_height(80)
inner = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
for k in range(20):
    inner.pack_start(Gtk.Button(label=f"Item {k}"), False, False, 0)
scrolled.add(inner)

for widget in (button, toggle, entry, password, disabled, rows):
    box.pack_start(widget, False, False, 0)
box.pack_start(scrolled, False, False, 0)
window.add(box)
window.connect("destroy", Gtk.main_quit)


def ready():
    entry.grab_focus()
    print("ready", flush=True)
    return False


window.show_all()
GLib.timeout_add(500, ready)
Gtk.main()
