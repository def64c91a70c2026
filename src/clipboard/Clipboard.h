#pragma once

#include "clipboard/Pasteboard.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

class ClipboardMonitor;

struct ClipboardFileInfo {
    std::string name;
    std::optional<int64_t> size;  // absent for folders and unreadable items
    bool dir = false;
};

// A snapshot of the clipboard.
struct ClipboardItem {
    int64_t changeCount = 0;
    std::string kind = "empty";  // text, image, files, concealed, other, empty
    std::string preview;
    std::optional<int64_t> size;
    std::optional<int> width, height;
    std::vector<ClipboardFileInfo> files;  // the first 20
    std::optional<int64_t> moreFiles;
    double at = 0;                      // ms since 1970, whole
    std::optional<std::string> source;  // "phone" or "agent" when written through this service
    std::optional<std::string> text;
    bool truncated = false;
    std::vector<std::string> filePaths;  // all of them; not serialised

    nlohmann::json summaryJSON() const;
    nlohmann::json json() const;
};

namespace Clipboard {

inline constexpr size_t maxTextBytes = 1048576;
inline constexpr size_t maxListedFiles = 20;

// Reads a snapshot; the full text only when `includeText`. `monitor` (may be null) gives the
// first-seen time, the source of own writes and the PNG cache.
ClipboardItem read(Pasteboard& pasteboard, bool includeText, ClipboardMonitor* monitor, double nowMs);
// One line of preview: at most 1280 characters looked at, lines trimmed and joined with
// "⏎ ", at most 160 characters.
std::string preview(const std::string& text);
// `text` cut to at most `maxBytes` bytes on a character boundary; second: it was cut.
std::pair<std::string, bool> clipText(const std::string& text, size_t maxBytes);
// The summary with "type": "clipboard", one NDJSON line.
std::string eventLine(const ClipboardItem& item);
ClipboardFileInfo fileInfo(const std::string& path);
// The image type of a file's extension, for putting one image file on the clipboard.
std::optional<std::string> imageTypeForExtension(const std::string& path);

}  // namespace Clipboard
}  // namespace tovo
