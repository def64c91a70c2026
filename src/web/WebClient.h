#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tovo::web {

// One file of the browser client, compiled into the executable from src/web/client.
struct File {
    std::string_view path;         // "/app.js"
    std::string_view contentType;  // "text/javascript; charset=utf-8"
    std::string_view bytes;
};

// Every file, sorted by path.
const std::vector<File>& files();
// The file a GET for `path` serves ("/" is "/index.html"); null for none.
const File* find(std::string_view path);

}  // namespace tovo::web
