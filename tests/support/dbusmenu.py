"""Reads a tray item's exported menu (com.canonical.dbusmenu) and prints it as JSON: a list
of {"label", "enabled", "toggle-state", "children"}; with "click LABEL", first sends the
"clicked" event to the item with that label; with "open", first opens the menu as a tray
host does (AboutToShow and the "opened" event on the root).
  dbusmenu.py BUS_NAME ITEM_PATH [click LABEL | open]"""
import json
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
name, item_path = sys.argv[1], sys.argv[2]
menu_path = bus.call_sync(name, item_path, "org.freedesktop.DBus.Properties", "Get",
                          GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "Menu")), None,
                          Gio.DBusCallFlags.NONE, 5000, None).unpack()[0]
layout = bus.call_sync(name, menu_path, "com.canonical.dbusmenu", "GetLayout",
                       GLib.Variant("(iias)", (0, -1, [])), None, Gio.DBusCallFlags.NONE, 5000, None).unpack()[1]


def walk(node):
    ident, props, children = node
    out = []
    for child in children:
        cid, cprops, _ = child
        if not cprops.get("visible", True):
            continue
        entry = {"id": cid, "label": cprops.get("label", ""), "type": cprops.get("type", "standard"),
                 "enabled": cprops.get("enabled", True), "toggle-state": cprops.get("toggle-state", -1),
                 "children": walk(child)}
        out.append(entry)
    return out


if len(sys.argv) > 3 and sys.argv[3] == "open":
    bus.call_sync(name, menu_path, "com.canonical.dbusmenu", "AboutToShow", GLib.Variant("(i)", (0,)), None,
                  Gio.DBusCallFlags.NONE, 5000, None)
    bus.call_sync(name, menu_path, "com.canonical.dbusmenu", "Event",
                  GLib.Variant("(isvu)", (0, "opened", GLib.Variant("i", 0), 0)), None,
                  Gio.DBusCallFlags.NONE, 5000, None)

items = walk(layout)
if len(sys.argv) > 4 and sys.argv[3] == "click":
    def find(entries):
        for e in entries:
            if e["label"].replace("_", "") == sys.argv[4]:
                return e
            found = find(e["children"])
            if found:
                return found
    target = find(items)
    if not target:
        sys.exit(f"no item {sys.argv[4]}")
    bus.call_sync(name, menu_path, "com.canonical.dbusmenu", "Event",
                  GLib.Variant("(isvu)", (target["id"], "clicked", GLib.Variant("i", 0), 0)), None,
                  Gio.DBusCallFlags.NONE, 5000, None)
print(json.dumps(items, ensure_ascii=False))
