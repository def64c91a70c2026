#pragma once

#include "base/Mutex.h"
#include "display/PixelRect.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace tovo {

// The windows this process shows on screen (the automation banner), with the rectangles of the
// screen they cover. Captures leave them out: what lies under them is rebuilt from the
// windows below.
//
// Threads: any; one lock guards the table and is held only to copy it.
class OwnWindows {
public:
    struct Window {
        uint32_t id = 0;
        std::vector<PixelRect> covers;  // desktop pixels, top-left origin
    };

    void set(uint32_t id, std::vector<PixelRect> covers);
    void remove(uint32_t id);
    std::vector<Window> list() const;

private:
    mutable Mutex lock;  // guards windows
    std::map<uint32_t, std::vector<PixelRect>> windows TOVO_GUARDED_BY(lock);
};

}  // namespace tovo
