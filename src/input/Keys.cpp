#include "input/Keys.h"

#include "base/Text.h"

#include <algorithm>
#include <map>

namespace tovo::Keys {
namespace {

constexpr Key function(int n) { return static_cast<Key>(static_cast<uint32_t>(Key::f1) + n - 1); }
constexpr Key character(char c) { return static_cast<Key>(static_cast<unsigned char>(c)); }

// The key-name table. Letters, digits and punctuation are added below, each naming itself.
const std::map<std::string, Key, std::less<>>& table() {
    static const std::map<std::string, Key, std::less<>> names = [] {
        std::map<std::string, Key, std::less<>> t = {
            {"return", Key::returnKey},
            {"enter", Key::enter},
            {"tab", Key::tab},
            {"space", Key::space},
            {"delete", Key::backspace},
            {"backspace", Key::backspace},
            {"forwarddelete", Key::forwardDelete},
            {"escape", Key::escape},
            {"esc", Key::escape},
            {"left", Key::left},
            {"right", Key::right},
            {"down", Key::down},
            {"up", Key::up},
            {"home", Key::home},
            {"end", Key::end},
            {"pageup", Key::pageUp},
            {"pagedown", Key::pageDown},
            {"insert", Key::insert},
            {"menu", Key::menu},
            {"print", Key::print},
            {"kpadd", Key::kpAdd},
            {"kpsubtract", Key::kpSubtract},
            {"kpmultiply", Key::kpMultiply},
            {"kpdivide", Key::kpDivide},
            {"kpdecimal", Key::kpDecimal},
        };
        for (char c : std::string_view("abcdefghijklmnopqrstuvwxyz0123456789=-][';\\,/.`"))
            t[std::string(1, c)] = character(c);
        for (int n = 1; n <= 24; ++n) t["f" + std::to_string(n)] = function(n);
        for (int n = 0; n <= 9; ++n)
            t["kp" + std::to_string(n)] = static_cast<Key>(static_cast<uint32_t>(Key::kp0) + n);
        return t;
    }();
    return names;
}

}  // namespace

std::optional<Key> named(std::string_view name) {
    auto it = table().find(name);
    if (it == table().end()) return std::nullopt;
    return it->second;
}

std::optional<Key> lookup(const std::string& name) {
    std::string lower = lowercased(name);
    if (auto found = named(lower)) return found;
    lower.erase(std::remove(lower.begin(), lower.end(), '_'), lower.end());
    return named(lower);
}

}  // namespace tovo::Keys
