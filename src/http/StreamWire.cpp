#include "http/StreamWire.h"

#include "base/Text.h"

namespace tovo {

StreamWire StreamWire::negotiate(const std::optional<std::string>& accept, const std::string& type) {
    if (accept) {
        for (auto item : splitOn(*accept, ',')) {
            if (lowercased(trimmed(item.substr(0, item.find(';')), " \t")) == lowercased(type)) return current();
        }
    }
    return legacy();
}

}  // namespace tovo
