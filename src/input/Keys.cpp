#include "input/Keys.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace tovo::Keys {
namespace {

const std::map<std::string, uint16_t, std::less<>>& table() {
    static const std::map<std::string, uint16_t, std::less<>> names = {
        {"a", 0},       {"s", 1},       {"d", 2},        {"f", 3},         {"h", 4},        {"g", 5},
        {"z", 6},       {"x", 7},       {"c", 8},        {"v", 9},         {"b", 11},       {"q", 12},
        {"w", 13},      {"e", 14},      {"r", 15},       {"y", 16},        {"t", 17},       {"o", 31},
        {"u", 32},      {"i", 34},      {"p", 35},       {"l", 37},        {"j", 38},       {"k", 40},
        {"n", 45},      {"m", 46},      {"1", 18},       {"2", 19},        {"3", 20},       {"4", 21},
        {"6", 22},      {"5", 23},      {"9", 25},       {"7", 26},        {"8", 28},       {"0", 29},
        {"=", 24},      {"-", 27},      {"]", 30},       {"[", 33},        {"'", 39},       {";", 41},
        {"\\", 42},     {",", 43},      {"/", 44},       {".", 47},        {"`", 50},       {"return", 36},
        {"enter", 76},  {"tab", 48},    {"space", 49},   {"delete", 51},   {"backspace", 51},
        {"forwarddelete", 117},         {"escape", 53},  {"esc", 53},      {"left", 123},   {"right", 124},
        {"down", 125},  {"up", 126},    {"home", 115},   {"end", 119},     {"pageup", 116}, {"pagedown", 121},
        {"f1", 122},    {"f2", 120},    {"f3", 99},      {"f4", 118},      {"f5", 96},      {"f6", 97},
        {"f7", 98},     {"f8", 100},    {"f9", 101},     {"f10", 109},     {"f11", 103},    {"f12", 111},
    };
    return names;
}

}  // namespace

std::optional<uint16_t> code(std::string_view name) {
    auto it = table().find(name);
    if (it == table().end()) return std::nullopt;
    return it->second;
}

std::optional<uint16_t> lookup(const std::string& name) {
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (auto found = code(lower)) return found;
    lower.erase(std::remove(lower.begin(), lower.end(), '_'), lower.end());
    return code(lower);
}

}  // namespace tovo::Keys
