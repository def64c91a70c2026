#include "overlay/Automation.h"

#include "base/BadInput.h"
#include "base/Json.h"
#include "base/Log.h"
#include "base/Mutex.h"
#include "base/Utf8.h"

namespace tovo {

const std::string Automation::abortLine = "{\"type\":\"abort\",\"reason\":\"esc\"}\n";
const std::string Automation::stopAbortLine = "{\"type\":\"abort\",\"reason\":\"stop\"}\n";

std::vector<AutomationEffect> AutomationCore::set(bool wantActive, const std::string& newLabel) {
    using E = AutomationEffect;
    if (!active) {
        if (!wantActive) {
            label.clear();
            return {};
        }
        active = true;
        label = newLabel;
        return {E::installTap, E::showBorder};
    }
    if (!wantActive) {
        active = false;
        label.clear();
        esc = false;
        return {E::removeTap, E::hideBorder};
    }
    if (label == newLabel) return {};
    label = newLabel;
    return {E::showBorder};
}

nlohmann::json AutomationCore::json(bool withLabel) const {
    nlohmann::json out{{"active", active}, {"esc", esc}};
    if (withLabel && !label.empty()) out["label"] = label;
    if (stopButton) out["stopButton"] = true;
    return out;
}

std::string Automation::cleanLabel(const std::string& label) {
    std::string spaced;
    for (const auto& character : utf8Characters(sanitizeUtf8(label))) {
        const auto c = static_cast<unsigned char>(character[0]);
        // C0 controls and DEL are one byte; C1 controls are U+0080…U+009F (C2 80…C2 9F).
        bool control = (character.size() == 1 && (c < 0x20 || c == 0x7F)) ||
                       (character.size() == 2 && c == 0xC2 && static_cast<unsigned char>(character[1]) < 0xA0);
        spaced += control ? " " : character;
    }
    std::string joined;
    size_t start = 0;
    while (start < spaced.size()) {
        size_t end = spaced.find(' ', start);
        if (end == std::string::npos) end = spaced.size();
        if (end > start) {
            if (!joined.empty()) joined += ' ';
            joined.append(spaced, start, end - start);
        }
        start = end + 1;
    }
    auto characters = utf8Characters(joined);
    if (characters.size() <= maxLabel) return joined;
    std::string cut;
    for (size_t i = 0; i < maxLabel; ++i) cut += characters[i];
    return cut;
}

Automation::Request Automation::parse(const std::string& body) {
    auto json = parseJson(body);
    if (!json || !json->is_object()) throw BadInput("body must be a JSON object");
    auto active = json->find("active");
    if (active == json->end() || !active->is_boolean()) throw BadInput("active must be a boolean");
    if (auto title = json->find("title"); title != json->end() && !title->is_null() && !title->is_string()) {
        throw BadInput("title must be a string");
    }
    Request request;
    request.active = active->get<bool>();
    if (auto label = json->find("label"); label != json->end() && !label->is_null()) {
        if (!label->is_string()) throw BadInput("label must be a string");
        request.label = cleanLabel(label->get<std::string>());
    }
    return request;
}

Automation::Automation(AutomationOverlay& overlay, EscapeTap& tap, std::unique_ptr<TaskQueue> escapes,
                       std::function<void(const std::string&)> postEvent, bool chinese)
    : overlay(overlay), tap(tap), postEvent(std::move(postEvent)), chinese(chinese), escapes(std::move(escapes)) {
    const bool button = overlay.offerStop(AutomationOverlayGeometry::stopText(chinese),
                                          [this] { this->escapes->post([this] { stop(true); }); });
    MutexLock guard(lock);
    state.stopButton = button;
}

Automation::~Automation() {
    overlay.offerStop(AutomationOverlayGeometry::stopText(chinese), {});
    tap.remove();
    overlay.hide();
}

AutomationCore Automation::set(bool active, const std::string& label) {
    std::vector<AutomationEffect> effects;
    {
        MutexLock guard(lock);
        effects = state.set(active, label);
    }
    std::string line =
        active ? "automation: active" + (label.empty() ? "" : " (" + label + ")") : "automation: inactive";
    log(effects.empty() ? line + " (unchanged)" : line);
    run(effects);
    return core();
}

AutomationCore Automation::core() const {
    MutexLock guard(lock);
    return state;
}

void Automation::run(const std::vector<AutomationEffect>& effects) {
    MutexLock ordered(effectsLock);
    for (AutomationEffect effect : effects) {
        switch (effect) {
        case AutomationEffect::installTap: {
            auto failure = tap.install([this] { escapes->post([this] { stop(false); }); });
            if (failure) log("automation: no Escape tap (" + *failure + ")");
            bool stillActive;
            {
                MutexLock guard(lock);
                state.esc = !failure && state.active;
                stillActive = state.active;
            }
            // Ended while the tap was being set up: its removal has run already.
            if (!stillActive) tap.remove();
            break;
        }
        case AutomationEffect::removeTap: tap.remove(); break;
        case AutomationEffect::showBorder: {
            AutomationCore now = core();
            // A change that ended automation meanwhile has hidden the border already.
            if (now.active) overlay.show(AutomationOverlayGeometry::capsuleText(now.label, now.esc, chinese));
            break;
        }
        case AutomationEffect::hideBorder: overlay.hide(); break;
        case AutomationEffect::emitAbort:
        case AutomationEffect::emitStop:
            if (postEvent) {
                postEvent(effect == AutomationEffect::emitStop ? stopAbortLine : abortLine);
            } else {
                log("automation: no /events to tell about the stop");
            }
            break;
        }
    }
}

void Automation::stop(bool button) {
    std::vector<AutomationEffect> effects;
    {
        MutexLock guard(lock);
        if (!state.active) return;
        state.active = false;
        state.esc = false;
        state.label.clear();
        effects = {AutomationEffect::removeTap, AutomationEffect::hideBorder,
                   button ? AutomationEffect::emitStop : AutomationEffect::emitAbort};
    }
    log(button ? "automation: Stop pressed on the banner, stopping" : "automation: Esc pressed, stopping");
    run(effects);
}

}  // namespace tovo
