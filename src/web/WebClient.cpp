#include "web/WebClient.h"

namespace tovo::web {

const File* find(std::string_view path) {
    if (path == "/") path = "/index.html";
    for (const File& file : files()) {
        if (file.path == path) return &file;
    }
    return nullptr;
}

}  // namespace tovo::web
