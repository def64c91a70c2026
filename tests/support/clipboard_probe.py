#!/usr/bin/env python3
"""A GTK 3 app's side of the clipboard, for the clipboard tests.

    clipboard_probe.py uris        prints the clipboard's URIs as GTK reads them (JSON)
    clipboard_probe.py concealed   owns the clipboard with text and a password manager's
                                   x-kde-passwordManagerHint = secret, prints "ready", and
                                   serves it until killed"""
import json
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, Gtk  # noqa: E402


def uris():
    clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)
    print(json.dumps(clipboard.wait_for_uris() or []), flush=True)


def concealed():
    window = Gtk.Invisible()
    selection = Gdk.Atom.intern("CLIPBOARD", False)
    targets = {"UTF8_STRING": b"hunter2", "x-kde-passwordManagerHint": b"secret"}
    for info, name in enumerate(targets):
        Gtk.selection_add_target(window, selection, Gdk.Atom.intern(name, False), info)

    def serve(widget, data, info, time):
        name = list(targets)[info]
        data.set(Gdk.Atom.intern(name, False), 8, targets[name])

    window.connect("selection-get", serve)
    if not Gtk.selection_owner_set(window, selection, Gdk.CURRENT_TIME):
        sys.exit("cannot own the clipboard")
    print("ready", flush=True)
    Gtk.main()


{"uris": uris, "concealed": concealed}[sys.argv[1]]()
