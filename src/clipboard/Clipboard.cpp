#include "clipboard/Clipboard.h"

#include "base/Text.h"
#include "base/Utf8.h"
#include "clipboard/ClipboardMonitor.h"
#include "image/PNG.h"

#include <sys/stat.h>

#include <cmath>

namespace tovo {
namespace {

bool isLineBreak(const std::string& c) {
    return c == "\n" || c == "\v" || c == "\f" || c == "\r" || c == "\u0085" || c == "\u2028" || c == "\u2029";
}

// Tab and the Unicode space separators.
bool isBlank(const std::string& c) {
    static const char* const blanks[] = {" ",      "\t",     "\u00A0", "\u1680", "\u2000", "\u2001",
                                         "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007",
                                         "\u2008", "\u2009", "\u200A", "\u202F", "\u205F", "\u3000"};
    for (const char* b : blanks) {
        if (c == b) return true;
    }
    return false;
}

// The first `limit` characters of `characters`, and "…" when there were more.
std::string capped(const std::vector<std::string>& characters, size_t limit) {
    std::string out;
    if (characters.size() <= limit) {
        for (const auto& c : characters) out += c;
        return out;
    }
    for (size_t i = 0; i + 1 < limit; ++i) out += characters[i];
    return out + "\u2026";
}

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

nlohmann::json ClipboardItem::summaryJSON() const {
    nlohmann::json object{{"changeCount", changeCount},
                          {"kind", kind},
                          {"preview", preview},
                          {"size", size ? nlohmann::json(*size) : nlohmann::json()},
                          {"at", static_cast<int64_t>(at)}};
    if (width) object["width"] = *width;
    if (height) object["height"] = *height;
    if (!files.empty()) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& f : files) {
            list.push_back(
                {{"name", f.name}, {"size", f.size ? nlohmann::json(*f.size) : nlohmann::json()}, {"dir", f.dir}});
        }
        object["files"] = list;
    }
    if (moreFiles) object["moreFiles"] = *moreFiles;
    if (source) object["source"] = *source;
    return object;
}

nlohmann::json ClipboardItem::json() const {
    nlohmann::json object = summaryJSON();
    if (text) object["text"] = *text;
    if (truncated) object["truncated"] = true;
    return object;
}

namespace Clipboard {

std::string preview(const std::string& text) {
    std::vector<std::string> characters = utf8Characters(text);
    if (characters.size() > 1280) characters.resize(1280);
    std::vector<std::vector<std::string>> lines(1);
    for (size_t i = 0; i < characters.size(); ++i) {
        if (isLineBreak(characters[i])) {
            if (characters[i] == "\r" && i + 1 < characters.size() && characters[i + 1] == "\n") ++i;
            lines.emplace_back();
        } else {
            lines.back().push_back(characters[i]);
        }
    }
    std::vector<std::string> joined;
    bool first = true;
    for (auto& line : lines) {
        size_t from = 0, to = line.size();
        while (from < to && isBlank(line[from])) ++from;
        while (to > from && isBlank(line[to - 1])) --to;
        if (from == to) continue;
        if (!first) {
            joined.push_back("\u23CE");
            joined.push_back(" ");
        }
        first = false;
        joined.insert(joined.end(), line.begin() + static_cast<long>(from), line.begin() + static_cast<long>(to));
    }
    return capped(joined, 160);
}

std::pair<std::string, bool> clipText(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return {text, false};
    return {std::string(utf8Truncated(text, maxBytes)), true};
}

ClipboardFileInfo fileInfo(const std::string& path) {
    ClipboardFileInfo info;
    info.name = baseName(path);
    struct stat attributes {};
    if (::stat(path.c_str(), &attributes) != 0) return info;
    if (S_ISDIR(attributes.st_mode)) {
        info.dir = true;
    } else {
        info.size = static_cast<int64_t>(attributes.st_size);
    }
    return info;
}

std::optional<std::string> imageTypeForExtension(const std::string& path) {
    std::string name = baseName(path);
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos) return std::nullopt;
    std::string extension = lowercased(name.substr(dot + 1));
    if (extension == "png") return "image/png";
    if (extension == "jpg" || extension == "jpeg") return "image/jpeg";
    if (extension == "gif") return "image/gif";
    if (extension == "webp") return "image/webp";
    if (extension == "heic") return "image/heic";
    return std::nullopt;
}

ClipboardItem read(Pasteboard& pasteboard, bool includeText, ClipboardMonitor* monitor, double nowMs) {
    ClipboardItem item;
    item.changeCount = pasteboard.changeCount();
    item.at = monitor ? monitor->firstSeen(item.changeCount) : std::round(nowMs);
    if (monitor) item.source = monitor->sourceOf(item.changeCount);
    Pasteboard::Offer offer = pasteboard.offer();
    if (offer.concealed) {
        item.kind = "concealed";
        return item;
    }
    if (!offer.filePaths.empty()) {
        std::vector<std::string> names;
        int64_t total = 0;
        bool anyRegular = false;
        for (size_t i = 0; i < offer.filePaths.size(); ++i) {
            ClipboardFileInfo info = fileInfo(offer.filePaths[i]);
            if (!info.dir && info.size) {
                total += *info.size;
                anyRegular = true;
            }
            if (i < maxListedFiles) {
                names.push_back(info.name);
                item.files.push_back(info);
            }
        }
        if (offer.filePaths.size() > maxListedFiles)
            item.moreFiles = static_cast<int64_t>(offer.filePaths.size() - maxListedFiles);
        if (anyRegular) item.size = total;
        std::string list;
        for (const auto& n : names) list += (list.empty() ? "" : ", ") + n;
        item.preview = capped(utf8Characters(list), 160);
        item.kind = "files";
        item.filePaths = offer.filePaths;
        return item;
    }
    if (offer.hasImage) {
        std::optional<std::string> png = monitor ? monitor->png(item.changeCount) : pasteboard.png();
        if (png) {
            item.kind = "image";
            item.size = static_cast<int64_t>(png->size());
            if (auto size = PNG::size(*png)) {
                item.width = size->width;
                item.height = size->height;
            }
            return item;
        }
    }
    if (!offer.text) {
        item.kind = offer.empty() ? "empty" : "other";
        return item;
    }
    item.kind = "text";
    item.size = static_cast<int64_t>(offer.text->size());
    item.preview = preview(*offer.text);
    if (includeText) std::tie(item.text, item.truncated) = clipText(*offer.text, maxTextBytes);
    return item;
}

std::string eventLine(const ClipboardItem& item) {
    try {
        nlohmann::json object = item.summaryJSON();
        object["type"] = "clipboard";
        return object.dump() + "\n";
    } catch (const nlohmann::json::exception&) {
        return "{\"type\":\"clipboard\"}\n";
    }
}

}  // namespace Clipboard
}  // namespace tovo
