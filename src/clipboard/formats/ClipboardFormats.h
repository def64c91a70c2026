#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

// The clipboard's data formats as every desktop's clipboard carries them.

// Absolute paths of the file:// URIs in a text/uri-list or x-special/gnome-copied-files body.
std::vector<std::string> filePathsOf(const std::string& list);
// `paths` as a text/uri-list body, and as x-special/gnome-copied-files ("copy", then the URIs).
std::string uriListOf(const std::vector<std::string>& paths);
std::string gnomeCopiedFilesOf(const std::vector<std::string>& paths);

// What this process offers when it owns the clipboard: data by type, the text types sharing
// one copy.
using ClipboardContent = std::map<std::string, std::shared_ptr<const std::string>>;
// Text under every text type desktops ask for (STRING in Latin-1).
ClipboardContent textContent(const std::string& text);
// Files as a URI list and as GNOME's copied files, and one image file's data under
// `imageType` when given.
ClipboardContent filesContent(const std::vector<std::string>& paths, const std::optional<std::string>& imageType,
                              const std::string& imageData);

// The image types among `types`, in the order to try them: PNG, then JPEG, then the rest.
std::vector<std::string> imageTypesByPreference(const std::vector<std::string>& types);
// An image of `type` as PNG: PNG as it is (when it is one), JPEG through TurboJPEG, any
// other type gdk-pixbuf reads (BMP, GIF, TIFF, ICO, …); none when it cannot be read.
std::optional<std::string> imageAsPNG(const std::string& type, const std::string& data);

}  // namespace tovo
