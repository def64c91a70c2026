#include "app/StatusMenu.h"

#include <algorithm>
#include <cmath>

namespace tovo::StatusMenu {

std::string stateLine(const MenuInputs& in, const Texts& L) {
    using Kind = ServiceSupervisor::State::Kind;
    if (in.supervisor.kind == Kind::running && in.status) {
        if (in.remote && in.remote->controller) {
            const std::string& name = in.remote->controller->name;
            return L("Running · " + name + " is controlling this computer", "运行中 · " + name + " 正在控制这台电脑");
        }
        if (in.status->automationActive) {
            if (in.status->automationLabel) {
                const std::string& label = *in.status->automationLabel;
                return L("Running · " + label + " is using this computer", "运行中 · " + label + " 正在使用这台电脑");
            }
            return L("Running · automation is using this computer", "运行中 · 自动化程序正在使用这台电脑");
        }
        if (!in.status->ok) {
            const std::string error = in.status->error.value_or("?");
            return L("Running · no screen: " + error, "运行中 · 没有屏幕：" + error);
        }
        return L("Running", "运行中");
    }
    if (in.supervisor.kind == Kind::waiting) {
        const long n = std::max(1L, static_cast<long>(std::ceil(in.supervisor.until - in.now)));
        const std::string exit = in.lastExit ? " (" + *in.lastExit + ")" : "";
        return L("Stopped" + exit + " · restarting in " + std::to_string(n) + " s",
                 "已停止" + exit + " · " + std::to_string(n) + " 秒后重启");
    }
    return L("Starting…", "正在启动…");
}

std::string iconName(const std::optional<ServiceStatus>& status, const std::optional<RemoteStatus>& remote) {
    if (!status || !status->ok || !status->screenRecording || !status->accessibility) return "dialog-warning";
    if (remote && remote->anyConnected()) return "phone";
    return "video-display";
}

std::vector<MenuItem> items(const MenuInputs& in, const Texts& L) {
    std::vector<MenuItem> out;
    out.push_back(MenuItem::info("Tovo Control " + in.version + (in.build ? " (" + *in.build + ")" : "")));
    out.push_back(MenuItem::info(stateLine(in, L)));
    out.push_back(MenuItem::line());

    if (in.status) {
        auto permission = [&](bool granted, const std::string& en, const std::string& zh) {
            MenuItem item;
            if (granted) {
                item.title = L(en, zh);
                item.enabled = false;
                item.checked = true;
            } else {
                // X11 has no settings page for these grants; the service's own report is all
                // there is to show.
                item.title = L(en + ": not allowed", zh + "：未允许");
                item.enabled = false;
            }
            out.push_back(item);
        };
        permission(in.status->screenRecording, "Screen Recording", "屏幕录制");
        permission(in.status->accessibility, "Accessibility", "辅助功能");
        if (!in.status->screenRecording || !in.status->accessibility) {
            out.push_back(MenuItem::choice(L("Request Permissions…", "请求权限…"), "requestPermissions"));
        }
        out.push_back(MenuItem::line());
    }

    if (in.remote) {
        const RemoteStatus& remote = *in.remote;
        if (remote.controller) {
            out.push_back(MenuItem::info(L(remote.controller->name + " is controlling this computer",
                                           remote.controller->name + " 正在控制这台电脑")));
            out.push_back(MenuItem::choice(L("Take Back Control", "收回控制权"), "disconnectRemote"));
        }
        if (remote.enabled) {
            out.push_back(MenuItem::choice(L("Pair iPhone…", "配对 iPhone…"), "showPairing"));
            if (!remote.devices.empty()) {
                MenuItem devices = MenuItem::choice(L("Paired Devices", "已配对的设备"), "");
                for (const auto& device : remote.devices) {
                    MenuItem entry =
                        MenuItem::choice(device.name + (device.connected ? L(" · connected", " · 已连接") : ""), "");
                    // Each permission toggles; the argument names the device and the permission.
                    auto permission = [&](bool on, const char* key, const std::string& title) {
                        MenuItem item = MenuItem::choice(title, "toggleDevicePermission", device.id + " " + key);
                        item.checked = on;
                        entry.submenu.push_back(item);
                    };
                    permission(device.control, "control", L("May Control", "可以控制"));
                    permission(device.clipboard, "clipboard", L("May Use the Clipboard", "可以使用剪贴板"));
                    permission(device.audio, "audio", L("May Hear the Sound", "可以听到声音"));
                    entry.submenu.push_back(MenuItem::line());
                    entry.submenu.push_back(MenuItem::choice(
                        L("Remove “" + device.name + "”", "移除“" + device.name + "”"), "removeDevice", device.id));
                    devices.submenu.push_back(entry);
                }
                out.push_back(devices);
            }
        }
        MenuItem allow = MenuItem::choice(L("Allow Remote Access", "允许远程访问"), "toggleRemote");
        allow.checked = remote.enabled;
        out.push_back(allow);
        out.push_back(MenuItem::line());
    }

    if (in.loginItem) {
        MenuItem login = MenuItem::choice(L("Open at Login", "登录时打开"), "toggleLoginItem");
        login.checked = *in.loginItem;
        out.push_back(login);
    }
    if (in.updater) out.push_back(MenuItem::choice(L("Check for Updates…", "检查更新…"), "checkForUpdates"));
    out.push_back(MenuItem::choice(L("Restart Service", "重启服务"), "restartService"));
    out.push_back(MenuItem::choice(L("Show Log", "显示日志"), "showLog"));
    out.push_back(MenuItem::line());
    out.push_back(MenuItem::choice(L("Quit Tovo Control", "退出 Tovo Control"), "quit"));
    return out;
}

}  // namespace tovo::StatusMenu

namespace tovo {

bool GrantRefresh::due(bool screenRecording, bool busy, double uptime) {
    if (screenRecording) {
        reset();
        return false;
    }
    if (busy || interval > uptime) return false;
    interval = std::min(interval * 2, maxInterval);
    return true;
}

}  // namespace tovo
