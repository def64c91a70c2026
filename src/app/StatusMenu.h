#pragma once

#include "app/ServiceStatus.h"
#include "app/ServiceSupervisor.h"
#include "app/Texts.h"

#include <optional>
#include <string>
#include <vector>

namespace tovo {

// One entry of the tray menu as the app decides it; the GTK layer only draws it. `action`
// names what choosing it does ("restartService", "removeDevice", …; empty for none) and
// `argument` carries the device id or URL it acts on.
struct MenuItem {
    std::string title;
    std::string action;
    std::string argument;
    bool enabled = true;
    bool checked = false;  // drawn with a check mark
    bool separator = false;
    std::vector<MenuItem> submenu;

    static MenuItem choice(std::string title, std::string action, std::string argument = "") {
        MenuItem item;
        item.title = std::move(title);
        item.action = std::move(action);
        item.argument = std::move(argument);
        return item;
    }
    static MenuItem info(std::string title) {
        MenuItem item = choice(std::move(title), "");
        item.enabled = false;
        return item;
    }
    static MenuItem line() {
        MenuItem item;
        item.separator = true;
        return item;
    }
    bool operator==(const MenuItem&) const = default;
};

// What the menu is made from.
struct MenuInputs {
    std::string version;
    std::optional<std::string> build;
    ServiceSupervisor::State supervisor;
    std::optional<std::string> lastExit;
    double now = 0;  // loop time, for the seconds until a restart
    std::optional<ServiceStatus> status;
    std::optional<RemoteStatus> remote;
    std::optional<bool> loginItem;  // none: no login item to offer
    bool updater = false;           // updates are on
};

namespace StatusMenu {

std::vector<MenuItem> items(const MenuInputs& in, const Texts& L);
std::string stateLine(const MenuInputs& in, const Texts& L);
// A freedesktop icon name: a warning while the service lacks a screen or a grant, a phone
// while one is connected, a display otherwise.
std::string iconName(const std::optional<ServiceStatus>& status, const std::optional<RemoteStatus>& remote);

}  // namespace StatusMenu

// Restarts of a service that lacks Screen Recording, at growing uptimes: 15 s, then 30, 60 …
// 300 s. Kept for X servers that refuse capture until a new process asks.
struct GrantRefresh {
    static constexpr double firstInterval = 15.0;
    static constexpr double maxInterval = 300.0;
    double interval = firstInterval;

    // True when the service should be restarted now; doubles the interval when it is.
    bool due(bool screenRecording, bool busy, double uptime);
    void reset() { interval = firstInterval; }
};

}  // namespace tovo
