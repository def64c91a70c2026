// GET and POST /clipboard, GET /clipboard/image and GET /clipboard/file.
#include "api/Endpoints.h"
#include "api/Query.h"
#include "base/Json.h"
#include "base/Log.h"
#include "base/Text.h"
#include "clipboard/Clipboard.h"
#include "clipboard/ClipboardMonitor.h"
#include "http/HTTPError.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace tovo::Endpoints {
namespace {

constexpr const char* noClipboardText = "this user has no graphical login session, so it has no clipboard";
constexpr size_t maxFiles = 20;
constexpr size_t downloadPiece = 262144;

ClipboardMonitor& monitorOf(const Deps& deps) {
    if (!deps.features.clipboard) throw HTTPError(503, "/clipboard is not available in this build");
    if (!deps.desktop.session.reachable()) throw HTTPError(503, noClipboardText);
    return *deps.features.clipboard;
}

ClipboardItem snapshot(ClipboardMonitor& monitor, bool includeText) {
    return Clipboard::read(monitor.pasteboard, includeText, &monitor, wallSeconds() * 1000);
}

// The MIME type the system registers for a file name's extension: shared-mime-info's
// "*.ext" globs (the heaviest wins), "application/octet-stream" for none.
std::string mimeTypeOf(const std::string& name) {
    static std::once_flag loaded;
    static std::map<std::string, std::pair<int, std::string>> types;  // extension → (weight, type)
    std::call_once(loaded, [] {
        std::ifstream in("/usr/share/mime/globs2");
        for (std::string line; std::getline(in, line);) {
            if (line.empty() || line[0] == '#') continue;
            size_t first = line.find(':'), second = line.find(':', first + 1);
            if (first == std::string::npos || second == std::string::npos) continue;
            std::string glob = line.substr(second + 1, line.find(':', second + 1) - second - 1);
            if (glob.rfind("*.", 0) != 0 || glob.find_first_of("*?[", 2) != std::string::npos) continue;
            int weight = std::atoi(line.c_str());
            auto& entry = types[lowercased(glob.substr(2))];
            if (entry.second.empty() || weight > entry.first)
                entry = {weight, line.substr(first + 1, second - first - 1)};
        }
    });
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos) return "application/octet-stream";
    auto it = types.find(lowercased(name.substr(dot + 1)));
    return it == types.end() ? "application/octet-stream" : it->second.second;
}

// Percent-encodes the UTF-8 bytes of `name`, leaving only letters, marks and digits of
// any script as they are.
std::string encodeFileName(const std::string& name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < name.size();) {
        UChar32 c;
        size_t start = i;
        U8_NEXT(reinterpret_cast<const uint8_t*>(name.data()), i, name.size(), c);
        bool keep = c >= 0 && (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
        for (size_t k = start; k < i; ++k) {
            auto byte = static_cast<unsigned char>(name[k]);
            if (keep) {
                out += static_cast<char>(byte);
            } else {
                out += '%';
                out += hex[byte >> 4];
                out += hex[byte & 15];
            }
        }
    }
    return out.empty() ? "file" : out;
}

}  // namespace

void clipboardGet(const Deps& deps, HTTPRequest& request, Connection& connection) {
    ClipboardMonitor& monitor = monitorOf(deps);
    bool includeText = Query::value(request, "text") != "0";
    nlohmann::json object = snapshot(monitor, includeText).json();
    object["ok"] = true;
    connection.json(200, object);
}

void clipboardPost(const Deps& deps, HTTPRequest& request, Connection& connection) {
    ClipboardMonitor& monitor = monitorOf(deps);
    nlohmann::json body = Query::jsonBody(request);
    std::string source = "phone";
    if (!request.remote) {
        if (auto it = body.find("source"); it != body.end()) source = it->is_string() ? it->get<std::string>() : "";
    }
    if (source != "phone" && source != "agent") throw HTTPError(400, "source must be \"phone\" or \"agent\"");
    auto text = body.find("text");
    bool hasText = text != body.end() && text->is_string();
    if (request.remote && !hasText) throw HTTPError(400, "body needs text (a string)");

    int64_t changeCount;
    if (hasText) {
        const std::string& value = text->get_ref<const std::string&>();
        if (value.empty()) throw HTTPError(400, "text is empty");
        if (value.size() > Clipboard::maxTextBytes) {
            throw HTTPError(413, "text is too long (max " + std::to_string(Clipboard::maxTextBytes) + " bytes)");
        }
        changeCount = monitor.pasteboard.writeText(value);
        log("clipboard: " + std::to_string(value.size()) + " bytes of text from the " + source);
    } else if (auto files = body.find("files"); files != body.end()) {
        if (!files->is_array() || files->empty()) throw HTTPError(400, "body needs text (a string) or files (paths)");
        if (files->size() > maxFiles) throw HTTPError(400, "at most " + std::to_string(maxFiles) + " files");
        std::vector<std::string> paths;
        for (const auto& entry : *files) {
            if (!entry.is_string()) throw HTTPError(400, "body needs text (a string) or files (paths)");
            std::string path = entry.get<std::string>();
            struct stat info {};
            if (path.empty() || path[0] != '/' || ::stat(path.c_str(), &info) != 0) {
                throw HTTPError(400, path + " is not an existing file or folder");
            }
            paths.push_back(path);
        }
        std::optional<std::string> imageType;
        std::string imageData;
        if (paths.size() == 1) {
            if (auto type = Clipboard::imageTypeForExtension(paths[0])) {
                std::ifstream in(paths[0], std::ios::binary);
                std::ostringstream data;
                if (in && (data << in.rdbuf())) {
                    imageType = type;
                    imageData = data.str();
                }
            }
        }
        changeCount = monitor.pasteboard.writeFiles(paths, imageType, imageData);
        std::string names;
        for (const auto& path : paths) names += (names.empty() ? "" : ", ") + Clipboard::fileInfo(path).name;
        log("clipboard: " + std::to_string(paths.size()) + " file(s) from the " + source + ": " + names);
    } else {
        throw HTTPError(400, "body needs text (a string) or files (paths)");
    }
    monitor.noteOwnWrite(changeCount, source);
    monitor.poll();
    nlohmann::json object = snapshot(monitor, true).json();
    object["ok"] = true;
    connection.json(200, object);
}

void clipboardImage(const Deps& deps, HTTPRequest&, Connection& connection) {
    ClipboardMonitor& monitor = monitorOf(deps);
    ClipboardItem item = snapshot(monitor, false);
    std::optional<std::string> png = item.kind == "image" ? monitor.png(item.changeCount) : std::nullopt;
    if (!png) throw HTTPError(404, "the clipboard holds no image");
    Connection::Headers headers{{"Content-Type", "image/png"},
                                {"Content-Length", std::to_string(png->size())},
                                {"X-Clipboard-Change-Count", std::to_string(item.changeCount)},
                                {"Cache-Control", "no-store"}};
    if (connection.writeHead(200, headers, connection.persistent) && connection.transport->send(*png)) {
        connection.reusable = connection.persistent;
    }
}

void clipboardFile(const Deps& deps, HTTPRequest& request, Connection& connection) {
    ClipboardMonitor& monitor = monitorOf(deps);
    auto index = request.integer("index");
    if (!index || *index < 0) throw HTTPError(400, "index is required");
    ClipboardItem item = snapshot(monitor, false);
    if (item.kind != "files") throw HTTPError(404, "the clipboard holds no files");
    if (*index >= static_cast<int64_t>(item.filePaths.size())) {
        throw HTTPError(404, "no file " + std::to_string(*index) + " on the clipboard");
    }
    const std::string& path = item.filePaths[static_cast<size_t>(*index)];
    ClipboardFileInfo info = Clipboard::fileInfo(path);
    if (info.dir) throw HTTPError(400, info.name + " is a folder; copy its contents");
    int fd = info.size ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) throw HTTPError(404, info.name + " is no longer there");
    std::string encoded = encodeFileName(info.name);
    Connection::Headers headers{{"Content-Type", mimeTypeOf(info.name)},
                                {"Content-Length", std::to_string(*info.size)},
                                {"Content-Disposition", "attachment; filename*=UTF-8''" + encoded},
                                {"X-Kiln-Name", encoded},
                                {"X-Clipboard-Change-Count", std::to_string(item.changeCount)},
                                {"Cache-Control", "no-store"}};
    if (connection.writeHead(200, headers, false)) {
        std::string piece(downloadPiece, '\0');
        int64_t left = *info.size;
        while (left > 0) {
            ssize_t n = ::read(fd, piece.data(), static_cast<size_t>(std::min<int64_t>(left, downloadPiece)));
            // A file that shrank or vanished ends the response early; the connection closes.
            if (n <= 0 || !connection.transport->send(std::string_view(piece.data(), static_cast<size_t>(n)))) break;
            left -= n;
        }
    }
    ::close(fd);
}

}  // namespace tovo::Endpoints
