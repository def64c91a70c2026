// Desktop notifications for pairing: Notify on the session bus, and the ActionInvoked and
// NotificationClosed signals that answer it, all on the notifier's own thread.
#include "remote/dbus/FreedesktopNotifier.h"

#include "base/Log.h"
#include "base/Mutex.h"

#include <dbus/dbus.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <thread>

namespace tovo {
namespace {

constexpr const char* service = "org.freedesktop.Notifications";
constexpr const char* objectPath = "/org/freedesktop/Notifications";
constexpr int callTimeoutMs = 2000;
constexpr const char* removeAction = "remove";

class FreedesktopNotifier final : public PairingNotifier {
public:
    FreedesktopNotifier() : worker([this] { run(); }) {}

    ~FreedesktopNotifier() override {
        {
            MutexLock guard(lock);
            stopping = true;
        }
        wake.notify_all();
        worker.join();
        if (bus) {
            dbus_connection_close(bus);
            dbus_connection_unref(bus);
        }
    }

    void devicePaired(const std::string& name, const std::string& description, std::function<void()> remove) override {
        {
            MutexLock guard(lock);
            queued.push_back(Notice{name, description, std::move(remove)});
        }
        wake.notify_all();
    }

private:
    struct Notice {
        std::string name;
        std::string description;
        std::function<void()> remove;
    };

    // The thread: sends queued notices, then waits for the server's signals or the next notice.
    void run() {
        for (;;) {
            std::deque<Notice> sending;
            {
                MutexLock guard(lock);
                if (!bus || shown.empty()) {
                    // Nothing to listen for: sleep until a notice comes.
                    while (!stopping && queued.empty()) guard.wait(wake);
                }
                if (stopping) return;
                sending.swap(queued);
            }
            for (auto& notice : sending) send(std::move(notice));
            if (bus) dbus_connection_read_write_dispatch(bus, 200);
        }
    }

    bool connect() {
        if (bus && dbus_connection_get_is_connected(bus)) return true;
        if (bus) {
            dbus_connection_unref(bus);
            bus = nullptr;
            shown.clear();
        }
        // Without an address there is no session bus; libdbus would otherwise try to start one.
        const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        if (!address || !*address) return false;
        DBusError error;
        dbus_error_init(&error);
        bus = dbus_connection_open_private(address, &error);
        if (bus && !dbus_bus_register(bus, &error)) {
            dbus_connection_close(bus);
            dbus_connection_unref(bus);
            bus = nullptr;
        }
        dbus_error_free(&error);
        if (!bus) return false;
        dbus_connection_set_exit_on_disconnect(bus, FALSE);
        dbus_bus_add_match(bus, "type='signal',interface='org.freedesktop.Notifications'", nullptr);
        dbus_connection_add_filter(bus, &FreedesktopNotifier::filter, this, nullptr);
        return true;
    }

    void send(Notice notice) {
        if (!connect()) {
            log("remote: " + notice.name + " paired (no session bus for a desktop notification)");
            return;
        }
        DBusMessage* message = dbus_message_new_method_call(service, objectPath, service, "Notify");
        if (!message) return;
        const char* app = "Tovo Control";
        const std::string summary = "\u201c" + notice.name + "\u201d paired with this computer";
        const char* summaryText = summary.c_str();
        const char* body = notice.description.c_str();
        const char* icon = "";
        dbus_uint32_t replaces = 0;
        dbus_int32_t expires = -1;
        DBusMessageIter args, actions, hints;
        dbus_message_iter_init_append(message, &args);
        dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &app);
        dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &replaces);
        dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &icon);
        dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &summaryText);
        dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &body);
        dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "s", &actions);
        const char* key = removeAction;
        const char* label = "Remove";
        dbus_message_iter_append_basic(&actions, DBUS_TYPE_STRING, &key);
        dbus_message_iter_append_basic(&actions, DBUS_TYPE_STRING, &label);
        dbus_message_iter_close_container(&args, &actions);
        dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}", &hints);
        dbus_message_iter_close_container(&args, &hints);
        dbus_message_iter_append_basic(&args, DBUS_TYPE_INT32, &expires);

        DBusError error;
        dbus_error_init(&error);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, message, callTimeoutMs, &error);
        dbus_message_unref(message);
        dbus_uint32_t id = 0;
        if (reply && dbus_message_get_args(reply, &error, DBUS_TYPE_UINT32, &id, DBUS_TYPE_INVALID)) {
            shown[id] = std::move(notice.remove);
        } else {
            log("remote: " + notice.name +
                " paired (no desktop notification: " + (error.message ? error.message : "no answer") + ")");
        }
        if (reply) dbus_message_unref(reply);
        dbus_error_free(&error);
    }

    // Signals of the notification server; runs inside read_write_dispatch, on the thread.
    static DBusHandlerResult filter(DBusConnection*, DBusMessage* message, void* data) {
        auto* self = static_cast<FreedesktopNotifier*>(data);
        dbus_uint32_t id = 0;
        if (dbus_message_is_signal(message, service, "ActionInvoked")) {
            const char* action = nullptr;
            if (dbus_message_get_args(message, nullptr, DBUS_TYPE_UINT32, &id, DBUS_TYPE_STRING, &action,
                                      DBUS_TYPE_INVALID) &&
                action && std::strcmp(action, removeAction) == 0) {
                auto notice = self->shown.find(id);
                if (notice != self->shown.end()) {
                    auto remove = std::move(notice->second);
                    self->shown.erase(notice);
                    remove();
                }
            }
        } else if (dbus_message_is_signal(message, service, "NotificationClosed")) {
            dbus_uint32_t reason = 0;
            if (dbus_message_get_args(message, nullptr, DBUS_TYPE_UINT32, &id, DBUS_TYPE_UINT32, &reason,
                                      DBUS_TYPE_INVALID)) {
                self->shown.erase(id);
            }
        }
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }

    Mutex lock;  // guards queued and stopping
    std::condition_variable wake;
    std::deque<Notice> queued TOVO_GUARDED_BY(lock);
    bool stopping TOVO_GUARDED_BY(lock) = false;
    // The worker's own: the connection and the notices on screen by their server id.
    DBusConnection* bus = nullptr;
    std::map<dbus_uint32_t, std::function<void()>> shown;
    std::thread worker;  // last: starts once the rest is built
};

}  // namespace

std::unique_ptr<PairingNotifier> makeFreedesktopNotifier() { return std::make_unique<FreedesktopNotifier>(); }

}  // namespace tovo
