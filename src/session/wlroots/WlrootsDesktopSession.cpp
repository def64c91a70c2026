#include "session/wlroots/WlrootsDesktopSession.h"

#include "wayland/WaylandClient.h"

namespace tovo {
namespace {

class WlrootsDesktopSession : public DesktopSession {
public:
    explicit WlrootsDesktopSession(wayland::SharedConnection& connection) : connection(connection) {}

    bool reachable() override {
        return connection.with([](wayland::Connection&) {});
    }
    bool canCaptureScreen() override { return offers({"zwlr_screencopy_manager_v1"}); }
    bool canInjectInput() override {
        return offers({"zwlr_virtual_pointer_manager_v1", "zwp_virtual_keyboard_manager_v1"});
    }

private:
    bool offers(std::initializer_list<const char*> interfaces) {
        bool all = false;
        connection.with([&](wayland::Connection& c) {
            all = true;
            for (const char* interface : interfaces) all = all && c.has(interface);
        });
        return all;
    }

    wayland::SharedConnection& connection;
};

}  // namespace

std::unique_ptr<DesktopSession> makeWlrootsDesktopSession(wayland::SharedConnection& connection) {
    return std::make_unique<WlrootsDesktopSession>(connection);
}

}  // namespace tovo
