"""A notification server on the session bus for tests: it owns org.freedesktop.Notifications,
prints each notice as a JSON line ({"id", "summary", "body", "actions"}) and, for a notice
whose summary holds the word given as its argument, presses the notice's first action at
once (as a person choosing it would). It prints "ready" once the name is owned."""
import json
import sys

from gi.repository import Gio, GLib

INTERFACE = """
<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="out"/>
    </method>
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
    <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
  </interface>
</node>
"""

press_for = sys.argv[1] if len(sys.argv) > 1 else None
next_id = [0]


def main():
    loop = GLib.MainLoop()
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    node = Gio.DBusNodeInfo.new_for_xml(INTERFACE)

    def press(notice_id, action):
        bus.emit_signal(None, "/org/freedesktop/Notifications", "org.freedesktop.Notifications", "ActionInvoked",
                        GLib.Variant("(us)", (notice_id, action)))
        bus.emit_signal(None, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                        "NotificationClosed", GLib.Variant("(uu)", (notice_id, 2)))
        return False

    def on_call(connection, sender, path, interface, method, parameters, invocation):
        if method == "Notify":
            app, _, _, summary, body, actions, _, _ = parameters.unpack()
            next_id[0] += 1
            notice_id = next_id[0]
            print(json.dumps({"id": notice_id, "app": app, "summary": summary, "body": body, "actions": actions}),
                  flush=True)
            invocation.return_value(GLib.Variant("(u)", (notice_id,)))
            if press_for and press_for in summary and actions:
                GLib.timeout_add(200, press, notice_id, actions[0])
        elif method == "GetCapabilities":
            invocation.return_value(GLib.Variant("(as)", (["actions", "body"],)))
        else:
            invocation.return_dbus_error("org.freedesktop.DBus.Error.UnknownMethod", method)

    bus.register_object("/org/freedesktop/Notifications", node.interfaces[0], on_call, None, None)

    def acquired(*_):
        print("ready", flush=True)

    Gio.bus_own_name_on_connection(bus, "org.freedesktop.Notifications", Gio.BusNameOwnerFlags.NONE, acquired, None)
    loop.run()


main()
