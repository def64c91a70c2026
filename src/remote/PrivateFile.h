#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tovo {

// Writes `bytes` to `path` so that the file is always either the old one or the new one,
// whole, and readable by the owner only (0600): a temporary file beside it is written,
// flushed to disk and renamed over `path`, then the directory is flushed. Throws
// std::runtime_error "cannot write {path}: {reason}"; no temporary file is left behind.
void writePrivate(std::string_view bytes, const std::string& path);

// The whole file, or none when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

// Creates `path` (and its parents) when missing and makes it owner-only (0700). Throws
// std::runtime_error.
void makePrivateDirectory(const std::string& path);

}  // namespace tovo
