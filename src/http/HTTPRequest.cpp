#include "http/HTTPRequest.h"

#include "base/Utf8.h"
#include "http/HTTPError.h"

namespace tovo {

std::optional<int64_t> HTTPRequest::integer(const std::string& name) const {
    auto it = query.find(name);
    if (it == query.end() || it->second.empty()) return std::nullopt;
    auto value = parseDecimalInteger(it->second);
    if (!value) throw HTTPError(400, name + " must be an integer");
    return value;
}

namespace {

// Percent-decodes `text`; no value on a malformed escape or when the result is not UTF-8.
std::optional<std::string> decodeComponent(std::string_view text) {
    auto out = percentDecode(text);
    if (!out || !isValidUtf8(*out)) return std::nullopt;
    return out;
}

// Characters a URL may not hold literally: controls, space, DEL and the ones RFC 3986
// excludes everywhere. Bytes of 0x80 and above (raw UTF-8) are tolerated.
bool isForbiddenInURL(unsigned char c) {
    if (c <= 0x20 || c == 0x7F) return true;
    switch (c) {
    case '"':
    case '<':
    case '>':
    case '\\':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}': return true;
    default: return false;
    }
}

}  // namespace

void parseRequestTarget(std::string_view target, std::string& path, std::map<std::string, std::string>& query) {
    auto fallback = [&] {
        path.assign(target);
        query.clear();
    };
    for (unsigned char c : target) {
        if (isForbiddenInURL(c)) return fallback();
    }
    std::string_view rest = target.substr(0, target.find('#'));
    size_t mark = rest.find('?');
    std::string_view rawPath = rest.substr(0, mark);
    auto decodedPath = decodeComponent(rawPath);
    if (!decodedPath) return fallback();

    std::map<std::string, std::string> items;
    if (mark != std::string_view::npos) {
        std::string_view q = rest.substr(mark + 1);
        for (;;) {
            size_t amp = q.find('&');
            std::string_view item = q.substr(0, amp);
            if (!item.empty()) {
                size_t eq = item.find('=');
                auto name = decodeComponent(item.substr(0, eq));
                auto value = eq == std::string_view::npos ? std::optional<std::string>("")
                                                          : decodeComponent(item.substr(eq + 1));
                if (!name || !value) return fallback();
                items[*name] = *value;
            }
            if (amp == std::string_view::npos) break;
            q.remove_prefix(amp + 1);
        }
    }
    path = std::move(*decodedPath);
    query = std::move(items);
}

}  // namespace tovo
