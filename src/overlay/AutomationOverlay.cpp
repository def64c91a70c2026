#include "overlay/AutomationOverlay.h"

namespace tovo::AutomationOverlayGeometry {

std::string capsuleText(const std::string& label, bool esc, bool chinese) {
    if (chinese) {
        std::string text = label.empty() ? "自动化程序" : label + " ";
        text += "正在使用这台电脑";
        if (esc) text += " · 按 Esc 停止";
        return text;
    }
    std::string text = label.empty() ? "Automation" : label;
    text += " is using this computer";
    if (esc) text += " · press Esc to stop";
    return text;
}

std::string stopText(bool chinese) { return chinese ? "停止" : "Stop"; }

}  // namespace tovo::AutomationOverlayGeometry
