#include "display/OwnWindows.h"

#include "base/Mutex.h"

namespace tovo {

void OwnWindows::set(uint32_t id, std::vector<PixelRect> covers) {
    MutexLock guard(lock);
    windows[id] = std::move(covers);
}

void OwnWindows::remove(uint32_t id) {
    MutexLock guard(lock);
    windows.erase(id);
}

std::vector<OwnWindows::Window> OwnWindows::list() const {
    MutexLock guard(lock);
    std::vector<Window> out;
    for (const auto& [id, covers] : windows) out.push_back({id, covers});
    return out;
}

}  // namespace tovo
