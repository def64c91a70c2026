"""A StatusNotifier watcher on the session bus, enough for tray items to register: it owns
org.kde.StatusNotifierWatcher, says a host is there, and prints one line per item that
registers: "registered BUS_NAME OBJECT_PATH"."""
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

XML = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>"""
items = []


def on_call(connection, sender, path, interface, method, parameters, invocation):
    if method == "RegisterStatusNotifierItem":
        service = parameters.unpack()[0]
        # Items pass either their object path (then the sender is the bus name) or a bus name.
        name, item_path = (sender, service) if service.startswith("/") else (service, "/StatusNotifierItem")
        items.append(name + item_path)
        print(f"registered {name} {item_path}", flush=True)
        connection.emit_signal(None, "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
                               "StatusNotifierItemRegistered", GLib.Variant("(s)", (name + item_path,)))
    invocation.return_value(None)


def on_get(connection, sender, path, interface, name):
    if name == "RegisteredStatusNotifierItems":
        return GLib.Variant("as", items)
    if name == "IsStatusNotifierHostRegistered":
        return GLib.Variant("b", True)
    return GLib.Variant("i", 0)


def on_bus(connection, name):
    info = Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0]
    connection.register_object("/StatusNotifierWatcher", info, on_call, on_get, None)


def on_name(connection, name):
    print("watching", flush=True)


Gio.bus_own_name(Gio.BusType.SESSION, "org.kde.StatusNotifierWatcher", Gio.BusNameOwnerFlags.NONE, on_bus, on_name,
                 lambda *a: sys.exit(1))
GLib.MainLoop().run()
