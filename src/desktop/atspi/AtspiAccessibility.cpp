// Accessibility over AT-SPI 2 (libatspi): AT-SPI roles mapped onto the API's role names,
// frames in screen coordinates, 0.3 s per call. libatspi is not thread-safe, so every call
// runs under one lock.
#include "desktop/atspi/AtspiAccessibility.h"

#include "base/Log.h"
#include "base/Mutex.h"

#include <atspi/atspi.h>
#include <gio/gio.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <tuple>

namespace tovo {
namespace {

using Role = std::pair<std::string, std::optional<std::string>>;  // role, subrole

// Serialises every libatspi call, including the releases of element handles (the last
// release of a proxy updates libatspi's caches). Recursive, because a handle may be
// released inside a call that holds it.
std::recursive_mutex atspiLock;

}  // namespace

std::pair<std::string, std::optional<std::string>> mapAtspiRole(int atspiRole, bool multiLine) {
    switch (static_cast<AtspiRole>(atspiRole)) {
    case ATSPI_ROLE_PUSH_BUTTON: return Role{"AXButton", std::nullopt};
    case ATSPI_ROLE_TOGGLE_BUTTON: return Role{"AXCheckBox", std::nullopt};
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_TEXT: return Role{multiLine ? "AXTextArea" : "AXTextField", std::nullopt};
    case ATSPI_ROLE_PASSWORD_TEXT: return Role{"AXTextField", std::string("AXSecureTextField")};
    case ATSPI_ROLE_COMBO_BOX: return Role{"AXComboBox", std::nullopt};
    case ATSPI_ROLE_LINK: return Role{"AXLink", std::nullopt};
    case ATSPI_ROLE_RADIO_BUTTON: return Role{"AXRadioButton", std::nullopt};
    case ATSPI_ROLE_CHECK_BOX: return Role{"AXCheckBox", std::nullopt};
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM: return Role{"AXMenuItem", std::nullopt};
    case ATSPI_ROLE_PAGE_TAB: return Role{"AXTab", std::nullopt};
    case ATSPI_ROLE_TABLE_ROW:
    case ATSPI_ROLE_LIST_ITEM:
    case ATSPI_ROLE_TREE_ITEM: return Role{"AXRow", std::nullopt};
    case ATSPI_ROLE_TABLE_CELL: return Role{"AXCell", std::nullopt};
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC: return Role{"AXStaticText", std::nullopt};
    case ATSPI_ROLE_SCROLL_PANE: return Role{"AXScrollArea", std::nullopt};
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_WINDOW:
    case ATSPI_ROLE_DIALOG: return Role{"AXWindow", std::nullopt};
    default: return Role{"AXUnknown", std::nullopt};
    }
}

namespace {

AXElement wrap(AtspiAccessible* accessible) {
    if (!accessible) return nullptr;
    return AXElement(accessible, [](const void* p) {
        std::lock_guard<std::recursive_mutex> guard(atspiLock);
        g_object_unref(const_cast<void*>(p));
    });
}

AtspiAccessible* raw(const AXElement& element) {
    return static_cast<AtspiAccessible*>(const_cast<void*>(element.get()));
}

std::optional<std::string> take(gchar* text) {
    if (!text) return std::nullopt;
    std::string out(text);
    g_free(text);
    if (out.empty()) return std::nullopt;
    return out;
}

// The name of the first element `a` is labelled by, if any.
std::optional<std::string> labelOf(AtspiAccessible* a) {
    std::optional<std::string> label;
    GArray* relations = atspi_accessible_get_relation_set(a, nullptr);
    if (!relations) return label;
    for (guint i = 0; i < relations->len && !label; ++i) {
        AtspiRelation* relation = g_array_index(relations, AtspiRelation*, i);
        if (atspi_relation_get_relation_type(relation) == ATSPI_RELATION_LABELLED_BY &&
            atspi_relation_get_n_targets(relation) > 0) {
            if (AtspiAccessible* target = atspi_relation_get_target(relation, 0)) {
                label = take(atspi_accessible_get_name(target, nullptr));
                g_object_unref(target);
            }
        }
    }
    for (guint i = 0; i < relations->len; ++i) g_object_unref(g_array_index(relations, AtspiRelation*, i));
    g_array_free(relations, TRUE);
    return label;
}

class AtspiAccessibility final : public Accessibility {
public:
    AtspiAccessibility() = default;

    std::optional<AXNodeInfo> info(const AXElement& element) override {
        std::lock_guard<std::recursive_mutex> guard(atspiLock);
        if (!readyLocked()) return std::nullopt;
        AtspiAccessible* a = raw(element);
        GError* error = nullptr;
        AtspiRole role = atspi_accessible_get_role(a, &error);
        if (error) {
            g_error_free(error);
            return std::nullopt;
        }
        AXNodeInfo info;
        AtspiStateSet* states = atspi_accessible_get_state_set(a);
        bool multiLine = states && atspi_state_set_contains(states, ATSPI_STATE_MULTI_LINE);
        std::tie(info.role, info.subrole) = mapAtspiRole(role, multiLine);
        info.title = take(atspi_accessible_get_name(a, nullptr));
        // A field without a name of its own is named by the label that points at it.
        if (!info.title) info.title = labelOf(a);
        info.description = take(atspi_accessible_get_description(a, nullptr));
        if ((info.role == "AXTextField" || info.role == "AXTextArea" || info.role == "AXComboBox") &&
            info.subrole != "AXSecureTextField") {
            if (AtspiText* text = atspi_accessible_get_text_iface(a)) {
                info.value = take(atspi_text_get_text(text, 0, 1000, nullptr));
                g_object_unref(text);
            }
        }
        if (GHashTable* attributes = atspi_accessible_get_attributes(a, nullptr)) {
            if (auto* placeholder = static_cast<const char*>(g_hash_table_lookup(attributes, "placeholder-text"))) {
                info.placeholder = std::string(placeholder);
            }
            g_hash_table_unref(attributes);
        }
        if (AtspiComponent* component = atspi_accessible_get_component_iface(a)) {
            if (AtspiRect* r = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, nullptr)) {
                if (r->width >= 0 && r->height >= 0)
                    info.frame = Rect{double(r->x), double(r->y), double(r->width), double(r->height)};
                g_free(r);
            }
            g_object_unref(component);
        }
        if (states) {
            info.enabled = atspi_state_set_contains(states, ATSPI_STATE_ENABLED) ||
                           atspi_state_set_contains(states, ATSPI_STATE_SENSITIVE);
            info.focused = atspi_state_set_contains(states, ATSPI_STATE_FOCUSED);
            if (info.role == "AXRow" || info.role == "AXCell") {
                info.selectable = atspi_state_set_contains(states, ATSPI_STATE_SELECTABLE);
            }
            g_object_unref(states);
        }
        return info;
    }

    std::string perform(const AXElement& element, AXAction action, const std::string& value) override {
        std::lock_guard<std::recursive_mutex> guard(atspiLock);
        if (!readyLocked()) return "the accessibility bus cannot be reached";
        AtspiAccessible* a = raw(element);
        GError* error = nullptr;
        std::string failure;
        auto failed = [&](const char* what) {
            failure = std::string(what) + (error && error->message ? std::string(": ") + error->message : "");
            g_clear_error(&error);
        };
        switch (action) {
        case AXAction::press: {
            AtspiAction* actions = atspi_accessible_get_action_iface(a);
            if (!actions) return "the element has no action to press";
            // The toolkit's own name for its default action, else its first one.
            gint count = atspi_action_get_n_actions(actions, nullptr), chosen = count > 0 ? 0 : -1;
            for (gint i = 0; i < count; ++i) {
                std::optional<std::string> name = take(atspi_action_get_action_name(actions, i, nullptr));
                if (name && (*name == "click" || *name == "press" || *name == "activate" || *name == "toggle")) {
                    chosen = i;
                    break;
                }
            }
            if (chosen < 0) {
                failure = "the element has no action to press";
            } else if (!atspi_action_do_action(actions, chosen, &error)) {
                failed("the element refused the press");
            }
            g_object_unref(actions);
            return failure;
        }
        case AXAction::focus: {
            AtspiComponent* component = atspi_accessible_get_component_iface(a);
            if (!component) return "the element cannot take the focus";
            if (!atspi_component_grab_focus(component, &error)) failed("the element refused the focus");
            g_object_unref(component);
            return failure;
        }
        case AXAction::setValue: {
            if (AtspiEditableText* text = atspi_accessible_get_editable_text_iface(a)) {
                if (!atspi_editable_text_set_text_contents(text, value.c_str(), &error)) failed("the text was refused");
                g_object_unref(text);
                return failure;
            }
            AtspiValue* number = atspi_accessible_get_value_iface(a);
            if (!number) return "the element has no value to set (neither editable text nor a number)";
            char* end = nullptr;
            double parsed = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0') {
                failure = "the element takes a number, not \"" + value + "\"";
            } else if (!atspi_value_set_current_value(number, parsed, &error)) {
                failed("the value was refused");
            }
            g_object_unref(number);
            return failure;
        }
        }
        return "unknown action";
    }

    std::vector<AXElement> children(const AXElement& element) override {
        std::lock_guard<std::recursive_mutex> guard(atspiLock);
        if (!readyLocked()) return {};
        return childrenLocked(raw(element));
    }

    bool same(const AXElement& a, const AXElement& b) override {
        if (!a || !b) return false;
        if (a.get() == b.get()) return true;
        std::lock_guard<std::recursive_mutex> guard(atspiLock);
        // Two proxies of one element share its bus name and object path.
        AtspiAccessible* x = raw(a);
        AtspiAccessible* y = raw(b);
        return g_strcmp0(ATSPI_OBJECT(x)->app ? ATSPI_OBJECT(x)->app->bus_name : nullptr,
                         ATSPI_OBJECT(y)->app ? ATSPI_OBJECT(y)->app->bus_name : nullptr) == 0 &&
               g_strcmp0(ATSPI_OBJECT(x)->path, ATSPI_OBJECT(y)->path) == 0;
    }

    std::optional<std::vector<AXWindowInfo>> windows(int32_t pid) override {
        switchOn(pid);
        std::lock_guard<std::recursive_mutex> guard(atspiLock);
        std::vector<AXWindowInfo> out;
        if (!readyLocked()) return std::nullopt;
        AXElement app = appLocked(pid);
        if (!app) {
            log("ax: windows of pid " + std::to_string(pid) + ": error no accessible application");
            return std::nullopt;
        }
        size_t listed = 0;
        for (const auto& child : childrenLocked(raw(app))) {
            AtspiRole role = atspi_accessible_get_role(raw(child), nullptr);
            if (role != ATSPI_ROLE_FRAME && role != ATSPI_ROLE_WINDOW && role != ATSPI_ROLE_DIALOG) continue;
            ++listed;
            AtspiComponent* component = atspi_accessible_get_component_iface(raw(child));
            if (!component) continue;
            AtspiRect* r = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, nullptr);
            g_object_unref(component);
            if (!r) continue;
            AXWindowInfo window{child, Rect{double(r->x), double(r->y), double(r->width), double(r->height)}, false};
            g_free(r);
            if (AtspiStateSet* states = atspi_accessible_get_state_set(raw(child))) {
                window.minimized = atspi_state_set_contains(states, ATSPI_STATE_ICONIFIED);
                g_object_unref(states);
            }
            out.push_back(window);
        }
        if (out.size() != listed || out.empty()) {
            log("ax: windows of pid " + std::to_string(pid) + ": " + std::to_string(listed) + " listed, " +
                std::to_string(out.size()) + " with a frame");
        }
        return out;
    }

    AXElement focusedElement(int32_t pid) override {
        std::lock_guard<std::recursive_mutex> guard(atspiLock);
        if (!readyLocked()) return nullptr;
        return focusedLocked(pid);
    }

    std::optional<AXFocusInfo> focusInfo(int32_t pid) override {
        switchOn(pid);
        std::lock_guard<std::recursive_mutex> guard(atspiLock);
        if (!readyLocked()) return std::nullopt;
        AXElement focused = focusedLocked(pid);
        if (!focused) return std::nullopt;
        AtspiAccessible* a = raw(focused);
        AXFocusInfo out;
        AtspiStateSet* states = atspi_accessible_get_state_set(a);
        bool multiLine = states && atspi_state_set_contains(states, ATSPI_STATE_MULTI_LINE);
        std::tie(out.role, out.subrole) = mapAtspiRole(atspi_accessible_get_role(a, nullptr), multiLine);
        if (states) {
            out.enabled = atspi_state_set_contains(states, ATSPI_STATE_ENABLED) ||
                          atspi_state_set_contains(states, ATSPI_STATE_SENSITIVE);
            out.valueSettable = atspi_state_set_contains(states, ATSPI_STATE_EDITABLE);
            g_object_unref(states);
        }
        if (AtspiText* text = atspi_accessible_get_text_iface(a)) {
            out.hasSelectedRange = true;
            g_object_unref(text);
        }
        return out;
    }

private:
    // libatspi ends the process when its first connection to the accessibility bus fails,
    // so the bus is found and tried here first; libatspi is started only once it answers,
    // and is told that very address. Until then every read finds nothing.
    bool readyLocked() {
        if (initialised) return true;
        GError* error = nullptr;
        std::string address;
        if (const char* given = std::getenv("AT_SPI_BUS_ADDRESS"); given && *given) {
            address = given;
        } else if (GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error)) {
            GVariant* reply = g_dbus_connection_call_sync(session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                                          "GetAddress", nullptr, G_VARIANT_TYPE("(s)"),
                                                          G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, &error);
            if (reply) {
                const gchar* text = nullptr;
                g_variant_get(reply, "(&s)", &text);
                if (text) address = text;
                g_variant_unref(reply);
            }
            g_object_unref(session);
        }
        g_clear_error(&error);
        if (address.empty()) return false;
        GDBusConnection* probe = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        g_clear_error(&error);
        if (!probe) return false;
        g_dbus_connection_close_sync(probe, nullptr, nullptr);
        g_object_unref(probe);
        ::setenv("AT_SPI_BUS_ADDRESS", address.c_str(), 1);
        atspi_init();
        atspi_set_timeout(300, 2000);
        initialised = true;
        return true;
    }

    // Asks toolkits to expose their accessibility, once per app: the session's
    // org.a11y.Status.IsEnabled, which Chromium-family apps watch before building their tree.
    void switchOn(int32_t pid) {
        {
            MutexLock guard(switchedLock);
            if (!switchedOn.insert(pid).second) return;
        }
        GError* error = nullptr;
        GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        if (bus) {
            GVariant* result = g_dbus_connection_call_sync(
                bus, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
                g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)), nullptr,
                G_DBUS_CALL_FLAGS_NONE, 300, nullptr, &error);
            if (result) g_variant_unref(result);
            g_object_unref(bus);
        }
        g_clear_error(&error);
    }

    std::vector<AXElement> childrenLocked(AtspiAccessible* a) {
        std::vector<AXElement> out;
        gint count = atspi_accessible_get_child_count(a, nullptr);
        for (gint i = 0; i < std::min<gint>(count, 400); ++i) {
            if (AtspiAccessible* child = atspi_accessible_get_child_at_index(a, i, nullptr)) out.push_back(wrap(child));
        }
        return out;
    }

    AXElement appLocked(int32_t pid) {
        AtspiAccessible* desktop = atspi_get_desktop(0);
        if (!desktop) return nullptr;
        AXElement found;
        gint count = atspi_accessible_get_child_count(desktop, nullptr);
        for (gint i = 0; i < count && !found; ++i) {
            AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, nullptr);
            if (!app) continue;
            if (static_cast<int32_t>(atspi_accessible_get_process_id(app, nullptr)) == pid) {
                found = wrap(app);
            } else {
                g_object_unref(app);
            }
        }
        g_object_unref(desktop);
        return found;
    }

    // AT-SPI keeps no "focused element" per application: a search for the element whose
    // state says focused, bounded by element count and, for apps that answer slowly, by 2 s.
    AXElement focusedLocked(int32_t pid) {
        AXElement app = appLocked(pid);
        if (!app) return nullptr;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        std::vector<AXElement> stack = childrenLocked(raw(app));
        int visited = 0;
        while (!stack.empty() && visited++ < 2000 && std::chrono::steady_clock::now() < deadline) {
            AXElement element = stack.back();
            stack.pop_back();
            AtspiStateSet* states = atspi_accessible_get_state_set(raw(element));
            bool focused = false, showing = true;
            if (states) {
                focused = atspi_state_set_contains(states, ATSPI_STATE_FOCUSED);
                showing = atspi_state_set_contains(states, ATSPI_STATE_SHOWING);
                g_object_unref(states);
            }
            if (focused) return element;
            if (!showing) continue;
            auto kids = childrenLocked(raw(element));
            stack.insert(stack.end(), kids.rbegin(), kids.rend());
        }
        return nullptr;
    }

    bool initialised = false;  // guarded by atspiLock
    Mutex switchedLock;        // guards switchedOn
    std::set<int32_t> switchedOn
        TOVO_GUARDED_BY(switchedLock);  // apps whose accessibility was switched on; never pruned
};

}  // namespace

std::unique_ptr<Accessibility> makeAtspiAccessibility() { return std::make_unique<AtspiAccessibility>(); }

}  // namespace tovo
