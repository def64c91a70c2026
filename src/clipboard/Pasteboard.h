#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

// The desktop's clipboard as the portable code sees it. Callable from any thread; a read
// that the owner of the clipboard does not answer gives up after a bounded time and reads
// as absent.
class Pasteboard {
public:
    // What the clipboard offers now.
    struct Offer {
        std::vector<std::string> types;      // what the owner offers (MIME types, mostly)
        bool concealed = false;              // marked secret by a password manager
        std::vector<std::string> filePaths;  // copied files, as absolute paths
        std::optional<std::string> text;     // UTF-8
        bool hasImage = false;               // an image type is offered
        bool empty() const { return types.empty(); }
    };

    virtual ~Pasteboard() = default;
    // Grows with every change of the clipboard (a new owner or new content). Cheap: no
    // round trip to the owner.
    virtual int64_t changeCount() = 0;
    // Reads the offer: types, then (unless concealed) files and text; no image data.
    virtual Offer offer() = 0;
    // The image on the clipboard as PNG (other image types converted); none without one.
    virtual std::optional<std::string> png() = 0;
    // Puts text on the clipboard; returns the new change count.
    virtual int64_t writeText(const std::string& text) = 0;
    // Puts files on the clipboard, and the data of one image file under `imageType` when
    // given; returns the new change count.
    virtual int64_t writeFiles(const std::vector<std::string>& paths, const std::optional<std::string>& imageType,
                               const std::string& imageData) = 0;
};

}  // namespace tovo
