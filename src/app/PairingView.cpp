#include "app/PairingView.h"

#include <cctype>
#include <cstdio>

namespace tovo {

std::string PairingView::shortFingerprint(const std::string& webUrl) {
    const size_t at = webUrl.find("fp=");
    if (at == std::string::npos) return "";
    std::string hex;
    for (size_t i = at + 3;
         i < webUrl.size() && hex.size() < 16 && std::isxdigit(static_cast<unsigned char>(webUrl[i])); ++i) {
        hex += static_cast<char>(std::toupper(static_cast<unsigned char>(webUrl[i])));
    }
    std::string grouped;
    for (size_t i = 0; i < hex.size(); i += 4) grouped += (grouped.empty() ? "" : " ") + hex.substr(i, 4);
    return grouped;
}

std::optional<PairingView> PairingView::render(const std::optional<RemoteStatus>& status, Progress& progress,
                                               double now, const Texts& L) {
    if (progress.paired) return std::nullopt;
    PairingView view;
    auto button = [&](Button b) {
        view.button = b;
        switch (b) {
        case Button::cancel: view.buttonTitle = L("Cancel", "取消"); break;
        case Button::done: view.buttonTitle = L("Done", "完成"); break;
        case Button::close: view.buttonTitle = L("Close", "关闭"); break;
        case Button::newCode: view.buttonTitle = L("New Code", "新的配对码"); break;
        }
    };
    if (!status) {
        view.title = L("Waiting for the service…", "正在等待服务…");
        button(Button::cancel);
        return view;
    }
    for (const auto& device : status->devices) {
        if (progress.before.count(device.id)) continue;
        progress.paired = true;
        view.title = L("Paired", "已配对");
        view.detail = L(device.name + " can now see and control this computer. Remove it any time from the menu.",
                        device.name + " 现在可以查看和控制这台电脑。随时可以在菜单里移除它。");
        view.check = true;
        button(Button::done);
        return view;
    }
    if (status->error) {
        view.title = L("Remote access is unavailable", "远程访问不可用");
        view.detail = *status->error;
        button(Button::close);
        return view;
    }
    if (status->pairing) {
        view.title = L("Scan with your iPhone", "用 iPhone 扫描");
        view.qr = status->pairing->url;
        long left = static_cast<long>(status->pairing->expiresAt - now);
        if (left < 0) left = 0;
        char time[32];
        std::snprintf(time, sizeof time, "%ld:%02ld", left / 60, left % 60);
        view.detail =
            L(std::string(
                  "Open the Tovo Control app on your iPhone (or the Camera) and scan this code. It works once, for ") +
                  time + " more.",
              std::string("在 iPhone 上打开 Tovo Control App（或相机）扫描这个码。只能用一次，还剩 ") + time + "。");
        if (!status->listening) view.detail += L(" · starting the listener…", " · 正在开启监听…");
        if (!status->pairing->webUrl.empty()) {
            view.webQr = status->pairing->webUrl;
            view.webCaption = L("Open in a browser", "在浏览器中打开");
            view.fingerprint = shortFingerprint(status->pairing->webUrl);
        }
        button(Button::cancel);
        return view;
    }
    view.title = L("The code has expired", "配对码已过期");
    view.detail = L("Show a new one to pair.", "生成一个新的配对码再扫。");
    button(Button::newCode);
    return view;
}

}  // namespace tovo
