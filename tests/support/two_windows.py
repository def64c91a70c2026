#!/usr/bin/env python3
"""A GTK application (id org.example.TwoWindows) with an application window and a plain
window that carries only WM_CLASS, as many GTK apps' secondary windows do. Prints "ready"."""
import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402


def activate(app):
    main = Gtk.ApplicationWindow(application=app, title="Main")
    main.move(100, 100)
    main.set_default_size(300, 200)
    main.show_all()
    plain = Gtk.Window(title="Plain")  # not added to the application
    plain.move(500, 100)
    plain.set_default_size(300, 200)
    plain.show_all()
    GLib.timeout_add(500, lambda: print('"ready"', flush=True) and False)


app = Gtk.Application(application_id="org.example.TwoWindows")
app.connect("activate", activate)
app.run(None)
