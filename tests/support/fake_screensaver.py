"""A screen saver on the session bus for tests: it owns org.freedesktop.ScreenSaver and
answers GetActive. Lines on standard input switch it: "lock" or "unlock". It prints
"ready" once the name is owned."""
import os
import sys

from gi.repository import Gio, GLib

INTERFACE = """
<node>
  <interface name="org.freedesktop.ScreenSaver">
    <method name="GetActive"><arg type="b" direction="out"/></method>
  </interface>
</node>
"""

active = False


def on_call(connection, sender, path, interface, method, parameters, invocation):
    if method == "GetActive":
        invocation.return_value(GLib.Variant("(b)", (active,)))
    else:
        invocation.return_dbus_error("org.freedesktop.DBus.Error.UnknownMethod", method)


def on_stdin(loop, pending):
    global active
    data = os.read(sys.stdin.fileno(), 4096)
    if not data:
        loop.quit()
        return False
    pending[0] += data.decode()
    while "\n" in pending[0]:
        command, pending[0] = pending[0].split("\n", 1)
        if command.strip() == "lock":
            active = True
        elif command.strip() == "unlock":
            active = False
    return True


def main():
    loop = GLib.MainLoop()
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    node = Gio.DBusNodeInfo.new_for_xml(INTERFACE)
    bus.register_object("/org/freedesktop/ScreenSaver", node.interfaces[0], on_call, None, None)

    def acquired(*_):
        print("ready", flush=True)

    Gio.bus_own_name_on_connection(bus, "org.freedesktop.ScreenSaver", Gio.BusNameOwnerFlags.NONE, acquired, None)
    pending = [""]
    GLib.io_add_watch(sys.stdin.fileno(), GLib.PRIORITY_DEFAULT, GLib.IOCondition.IN | GLib.IOCondition.HUP,
                      lambda *_: on_stdin(loop, pending))
    loop.run()


main()
