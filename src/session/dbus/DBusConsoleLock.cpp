// ConsoleLock over D-Bus: the screen saver's GetActive on the session bus (what screen
// lockers implement), else logind's LockedHint for this process's session on the system
// bus, else unlocked.
#include "session/dbus/DBusConsoleLock.h"

#include "base/Log.h"

#include <dbus/dbus.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace tovo {
namespace {

constexpr int callTimeoutMs = 300;

// A private bus connection that is re-opened when it drops.
class Bus {
public:
    explicit Bus(DBusBusType type) : type(type) {}
    ~Bus() { drop(); }

    DBusConnection* get() {
        if (connection && !dbus_connection_get_is_connected(connection)) drop();
        if (connection) return connection;
        DBusError error;
        dbus_error_init(&error);
        if (type == DBUS_BUS_SESSION) {
            // Without an address there is no session bus to use; libdbus would otherwise try
            // to launch one.
            std::string address = sessionAddress();
            if (address.empty()) return nullptr;
            connection = dbus_connection_open_private(address.c_str(), &error);
            if (connection && !dbus_bus_register(connection, &error)) drop();
        } else {
            connection = dbus_bus_get_private(type, &error);
        }
        dbus_error_free(&error);
        if (connection) dbus_connection_set_exit_on_disconnect(connection, FALSE);
        return connection;
    }

private:
    static std::string sessionAddress() {
        if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return address;
        if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
            std::string path = std::string(runtime) + "/bus";
            if (::access(path.c_str(), F_OK) == 0) return "unix:path=" + path;
        }
        return {};
    }

    void drop() {
        if (!connection) return;
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
        connection = nullptr;
    }

    const DBusBusType type;
    DBusConnection* connection = nullptr;
};

// Sends `message` (consumed) and returns the reply, or null on any error, whose name is
// then left in `errorName`.
DBusMessage* call(DBusConnection* connection, DBusMessage* message, std::string& errorName) {
    errorName.clear();
    if (!message) return nullptr;
    DBusError error;
    dbus_error_init(&error);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(connection, message, callTimeoutMs, &error);
    dbus_message_unref(message);
    if (dbus_error_is_set(&error)) errorName = error.name ? error.name : "unknown error";
    dbus_error_free(&error);
    return reply;
}

// The boolean a reply carries directly, or inside a variant.
std::optional<bool> replyBoolean(DBusMessage* reply) {
    if (!reply) return std::nullopt;
    std::optional<bool> value;
    DBusMessageIter iter;
    if (dbus_message_iter_init(reply, &iter)) {
        if (dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_VARIANT) {
            DBusMessageIter inner;
            dbus_message_iter_recurse(&iter, &inner);
            iter = inner;
        }
        if (dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_BOOLEAN) {
            dbus_bool_t b = FALSE;
            dbus_message_iter_get_basic(&iter, &b);
            value = b != FALSE;
        }
    }
    dbus_message_unref(reply);
    return value;
}

class DBusConsoleLock final : public ConsoleLock {
public:
    bool locked() override {
        if (auto active = screenSaverActive()) return *active;
        if (auto hint = logindLockedHint()) return *hint;
        return false;
    }

private:
    std::optional<bool> screenSaverActive() {
        DBusConnection* connection = session.get();
        if (!connection) return std::nullopt;
        std::string error;
        for (const char* path : {"/org/freedesktop/ScreenSaver", "/ScreenSaver"}) {
            DBusMessage* message = dbus_message_new_method_call("org.freedesktop.ScreenSaver", path,
                                                                "org.freedesktop.ScreenSaver", "GetActive");
            if (auto value = replyBoolean(call(connection, message, error))) {
                noteScreenSaver("");
                return value;
            }
        }
        noteScreenSaver(error);
        return std::nullopt;
    }

    // Logs when the screen saver becomes reachable or stops being so.
    void noteScreenSaver(const std::string& error) {
        if (error == lastScreenSaverError) return;
        log(error.empty() ? "console: reading the lock from the screen saver"
                          : "console: no screen saver on the session bus (" + error + ")");
        lastScreenSaverError = error;
    }

    std::optional<bool> logindLockedHint() {
        DBusConnection* connection = system.get();
        if (!connection) return std::nullopt;
        DBusMessage* message = dbus_message_new_method_call("org.freedesktop.login1", "/org/freedesktop/login1",
                                                            "org.freedesktop.login1.Manager", "GetSessionByPID");
        if (!message) return std::nullopt;
        dbus_uint32_t pid = static_cast<dbus_uint32_t>(::getpid());
        dbus_message_append_args(message, DBUS_TYPE_UINT32, &pid, DBUS_TYPE_INVALID);
        std::string error;
        DBusMessage* reply = call(connection, message, error);
        if (!reply) return std::nullopt;
        const char* sessionPath = nullptr;
        std::string path;
        if (dbus_message_get_args(reply, nullptr, DBUS_TYPE_OBJECT_PATH, &sessionPath, DBUS_TYPE_INVALID) &&
            sessionPath) {
            path = sessionPath;
        }
        dbus_message_unref(reply);
        if (path.empty()) return std::nullopt;

        message = dbus_message_new_method_call("org.freedesktop.login1", path.c_str(),
                                               "org.freedesktop.DBus.Properties", "Get");
        if (!message) return std::nullopt;
        const char* interface = "org.freedesktop.login1.Session";
        const char* property = "LockedHint";
        dbus_message_append_args(message, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &property, DBUS_TYPE_INVALID);
        return replyBoolean(call(connection, message, error));
    }

    std::string lastScreenSaverError = "none yet";
    Bus session{DBUS_BUS_SESSION};
    Bus system{DBUS_BUS_SYSTEM};
};

}  // namespace

std::unique_ptr<ConsoleLock> makeDBusConsoleLock() { return std::make_unique<DBusConsoleLock>(); }

}  // namespace tovo
