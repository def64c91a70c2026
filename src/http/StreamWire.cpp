#include "http/StreamWire.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace tovo {

StreamWire StreamWire::negotiate(const std::optional<std::string>& accept, const std::string& type) {
    if (!accept) return legacy();
    std::string_view rest = *accept;
    for (;;) {
        size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        item = item.substr(0, item.find(';'));
        size_t begin = item.find_first_not_of(" \t");
        size_t end = item.find_last_not_of(" \t");
        if (begin != std::string_view::npos) {
            item = item.substr(begin, end - begin + 1);
            bool same = item.size() == type.size() &&
                        std::equal(item.begin(), item.end(), type.begin(), [](char a, char b) {
                            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
                        });
            if (same) return current();
        }
        if (comma == std::string_view::npos) return legacy();
        rest.remove_prefix(comma + 1);
    }
}

}  // namespace tovo
